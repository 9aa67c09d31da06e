// Test helper for qvrad-auth's secret-file check: gives FILE an explicit, protected DACL (no
// inherited entries) with SetNamedSecurityInfoW: full access for the calling user, read for
// Everyone. Exit 0, or 1 with the call that failed. Usage: qvrad_set_dacl FILE
#include <cstdio>

#include <windows.h>

#include <aclapi.h>

namespace {

int Fail(const char* what) {
    std::fprintf(stderr, "qvrad_set_dacl: %s failed (error %lu)\n", what, GetLastError());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: qvrad_set_dacl FILE\n", stderr);
        return 2;
    }
    HANDLE token = nullptr;
    unsigned char user[256];
    DWORD size = 0;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return Fail("OpenProcessToken");
    const BOOL gotUser = GetTokenInformation(token, TokenUser, user, sizeof user, &size);
    CloseHandle(token);
    if (!gotUser) return Fail("GetTokenInformation");

    unsigned char everyone[SECURITY_MAX_SID_SIZE];
    DWORD everyoneSize = sizeof everyone;
    unsigned char aclBuffer[256];
    PACL acl = reinterpret_cast<PACL>(aclBuffer);
    if (!CreateWellKnownSid(WinWorldSid, nullptr, everyone, &everyoneSize) ||
        !InitializeAcl(acl, sizeof aclBuffer, ACL_REVISION) ||
        !AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS,
                             reinterpret_cast<TOKEN_USER*>(user)->User.Sid) ||
        !AddAccessAllowedAce(acl, ACL_REVISION, FILE_GENERIC_READ, everyone))
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
    return 0;
}
