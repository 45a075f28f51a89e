// Files, a failed start and stop signals on Windows.
//
// The save's temporary file takes the old file's attributes and permissions
// and is then renamed over it in one step (the old creation time follows).
// Not ReplaceFileW(): Wine's moves the old file aside first, and a game
// killed in between leaves no load.bmp at all.
#include <allegro.h>
#include <winalleg.h>

#include <aclapi.h>

#include "platform.h"
#include "stopping.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

namespace {

std::wstring wide(const char *s)
{
    const int n = MultiByteToWideChar(CP_ACP, 0, s, -1, nullptr, 0);
    std::wstring w(n > 0 ? size_t(n) : 1, L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_ACP, 0, s, -1, &w[0], n);
    w.resize(std::wcslen(w.c_str()));
    return w;
}

HANDLE handle(File f) { return reinterpret_cast<HANDLE>(f); }
File file(HANDLE h) { return reinterpret_cast<File>(h); }

// A handle closed when it goes out of scope.
struct Handle {
    HANDLE h;
    explicit Handle(HANDLE h) : h(h) {}
    ~Handle() { close(); }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    bool ok() const { return h != INVALID_HANDLE_VALUE; }
    File release() { return file(std::exchange(h, INVALID_HANDLE_VALUE)); }
    bool close()
    {
        const bool closed = !ok() || CloseHandle(h);
        h = INVALID_HANDLE_VALUE;
        return closed;
    }
};

// `name` in the folder of `path`.
std::wstring beside(const std::wstring &path, const std::wstring &name)
{
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? name : path.substr(0, slash + 1) + name;
}

// File times in 100 ns ticks since 1601, and in ns since 1970.
constexpr unsigned long long EPOCH_TICKS = 116444736000000000ULL;
int64_t ns(const FILETIME &t)
{
    return int64_t(((unsigned long long)t.dwHighDateTime << 32 | t.dwLowDateTime) - EPOCH_TICKS) * 100;
}
FILETIME filetime(int64_t ns)
{
    const unsigned long long ticks = (unsigned long long)(ns / 100) + EPOCH_TICKS;
    return {DWORD(ticks), DWORD(ticks >> 32)};
}

bool look_by_handle(HANDLE h, Look &l)
{
    BY_HANDLE_FILE_INFORMATION i;
    if (!GetFileInformationByHandle(h, &i))
        return false;
    l = {!(i.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)),
         i.dwVolumeSerialNumber,
         (uint64_t)i.nFileIndexHigh << 32 | i.nFileIndexLow,
         (uint64_t)i.nFileSizeHigh << 32 | i.nFileSizeLow,
         unsigned(i.nNumberOfLinks),
         ns(i.ftLastWriteTime),
         ns(i.ftLastWriteTime),
         ns(i.ftCreationTime)};
    return true;
}

// A look at whatever is at `path`, opened for nothing but that.
bool look_at_path(const std::wstring &path, Look &l)
{
    Handle h(CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return h.ok() && look_by_handle(h.h, l);
}

// The path in full, so that the names handed on never depend on how a
// call reads a bare one (Wine's ReplaceFileW(), for one, refuses them).
std::wstring full_path(const std::wstring &path)
{
    const DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    std::wstring full(n ? n : 1, L'\0');
    const DWORD got = n ? GetFullPathNameW(path.c_str(), n, &full[0], nullptr) : 0;
    if (!got || got >= n)
        return path;
    full.resize(got);
    return full;
}

// Whether the game that made a temporary file at `made` is gone. Windows
// hands out process ids again soon: a process with that id that started
// after the file was made is another one. Our own id counts as gone too, as
// the game never leaves a temporary file behind while it runs.
bool maker_gone(DWORD pid, const FILETIME &made)
{
    if (pid == GetCurrentProcessId())
        return true;
    HANDLE p = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid);
    if (!p)
        return GetLastError() == ERROR_INVALID_PARAMETER;  // no such process
    FILETIME started, ended, kernel, user;
    const bool gone = WaitForSingleObject(p, 0) == WAIT_OBJECT_0 ||
                      (GetProcessTimes(p, &started, &ended, &kernel, &user) && CompareFileTime(&started, &made) > 0);
    CloseHandle(p);
    return gone;
}

} // namespace

