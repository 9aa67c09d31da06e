// Handle leaks seen two ways: the process's handle count where the system keeps one (wine
// reports 0), and the value of the next socket handle, which climbs when freed slots are not.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>

#include "platform/platform.h"

struct HandleUse {
    DWORD count;
    std::uintptr_t nextSocket;
};

// The socket is closed at once: its value is the lowest free slot of the handle table.
inline HandleUse HandleUseNow() {
    HandleUse use = {0, 0};
    if (!GetProcessHandleCount(GetCurrentProcess(), &use.count)) use.count = 0;
    const platform::SocketHandle probe = platform::UdpSocketOpen();
    use.nextSocket = probe;
    platform::SocketClose(probe);
    return use;
}

// A leak of one handle per operation moves the next free slot by a handle (4) per operation;
// a few handles of slack allow for the runtime's own, which come and go between the probes.
inline void ExpectNoHandlesLeaked(const HandleUse& before, int operations) {
    const HandleUse after = HandleUseNow();
    if (before.count != 0 && after.count != 0) {
        EXPECT_EQ(after.count, before.count);
    }
    ASSERT_NE(after.nextSocket, platform::kInvalidSocket);
    const std::uintptr_t slack = 16 * 4;
    EXPECT_LE(after.nextSocket, before.nextSocket + slack)
        << operations << " operations moved the next socket handle from " << before.nextSocket
        << " to " << after.nextSocket;
}
