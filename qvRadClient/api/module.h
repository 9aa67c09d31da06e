// The module object, the per-thread result buffer with the lock it is published under, and the
// load-time start of the socket layer, which fails the load unless exactly version 1.1 is granted.
#pragma once

#include <cstdint>

#include "api/winapp.h"

constexpr unsigned kResultSize = 2048;

class CqvRadClientApp : public CWinApp {
  public:
    CqvRadClientApp();
    ~CqvRadClientApp() override;
    bool InitInstance() override;
};

extern CqvRadClientApp theApp;
extern CCriticalSection g_authLock;
// One buffer per thread: auth returns the calling thread's, so a text stays valid until the next
// auth call on the same thread (or that thread's end) and no other thread's call can replace it
// between the return and the caller's copy.
extern thread_local char g_authResult[kResultSize];
extern const char kBanner[];

// The socket start of load time, with the start and end injectable so that the version rule
// can be tested where the real socket layer always grants 1.1.
struct SocketStartOps {
    int (*start)(std::uint16_t requested, std::uint16_t* granted);
    void (*end)();
};
bool StartSocketsAtLoad(const SocketStartOps& ops);

// Runs the framework's attach handling once: InitInstance, and ExitInstance if it fails.
// 0 on success (also when already attached), -1 when the load must fail.
int ModuleProcessAttach();