// --- the target and its folder ------------------------------------------------------

bool find_target(const char *path, Target &t)
{
    t.path = full_path(wide(path));
    t.folder = beside(t.path, L"");
    t.attributes = GetFileAttributesW(t.path.c_str());
    t.exists = t.attributes != INVALID_FILE_ATTRIBUTES;
    if (!t.exists)
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    return look_at_path(t.path, t.look);
}

bool may_write(const Target &t) { return !(t.attributes & FILE_ATTRIBUTE_READONLY); }

bool look_at_name(const Target &t, Look &l) { return look_at_path(t.path, l); }

bool look_at_folder(const Target &t, Look &l) { return look_at_path(t.folder.empty() ? L"." : t.folder, l); }

// The names that could be temporary files; only those of plain letters
// could be, so no other is handed on.
std::vector<std::string> list_folder(const Target &t)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAW f;
    HANDLE find = FindFirstFileW((t.folder + L".load-*.bmp").c_str(), &f);
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

void remove_if_stale(const Target &t, const std::string &name, unsigned long pid)
{
    const std::wstring path = t.folder + wide(name.c_str());
    WIN32_FILE_ATTRIBUTE_DATA a;
    if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &a) &&
        !(a.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && maker_gone(DWORD(pid), a.ftCreationTime))
        DeleteFileW(path.c_str());
}

unsigned long process_id() { return GetCurrentProcessId(); }

// --- the temporary file ----------------------------------------------------------------

File make_temporary(const Target &t, const std::string &name, bool, bool &taken)
{
    const HANDLE h = CreateFileW((t.folder + wide(name.c_str())).c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES | WRITE_DAC,
                                 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    taken = h == INVALID_HANDLE_VALUE && (GetLastError() == ERROR_FILE_EXISTS || GetLastError() == ERROR_ALREADY_EXISTS);
    return h == INVALID_HANDLE_VALUE ? NO_FILE : file(h);
}

// Gives the new file the old one's access list where it is the file's own
// (one inherited whole from the folder comes to the new file by itself).
// False where that list can't be copied: the rename would then give
// someone access the old file denied.
bool carry_identity(const Target &t, File temporary)
{
    Handle old(CreateFileW(t.path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr));
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!old.ok() || GetSecurityInfo(old.h, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                     nullptr, &sd) != ERROR_SUCCESS)
        return false;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(sd, &control, &revision);
    bool own = (control & SE_DACL_PROTECTED) || !dacl;
    for (DWORD i = 0; dacl && i < dacl->AceCount && !own; i++) {
        ACE_HEADER *ace = nullptr;
        own = GetAce(dacl, i, reinterpret_cast<void **>(&ace)) && !(ace->AceFlags & INHERITED_ACE);
    }
    const DWORD what = DACL_SECURITY_INFORMATION |
                       (control & SE_DACL_PROTECTED ? PROTECTED_DACL_SECURITY_INFORMATION
                                                    : UNPROTECTED_DACL_SECURITY_INFORMATION);
    const bool kept = !own || SetSecurityInfo(handle(temporary), SE_FILE_OBJECT, what, nullptr, nullptr, dacl,
                                              nullptr) == ERROR_SUCCESS;
    LocalFree(sd);
    return kept;
}

