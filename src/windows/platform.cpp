// Files and stop signals on Windows.
//
// The save replaces "load.bmp" the way careful Windows editors do: the new
// picture goes to a temporary file beside it, which takes the old file's
// attributes and permissions and is then renamed over it in one step (the
// old creation time follows). The old snapshot or the whole new one, never
// a torn one. Not ReplaceFileW(): Wine's moves the old file aside first,
// and a game killed in between leaves no load.bmp at all. A read-only
// load.bmp is left alone, as an in-place write would be refused; where the
// rename is refused but the file may be written, it is written in place.
// Temporary files of a game that was killed are removed by the next save.
#include <allegro.h>
#include <winalleg.h>

#include <aclapi.h>

#include "platform.h"

#include <algorithm>
#include <cstring>
#include <string>

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

// A handle closed when it goes out of scope.
struct Handle {
    HANDLE h;
    explicit Handle(HANDLE h) : h(h) {}
    ~Handle() { close(); }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    bool ok() const { return h != INVALID_HANDLE_VALUE; }
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

// Temporary files are named ".load-<pid>-XXXXXX.bmp", six letters or digits
// in place of the Xs, beside the file they replace.
constexpr wchar_t TMP_CHARS[] = L"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
constexpr int TMP_RANDOM = 6;

std::wstring temporary_name(unsigned long long &seed)
{
    std::wstring name = L".load-" + std::to_wstring(GetCurrentProcessId()) + L"-";
    for (int i = 0; i < TMP_RANDOM; i++) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        name += TMP_CHARS[(seed >> 33) % (sizeof TMP_CHARS / sizeof *TMP_CHARS - 1)];
    }
    return name + L".bmp";
}

