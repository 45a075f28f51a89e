// What an existing snapshot file's access list carried, handed on to the
// file that replaces it, on Windows.
#include "win.h"

#include <aclapi.h>

using namespace win;

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
