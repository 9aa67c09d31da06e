// A small stand-in for the Windows application framework the module is built on: the module
// object's base class with its load-time hooks, and the critical section with its scoped lock.
#pragma once

#include "platform/platform.h"

// The module object's base. Its constructor registers the one instance, as the framework does,
// so the load-time handling can find it.
class CWinApp {
  public:
    explicit CWinApp(const char* appName = nullptr);
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    virtual bool InitInstance();  // base initialisation: nothing to do, succeeds
    virtual int ExitInstance();   // returns 0

    const char* appName;
};
CWinApp* AfxGetApp();

class CCriticalSection {
  public:
    CCriticalSection();
    ~CCriticalSection();
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;

    bool Lock();  // waits without limit
    bool Unlock();
    bool IsValid() const { return valid; }

  private:
    platform::LockStorage storage;
    bool valid;
};

// Scoped lock on a critical section; releases what it holds when it goes.
class CSingleLock {
  public:
    explicit CSingleLock(CCriticalSection* section, bool initialLock = false);
    ~CSingleLock();
    CSingleLock(const CSingleLock&) = delete;
    CSingleLock& operator=(const CSingleLock&) = delete;

    static constexpr unsigned kInfinite = 0xFFFFFFFFu;
    bool Lock(unsigned timeoutMillis = kInfinite);  // the timeout is not honoured: waits
    bool Unlock();  // unlocking a lock that is not held does nothing
    bool IsLocked() const { return locked; }

  private:
    CCriticalSection* section;
    bool locked;
};