bool rename_over(const Target &t, const std::string &name, File temporary)
{
    const std::wstring tmp = t.folder + wide(name.c_str());
    bool ok = CloseHandle(handle(temporary));
    const DWORD carried = t.attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                          FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
    if (ok && t.exists && carried)
        SetFileAttributesW(tmp.c_str(), carried);
    ok = ok && MoveFileExW(tmp.c_str(), t.path.c_str(), t.exists ? MOVEFILE_REPLACE_EXISTING : 0);
    if (!ok) {
        DeleteFileW(tmp.c_str());
        return false;
    }
    // The creation time goes on only now: until the rename, the temporary's
    // own tells the clean-up of other games when it was made.
    if (t.exists) {
        Handle renamed(CreateFileW(t.path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, 0, nullptr));
        const FILETIME created = filetime(t.look.born);
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

// --- open files --------------------------------------------------------------------------

File open_target(const Target &t, bool write)
{
    Handle h(CreateFileW(t.path.c_str(), write ? GENERIC_WRITE | FILE_READ_ATTRIBUTES : GENERIC_READ,
                         write ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    Look l;
    if (!h.ok() || GetFileType(h.h) != FILE_TYPE_DISK || !look_by_handle(h.h, l) || l.volume != t.look.volume ||
        l.index != t.look.index)
        return NO_FILE;
    return h.release();
}

// Opened for reading in binary, as Windows files must be for a BMP to
// survive; anything but a plain file on the disk is left alone.
File open_to_read(const char *path)
{
    const std::wstring name = wide(path);
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)))
        return NO_FILE;
    Handle h(CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h.ok() || GetFileType(h.h) != FILE_TYPE_DISK)
        return NO_FILE;
    return h.release();
}

bool look_at(File f, Look &l) { return look_by_handle(handle(f), l); }

namespace {
OVERLAPPED at(uint64_t offset)
{
    OVERLAPPED o{};
    o.Offset = DWORD(offset);
    o.OffsetHigh = DWORD(offset >> 32);
    return o;
}
} // namespace

long long write_at(File f, const unsigned char *data, size_t size, uint64_t offset)
{
    OVERLAPPED o = at(offset);
    DWORD n = 0;
    return WriteFile(handle(f), data, DWORD(size), &n, &o) ? (long long)n : -1;
}

long long read_at(File f, unsigned char *data, size_t size, uint64_t offset)
{
    OVERLAPPED o = at(offset);
    DWORD n = 0;
    if (ReadFile(handle(f), data, DWORD(size), &n, &o))
        return n;
    return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
}

bool set_size(File f, uint64_t size)
{
    LARGE_INTEGER end;
    end.QuadPart = (long long)size;
    return SetFilePointerEx(handle(f), end, nullptr, FILE_BEGIN) && SetEndOfFile(handle(f));
}

// A file is made as long as it will be before it is written in place.
bool claim_room(File f, uint64_t size)
{
    LARGE_INTEGER old;
    return GetFileSizeEx(handle(f), &old) && ((uint64_t)old.QuadPart >= size || set_size(f, size));
}

bool out_of_room() { return GetLastError() == ERROR_DISK_FULL || GetLastError() == ERROR_HANDLE_DISK_FULL; }

bool close_file(File f) { return CloseHandle(handle(f)); }

void saved_to(const char *, const unsigned char *, size_t) {}

// --- rest ---------------------------------------------------------------------

namespace {
// Set by a wake-up, cleared by the wait that sees it.
const HANDLE wakes = CreateEventW(nullptr, FALSE, FALSE, nullptr);
} // namespace

void wake_game() { SetEvent(wakes); }

// The library's window thread repaints the window from its own copy of the
// board whenever it is uncovered, and its input thread reads the keys, both
// while the game sleeps here.
void wait_for_wake() { WaitForSingleObject(wakes, INFINITE); }

// --- a failed start --------------------------------------------------------------

void cannot_start(const char *what, const char *why)
{
    // A windowed program has no console: a line on stderr would go nowhere.
    std::string text = std::string("Vellomar cannot start: ") + what + ".";
    if (why[0])
        text += std::string("\n\n") + why;
    text += "\n\nIt needs 64-bit Windows 10 or 11 with a display of at least 640 x 480 in 16-bit colour or more.";
    MessageBoxA(nullptr, text.c_str(), "Vellomar", MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
}

// --- stop signals ---------------------------------------------------------------

namespace {
// Ctrl+C and Ctrl+Break in a console, and a terminating raise().
constexpr int STOP_SIGNALS[] = {SIGINT, SIGBREAK, SIGTERM};
bool ignored[NSIG];

void note_stop(int sig)
{
    stop_signal = sig;
    wake_game();
}
} // namespace

void catch_stop_signals()
{
    static bool noted = false;
    for (int sig : STOP_SIGNALS) {
        if (!noted) {
            void (*was)(int) = std::signal(sig, SIG_IGN);
            ignored[sig] = was == SIG_IGN;
        }
        std::signal(sig, ignored[sig] ? SIG_IGN : note_stop);
    }
    noted = true;
}

// The library's keyboard driver for this platform maps keys by their labels
// itself.
int install_keys() { return install_keyboard(); }
