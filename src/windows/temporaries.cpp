// The save's temporary files on Windows, and what killed games left of them.
//
// The game that makes a temporary file holds a lock on it, on a byte far
// past any file's end, until it is renamed or removed. Whether that game is
// gone is told by the lock alone: Windows drops it with the game's handles,
// however the game ended. The file is opened for others to read and to
// rename or delete but not to write, so that the clean-up of another game
// can open it to try the lock, and this game can rename it while it still
// holds it.
#include "win.h"

using namespace win;

namespace {

constexpr DWORD FAR_PAST_THE_END = 0x40000000;  // as the offset's high half

// Tries the lock on the open file `h`, or waits for it.
bool lock(HANDLE h, bool wait)
{
    OVERLAPPED at{};
    at.OffsetHigh = FAR_PAST_THE_END;
    return LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY), 0, 1, 0, &at);
}

// Whether the open file `h` is the one now under `path`.
bool still_there(HANDLE h, const std::wstring &path)
{
    FileInfo mine, there;
    return info_of(h, mine) && info_at(path, there) && same_file(mine, there);
}

} // namespace

unsigned long process_id() { return GetCurrentProcessId(); }

// Names of plain ASCII only: those are all the names handed on can hold.
std::vector<std::string> list_folder(const Target &t)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAW f;
    HANDLE find = FindFirstFileW((t.folder + L"*").c_str(), &f);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do {
        std::string name;
        for (const wchar_t *c = f.cFileName; *c && *c < 128; c++)
            name += char(*c);
        if (name.size() == std::wcslen(f.cFileName) && !(f.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            names.push_back(name);
    } while (FindNextFileW(find, &f));
    FindClose(find);
    return names;
}

// A file that can't be opened or locked (one another game holds) is left
// alone.
void remove_if_stale(const Target &t, const std::string &name)
{
    const std::wstring path = t.folder + wide(name.c_str());
    Handle h(CreateFileW(path.c_str(), GENERIC_READ | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    FileInfo i;
    if (!h.ok() || !info_of(h.h, i) || !i.regular || !lock(h.h, false))
        return;
    // Held by us now: a game that made it an instant ago and has not yet
    // locked it finds it gone and makes another.
    FILE_DISPOSITION_INFO gone{1};
    SetFileInformationByHandle(h.h, FileDispositionInfo, &gone, sizeof gone);
}

File make_temporary(const Target &t, const std::string &name, bool &taken)
{
    const std::wstring path = t.folder + wide(name.c_str());
    Handle h(CreateFileW(path.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES | WRITE_DAC,
                         FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    taken = !h.ok() && (GetLastError() == ERROR_FILE_EXISTS || GetLastError() == ERROR_ALREADY_EXISTS);
    if (!h.ok())
        return NO_FILE;
    // Still under its name: another game's clean-up may have taken it in
    // the instant before the lock.
    if (lock(h.h, true) && still_there(h.h, path))
        return h.release();
    taken = true;
    return NO_FILE;
}

// Renamed while this game still holds it, so that no clean-up can take it
// first. The creation time goes on only after: until the rename, the
// temporary's own tells when it was made.
bool rename_over(const Target &t, const std::string &name, File temporary)
{
    const std::wstring tmp = t.folder + wide(name.c_str());
    Handle h(handle(temporary));
    const DWORD carried = t.attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                          FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
    if (t.exists && carried)
        SetFileAttributesW(tmp.c_str(), carried);
    if (!MoveFileExW(tmp.c_str(), t.path.c_str(), t.exists ? MOVEFILE_REPLACE_EXISTING : 0)) {
        h.close();
        DeleteFileW(tmp.c_str());
        return false;
    }
    if (t.exists) {
        const FILETIME created = filetime(t.info.born_ns);
        Handle renamed(CreateFileW(t.path.c_str(), FILE_WRITE_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                   nullptr));
        if (renamed.ok())
            SetFileTime(renamed.h, &created, nullptr, nullptr);
    }
    return true;
}

void remove_temporary(const Target &t, const std::string &name, File temporary)
{
    CloseHandle(handle(temporary));
    DeleteFileW((t.folder + wide(name.c_str())).c_str());
}
