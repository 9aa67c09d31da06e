// The framework stand-in: the one module object's registration and the lock classes over the
// platform's mutual-exclusion lock.
#include "api/winapp.h"

namespace {
CWinApp* g_theModuleApp = nullptr;
}

CWinApp::CWinApp(const char* name) : appName(name) {
    g_theModuleApp = this;
}

CWinApp::~CWinApp() {
    if (g_theModuleApp == this) g_theModuleApp = nullptr;
}

bool CWinApp::InitInstance() {
    return true;
}

int CWinApp::ExitInstance() {
    return 0;
}

CWinApp* AfxGetApp() {
    return g_theModuleApp;
}

CCriticalSection::CCriticalSection() : valid(platform::LockInit(&storage) == 0) {}

CCriticalSection::~CCriticalSection() {
    if (valid) platform::LockDestroy(&storage);
    valid = false;
}

bool CCriticalSection::Lock() {
    return valid && platform::LockAcquire(&storage) == 0;
}

bool CCriticalSection::Unlock() {
    if (!valid) return false;
    platform::LockRelease(&storage);
    return true;
}

CSingleLock::CSingleLock(CCriticalSection* lockSection, bool initialLock)
    : section(lockSection), locked(false) {
    if (initialLock) Lock();
}

CSingleLock::~CSingleLock() {
    Unlock();
}

bool CSingleLock::Lock(unsigned /*timeoutMillis*/) {
    if (locked) return true;
    if (section == nullptr) return false;
    locked = section->Lock();
    return locked;
}

bool CSingleLock::Unlock() {
    if (!locked) return true;
    locked = false;
    return section->Unlock();
}
