// Opening, reading and writing the snapshot file on Windows.
#include "win.h"

using namespace win;

File open_target(const Target &t, bool write)
{
    Handle h(CreateFileW(t.path.c_str(), write ? GENERIC_WRITE | FILE_READ_ATTRIBUTES : GENERIC_READ,
                         write ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    FileInfo i;
    if (!h.ok() || GetFileType(h.h) != FILE_TYPE_DISK || !info_of(h.h, i) || !same_file(i, t.info))
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

bool file_info(File f, FileInfo &i) { return info_of(handle(f), i); }

namespace {
OVERLAPPED at(uint64_t offset)
{
    OVERLAPPED o{};
    o.Offset = DWORD(offset);
    o.OffsetHigh = DWORD(offset >> 32);
    return o;
}

bool no_room_left() { return GetLastError() == ERROR_DISK_FULL || GetLastError() == ERROR_HANDLE_DISK_FULL; }
} // namespace

long long write_at(File f, const unsigned char *data, size_t size, uint64_t offset)
{
    OVERLAPPED o = at(offset);
    DWORD n = 0;
    if (WriteFile(handle(f), data, DWORD(size), &n, &o))
        return n;
    return no_room_left() ? NO_ROOM : FAILED;
}

long long read_at(File f, unsigned char *data, size_t size, uint64_t offset)
{
    OVERLAPPED o = at(offset);
    DWORD n = 0;
    if (ReadFile(handle(f), data, DWORD(size), &n, &o))
        return n;
    return GetLastError() == ERROR_HANDLE_EOF ? 0 : FAILED;
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
    return GetFileSizeEx(handle(f), &old) && ((uint64_t)old.QuadPart >= size || set_size(f, size) || !no_room_left());
}

bool close_file(File f) { return CloseHandle(handle(f)); }

void on_saved(const unsigned char *, size_t) {}
