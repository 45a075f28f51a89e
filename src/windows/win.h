// What the Windows files of the platform share among themselves. The game
// sees none of it: platform.h is its one interface.
#pragma once

#include <allegro.h>
#include <winalleg.h>

#include "platform.h"

#include <cstring>
#include <string>
#include <utility>

namespace win {

inline std::wstring wide(const char *s)
{
    const int n = MultiByteToWideChar(CP_ACP, 0, s, -1, nullptr, 0);
    std::wstring w(n > 0 ? size_t(n) : 1, L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_ACP, 0, s, -1, &w[0], n);
    w.resize(std::wcslen(w.c_str()));
    return w;
}

inline HANDLE handle(File f) { return reinterpret_cast<HANDLE>(f); }
inline File file(HANDLE h) { return reinterpret_cast<File>(h); }

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

// What the system tells of the file open as `h`.
bool info_of(HANDLE h, FileInfo &i);
// What is at `path`, opened for nothing but that.
bool info_at(const std::wstring &path, FileInfo &i);

// File times in 100 ns ticks since 1601, and in ns since 1970.
constexpr unsigned long long EPOCH_TICKS = 116444736000000000ULL;
inline int64_t ns(const FILETIME &t)
{
    return int64_t(((unsigned long long)t.dwHighDateTime << 32 | t.dwLowDateTime) - EPOCH_TICKS) * 100;
}
inline FILETIME filetime(int64_t ns)
{
    const unsigned long long ticks = (unsigned long long)(ns / 100) + EPOCH_TICKS;
    return {DWORD(ticks), DWORD(ticks >> 32)};
}

} // namespace win
