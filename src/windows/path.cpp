// Following a path to where a save goes, on Windows.
#include "win.h"

using namespace win;

namespace {

// The path in full, so that the names handed on never depend on how a
// call reads a bare one.
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

// `name` in the folder of `path`.
std::wstring beside(const std::wstring &path, const std::wstring &name)
{
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? name : path.substr(0, slash + 1) + name;
}

} // namespace

bool win::info_of(HANDLE h, FileInfo &i)
{
    BY_HANDLE_FILE_INFORMATION f;
    if (!GetFileInformationByHandle(h, &f))
        return false;
    i = {!(f.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)),
         f.dwVolumeSerialNumber,
         (uint64_t)f.nFileIndexHigh << 32 | f.nFileIndexLow,
         (uint64_t)f.nFileSizeHigh << 32 | f.nFileSizeLow,
         unsigned(f.nNumberOfLinks),
         ns(f.ftLastWriteTime),
         ns(f.ftLastWriteTime),
         ns(f.ftCreationTime)};
    return true;
}

bool win::info_at(const std::wstring &path, FileInfo &i)
{
    Handle h(CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return h.ok() && info_of(h.h, i);
}

bool find_target(const char *path, Target &t)
{
    t.path = full_path(wide(path));
    t.folder = beside(t.path, L"");
    t.attributes = GetFileAttributesW(t.path.c_str());
    t.exists = t.attributes != INVALID_FILE_ATTRIBUTES;
    if (!t.exists)
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    return info_at(t.path, t.info);
}

bool may_write(const Target &t) { return !(t.attributes & FILE_ATTRIBUTE_READONLY); }

bool name_info(const Target &t, FileInfo &i) { return info_at(t.path, i); }

bool folder_info(const Target &t, FileInfo &i) { return info_at(t.folder.empty() ? L"." : t.folder, i); }