// The pid in `name` if it has exactly the form of a temporary file's name.
DWORD temporary_pid(const wchar_t *name)
{
    const size_t len = std::wcslen(name);
    if (len < 6 + 2 + TMP_RANDOM + 4 || std::wcsncmp(name, L".load-", 6) != 0 || std::wcscmp(name + len - 4, L".bmp"))
        return 0;
    const wchar_t *digits = name + 6, *dash = name + len - 4 - TMP_RANDOM - 1;
    if (*dash != L'-' || *digits == L'0' || dash - digits > 9)
        return 0;
    DWORD pid = 0;
    for (const wchar_t *p = digits; p < dash; p++) {
        if (*p < L'0' || *p > L'9')
            return 0;
        pid = pid * 10 + DWORD(*p - L'0');
    }
    for (const wchar_t *p = dash + 1; p < name + len - 4; p++)
        if (!std::wcschr(TMP_CHARS, *p))
            return 0;
    return pid;
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

// Removes temporary files that copies of the game killed in the middle of a
// save left beside `path`: files of exactly our form whose game is gone.
void remove_stale_temporaries(const std::wstring &path)
{
    static bool done = false;
    if (done)
        return;
    done = true;
    WIN32_FIND_DATAW f;
    HANDLE find = FindFirstFileW(beside(path, L".load-*.bmp").c_str(), &f);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        const DWORD pid = temporary_pid(f.cFileName);
        if (pid && !(f.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && maker_gone(pid, f.ftCreationTime))
            DeleteFileW(beside(path, f.cFileName).c_str());
    } while (FindNextFileW(find, &f));
    FindClose(find);
}

// The file the last save left, to tell whether anything has touched it since.
struct Identity {
    DWORD volume, index_high, index_low, size_high, size_low;
    FILETIME written;
};
bool saved_valid = false;
Identity saved;
// Whether its write time is certainly older than a moment at which it was
// seen to hold the save's bytes: any change since then shows.
bool saved_settled = false;

bool identity_of(const std::wstring &path, Identity &id)
{
    Handle h(CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION i;
    if (!h.ok() || !GetFileInformationByHandle(h.h, &i) || (i.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    id = {i.dwVolumeSerialNumber, i.nFileIndexHigh, i.nFileIndexLow, i.nFileSizeHigh, i.nFileSizeLow, i.ftLastWriteTime};
    return true;
}

bool same_identity(const Identity &a, const Identity &b)
{
    return a.volume == b.volume && a.index_high == b.index_high && a.index_low == b.index_low &&
           a.size_high == b.size_high && a.size_low == b.size_low && CompareFileTime(&a.written, &b.written) == 0;
}

unsigned long long ticks(const FILETIME &t) { return (unsigned long long)t.dwHighDateTime << 32 | t.dwLowDateTime; }

unsigned long long now_ticks()
{
    FILETIME t;
    GetSystemTimeAsFileTime(&t);
    return ticks(t);
}

// A write after `seen` (in 100 ns ticks) is stamped no earlier than `seen`,
// less the system clock's tick, cut down to the file system's granularity:
// 2 s on FAT, 10 ms on exFAT, 100 ns on NTFS. The granularity is guessed
// from the time itself: one on a whole second may be on a coarse one.
bool settled_by(const Identity &id, unsigned long long seen)
{
    const unsigned long long t = ticks(id.written);
    const unsigned long long grain = t % 10000000 == 0 ? 20000000 : t % 100000 == 0 ? 100000 : 1;
    return t + grain + 1000000 < seen;  // 100 ms for the tick, and more
}

void remember(const std::wstring &path)
{
    saved_valid = identity_of(path, saved);
    saved_settled = saved_valid && settled_by(saved, now_ticks());
}

bool write_all(HANDLE h, const unsigned char *data, size_t size)
{
    for (size_t done = 0; done < size;) {
        DWORD n = 0;
        const DWORD chunk = DWORD(std::min<size_t>(size - done, 1u << 30));
        if (!WriteFile(h, data + done, chunk, &n, nullptr) || n == 0)
            return false;
        done += n;
    }
    return true;
}

// Whether the open file holds exactly `data`, read in pieces.
bool holds(HANDLE h, const unsigned char *data, size_t size)
{
    static unsigned char piece[1 << 16];
    for (size_t at = 0; at < size;) {
        DWORD n = 0;
        if (!ReadFile(h, piece, DWORD(std::min(sizeof piece, size - at)), &n, nullptr) || n == 0 ||
            std::memcmp(piece, data + at, n) != 0)
            return false;
        at += n;
    }
    return true;
}

// Where the replace is refused (a folder the user may add nothing to, a
// file locked against deletion) but the file itself may be written, it is
// written in place, as the library's own save would. Not atomic, so room
// is claimed first, and a full disk leaves the old picture.
bool write_in_place(const std::wstring &target, const unsigned char *data, size_t size)
{
    Handle h(CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                         nullptr));
    LARGE_INTEGER old, end, start{};
    end.QuadPart = (long long)size;
    if (!h.ok() || GetFileType(h.h) != FILE_TYPE_DISK || !GetFileSizeEx(h.h, &old))
        return false;
    if (old.QuadPart < end.QuadPart && (!SetFilePointerEx(h.h, end, nullptr, FILE_BEGIN) || !SetEndOfFile(h.h)))
        return false;
    if (!SetFilePointerEx(h.h, start, nullptr, FILE_BEGIN) || !write_all(h.h, data, size) ||
        !SetFilePointerEx(h.h, end, nullptr, FILE_BEGIN) || !SetEndOfFile(h.h) || !h.close())
        return false;
    remember(target);
    return true;
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

// Gives the new file (open as `to`) the old one's access list where it is
// the file's own (one inherited whole from the folder comes to the new file
// by itself), and notes its creation time in `created`. False where that
// list can't be copied: the rename would then give someone access the old
// file denied.
bool take_identity(const std::wstring &from, HANDLE to, FILETIME &created)
{
    Handle old(CreateFileW(from.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr));
    FILETIME accessed, written;
    if (!old.ok() || !GetFileTime(old.h, &created, &accessed, &written))
        return false;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetSecurityInfo(old.h, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &sd) !=
        ERROR_SUCCESS)
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
    const bool kept = !own || SetSecurityInfo(to, SE_FILE_OBJECT, what, nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS;
    LocalFree(sd);
    return kept;
}

} // namespace

bool replace_file(const char *path, const unsigned char *data, size_t size)
{
    saved_valid = false;
    const std::wstring target = full_path(wide(path));
    const DWORD attributes = GetFileAttributesW(target.c_str());
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (!exists && GetLastError() != ERROR_FILE_NOT_FOUND)
        return false;
    // Where an in-place write would be refused, so is this: a read-only
    // file, or something that is not a file.
    if (exists && (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)))
        return false;
    remove_stale_temporaries(target);

    static unsigned long long seed = GetTickCount64() ^ (unsigned long long)GetCurrentProcessId() << 32;
    std::wstring tmp;
    HANDLE made = INVALID_HANDLE_VALUE;
    for (int tries = 0; tries < 100 && made == INVALID_HANDLE_VALUE; tries++) {
        tmp = beside(target, temporary_name(seed));
        made = CreateFileW(tmp.c_str(), GENERIC_WRITE | WRITE_DAC, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (made == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS)
            break;
    }
    Handle h(made);
    // No temporary file beside it (a folder the user may add nothing to):
    // the file itself, if it may be written.
    if (!h.ok())
        return exists && write_in_place(target, data, size);
    const bool wrote = write_all(h.h, data, size);
    const bool full = !wrote && (GetLastError() == ERROR_DISK_FULL || GetLastError() == ERROR_HANDLE_DISK_FULL);
    FILETIME created{};
    const bool kept = wrote && (!exists || take_identity(target, h.h, created));
    bool ok = h.close() && kept;
    const DWORD carried = attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                        FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
    if (ok && exists && carried)
        SetFileAttributesW(tmp.c_str(), carried);
    // One rename, which replaces the old file or leaves it as it was.
    ok = ok && MoveFileExW(tmp.c_str(), target.c_str(), exists ? MOVEFILE_REPLACE_EXISTING : 0);
    if (!ok) {
        DeleteFileW(tmp.c_str());
        // Refused (the old file open without leave to delete it, its access
        // list not to be copied, no room for a second copy): in place. Not
        // after a failed write, which could tear the old file the same way.
        return exists && (wrote || full) && write_in_place(target, data, size);
    }
    // The creation time goes on only now: until the rename, the temporary's
    // own tells the clean-up of other games when it was made.
    if (exists) {
        Handle renamed(CreateFileW(target.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, 0, nullptr));
        if (renamed.ok())
            SetFileTime(renamed.h, &created, nullptr, nullptr);
    }
    remember(target);
    return true;
}

bool still_holds(const char *path, const unsigned char *data, size_t size)
{
    const std::wstring target = full_path(wide(path));
    Identity now;
    if (!saved_valid || saved.size_high != 0 || saved.size_low != size || !identity_of(target, now) ||
        !same_identity(now, saved))
        return false;
    if (saved_settled)
        return true;
    // A write time as fresh as this could hide another program's same-size
    // rewrite in the same tick: the bytes themselves are compared, until a
    // look finds the time settled.
    const unsigned long long seen = now_ticks();
    Handle h(CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h.ok() || !holds(h.h, data, size) || !identity_of(target, now) || !same_identity(now, saved))
        return false;
    saved_settled = settled_by(saved, seen);
    return true;
}

bool read_file(const char *path, size_t max, std::vector<unsigned char> &out)
{
    // Opened for reading in binary, as Windows files must be for a BMP to
    // survive; anything but a plain file on the disk is left alone.
    const std::wstring name = wide(path);
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)))
        return false;
    Handle h(CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size;
    if (!h.ok() || GetFileType(h.h) != FILE_TYPE_DISK || !GetFileSizeEx(h.h, &size) || size.QuadPart <= 0 ||
        (unsigned long long)size.QuadPart > max)
        return false;
    out.resize(size_t(size.QuadPart));
    size_t got = 0;
    while (got < out.size()) {
        DWORD n = 0;
        const DWORD chunk = DWORD(std::min<size_t>(out.size() - got, 1u << 30));
        if (!ReadFile(h.h, out.data() + got, chunk, &n, nullptr) || n == 0)
            break;
        got += n;
    }
    return got == out.size();
}

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

volatile std::sig_atomic_t stop_signal = 0;

namespace {
// Ctrl+C and Ctrl+Break in a console, and a terminating raise().
constexpr int STOP_SIGNALS[] = {SIGINT, SIGBREAK, SIGTERM};
bool ignored[NSIG];

void note_stop(int sig) { stop_signal = sig; }
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

void end_by_stop_signal()
{
    const int sig = stop_signal;
    if (!sig)
        return;
    allegro_exit();
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

// The library's keyboard driver for this platform maps keys by their labels
// itself.
int install_keys() { return install_keyboard(); }
