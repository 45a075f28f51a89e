// What an existing snapshot file carried (owner, group, mode, ACL, other
// extended attributes), handed on to the file that replaces it.
#include "linux.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/xattr.h>
#include <utility>
#include <vector>

using namespace lnx;

namespace {

using Attributes = std::vector<std::pair<std::string, std::string>>;

// A POSIX access ACL as the kernel stores it: a version, then entries of a
// tag, permission bits and an id, sorted by tag and then id.
constexpr char ACL_NAME[] = "system.posix_acl_access";
enum AclTag : uint16_t { USER_OBJ = 1, USER = 2, GROUP_OBJ = 4, GROUP = 8, MASK = 16, OTHER = 32 };
struct AclEntry {
    uint16_t tag, perm;
    uint32_t id;
};

std::vector<AclEntry> acl_entries(const std::string &v)
{
    std::vector<AclEntry> e((v.size() - 4) / 8);
    std::memcpy(e.data(), v.data() + 4, e.size() * 8);
    return e;
}

uint16_t acl_perm(const std::vector<AclEntry> &acl, uint16_t tag)
{
    for (const AclEntry &e : acl)
        if (e.tag == tag)
            return e.perm;
    return 0;
}

// Where the owner or the group could not be kept, the ACL moves on with
// the new file so that no one gains: the old owner and the old group keep
// their access as named entries (no more than the mask lets through), and
// the new group gets no more than others had.
std::string moved_acl(const std::string &v, bool owner_kept, bool group_kept, const struct stat &old)
{
    std::vector<AclEntry> acl = acl_entries(v);
    const uint16_t mask = acl_perm(acl, MASK), other = acl_perm(acl, OTHER), group = acl_perm(acl, GROUP_OBJ);
    const auto name = [&](uint16_t tag, uint32_t id, uint16_t perm) {
        for (const AclEntry &e : acl)
            if (e.tag == tag && e.id == id)
                return;
        acl.push_back({tag, perm, id});
    };
    if (!owner_kept)
        name(USER, old.st_uid, acl_perm(acl, USER_OBJ) & mask);
    if (!group_kept) {
        name(GROUP, old.st_gid, group);
        for (AclEntry &e : acl)
            if (e.tag == GROUP_OBJ)
                e.perm &= other;
    }
    std::sort(acl.begin(), acl.end(), [](const AclEntry &a, const AclEntry &b) {
        return a.tag != b.tag ? a.tag < b.tag : a.id < b.id;
    });
    std::string out = v.substr(0, 4);
    out.append(reinterpret_cast<const char *>(acl.data()), acl.size() * 8);
    return out;
}

// The extended attributes of the existing file: its ACL among them. Read
// through a descriptor of the file itself; where it may not be read, through
// a descriptor that only names it.
bool attributes_of(const Target &t, Attributes &out)
{
    out.clear();
    Fd fd(openat(t.folder.get(), t.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    std::string via;
    if (!fd.ok()) {
        fd.reset(openat(t.folder.get(), t.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        via = "/proc/self/fd/" + std::to_string(fd.get());
    }
    struct stat st;
    if (!fd.ok() || fstat(fd.get(), &st) != 0 || !same_file(st, t.st))
        return false;
    const auto list = [&](char *buf, size_t n) {
        return via.empty() ? flistxattr(fd.get(), buf, n) : listxattr(via.c_str(), buf, n);
    };
    const auto get = [&](const char *name, void *buf, size_t n) {
        return via.empty() ? fgetxattr(fd.get(), name, buf, n) : getxattr(via.c_str(), name, buf, n);
    };
    ssize_t n = list(nullptr, 0);
    if (n < 0)
        return errno == ENOTSUP;  // a file system without attributes
    std::string names(size_t(n), '\0');
    if ((n = list(names.data(), names.size())) < 0)
        return false;
    for (size_t at = 0; at < size_t(n); at += std::strlen(&names[at]) + 1) {
        const char *name = &names[at];
        const ssize_t len = get(name, nullptr, 0);
        std::string value(len > 0 ? size_t(len) : 0, '\0');
        if (len < 0 || get(name, value.data(), value.size()) != len)
            return false;
        out.emplace_back(name, std::move(value));
    }
    return true;
}

} // namespace

// The new file takes the old one's owner, group, permission bits, ACL and
// other extended attributes wherever the process may set them. Where the
// group can't be kept, the new group gets no more than others had; where
// the ACL can't be kept, the mode gives the owning group no more than the
// ACL gave it, and named users and groups lose their access.
bool carry_identity(const Target &t, File temporary)
{
    Attributes attributes;
    if (!attributes_of(t, attributes))
        return false;
    const int fd = int(temporary);
    const struct stat &old = t.st;
    const bool owner_kept = fchown(fd, old.st_uid, old.st_gid) == 0;
    const bool group_kept = owner_kept || fchown(fd, uid_t(-1), old.st_gid) == 0;
    mode_t mode = old.st_mode & 0777;
    if (!group_kept)
        mode = (mode & 0707) | (mode & 07) << 3;
    // A new file in a folder with a default ACL inherits one: the old file's
    // own (or none) takes its place.
    fremovexattr(fd, ACL_NAME);
    fchmod(fd, mode);
    for (const auto &[name, value] : attributes) {
        if (name != ACL_NAME) {
            fsetxattr(fd, name.c_str(), value.data(), value.size(), 0);
            continue;
        }
        if (value.size() < 4 || (value.size() - 4) % 8)
            continue;
        const std::string acl = moved_acl(value, owner_kept, group_kept, old);
        if (fsetxattr(fd, ACL_NAME, acl.data(), acl.size(), 0) != 0) {
            const std::vector<AclEntry> e = acl_entries(acl);
            fchmod(fd, (mode & 0707) | (acl_perm(e, GROUP_OBJ) & acl_perm(e, MASK)) << 3);
        }
    }
    return true;
}
