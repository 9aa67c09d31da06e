// Test helper for qvrad-auth's secret-file check: gives FILE an explicit, protected DACL (no
// inherited entries) of full access for the calling user and read for one group, with
// SetNamedSecurityInfoW, then reads it back. Exit 0: the file has that DACL; 3: it was set but
// reads back otherwise (Wine keeps no DACL: it turns one into Unix mode bits and makes a DACL
// from those, where the others' read is Everyone's); 1: a call failed, with the reason.
// Usage: qvrad_set_dacl FILE (owner|administrators|everyone|users|authenticated|guests)
#include <cstdio>
#include <cstring>

#include <windows.h>

#include <aclapi.h>

namespace {

struct Group {
    const char* name;
    WELL_KNOWN_SID_TYPE type;
};
// "owner" gives the user alone; the others add a read entry for that group.
const Group kGroups[] = {
    {"administrators", WinBuiltinAdministratorsSid},
    {"everyone", WinWorldSid},
    {"users", WinBuiltinUsersSid},
    {"authenticated", WinAuthenticatedUserSid},
    {"guests", WinBuiltinGuestsSid},
};

int Fail(const char* what) {
    std::fprintf(stderr, "qvrad_set_dacl: %s failed (error %lu)\n", what, GetLastError());
    return 1;
}

// Whether the file's DACL now holds exactly the entries of want, in order.
bool SameDacl(const wchar_t* path, PACL want) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    bool same = dacl != nullptr && dacl->AceCount == want->AceCount;
    for (DWORD i = 0; same && i < want->AceCount; ++i) {
        void* got = nullptr;
        void* wanted = nullptr;
        same =
            GetAce(dacl, i, &got) && GetAce(want, i, &wanted) &&
            static_cast<ACE_HEADER*>(got)->AceSize == static_cast<ACE_HEADER*>(wanted)->AceSize &&
            std::memcmp(got, wanted, static_cast<ACE_HEADER*>(wanted)->AceSize) == 0;
    }
    LocalFree(descriptor);
    return same;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs(
            "usage: qvrad_set_dacl FILE (owner|administrators|everyone|users|"
            "authenticated|guests)\n",
            stderr);
        return 2;
    }
    const Group* group = nullptr;
    for (const Group& g : kGroups)
        if (std::strcmp(argv[2], g.name) == 0) group = &g;
    if (group == nullptr && std::strcmp(argv[2], "owner") != 0) return Fail("the group's name");

    HANDLE token = nullptr;
    unsigned char user[256];
    DWORD size = 0;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return Fail("OpenProcessToken");
    const BOOL gotUser = GetTokenInformation(token, TokenUser, user, sizeof user, &size);
    CloseHandle(token);
    if (!gotUser) return Fail("GetTokenInformation");
    PSID userSid = reinterpret_cast<TOKEN_USER*>(user)->User.Sid;

    unsigned char groupSid[SECURITY_MAX_SID_SIZE];
    DWORD groupSize = sizeof groupSid;
    if (group != nullptr && !CreateWellKnownSid(group->type, nullptr, groupSid, &groupSize))
        return Fail("CreateWellKnownSid");

    unsigned char aclBuffer[512];
    PACL acl = reinterpret_cast<PACL>(aclBuffer);
    if (!InitializeAcl(acl, sizeof aclBuffer, ACL_REVISION) ||
        !AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, userSid) ||
        (group != nullptr && !AddAccessAllowedAce(acl, ACL_REVISION, FILE_GENERIC_READ, groupSid)))
        return Fail("building the ACL");

    wchar_t path[MAX_PATH];
    if (MultiByteToWideChar(CP_ACP, 0, argv[1], -1, path, MAX_PATH) == 0)
        return Fail("MultiByteToWideChar");
    const DWORD rc = SetNamedSecurityInfoW(
        path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
        nullptr, nullptr, acl, nullptr);
    if (rc != ERROR_SUCCESS) {
        SetLastError(rc);
        return Fail("SetNamedSecurityInfoW");
    }
    return SameDacl(path, acl) ? 0 : 3;
}
