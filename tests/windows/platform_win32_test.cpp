// The Winsock-specific behaviour of the Windows platform layer, on 127.0.0.1 only: byte order of
// addresses and ports, oversized datagrams, time limits, handle inheritance and the bounds of
// the host name buffer.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "platform/platform.h"
#include "windows/handle_use.h"

namespace {

constexpr int kWouldBlock = 10035;                // WSAEWOULDBLOCK
constexpr std::uint32_t kLoopback = 0x0100007Fu;  // 127.0.0.1 in network order (little endian)

struct Udp {
    platform::SocketHandle handle = platform::UdpSocketOpen();
    std::uint16_t port = 0;
    ~Udp() { platform::SocketClose(handle); }
};

// The client's sequence: any address, non-blocking.
void OpenAsClient(Udp& s) {
    ASSERT_NE(s.handle, platform::kInvalidSocket);
    ASSERT_EQ(platform::SocketBindAnyIPv4(s.handle), 0);
    ASSERT_EQ(platform::SocketSetNonBlocking(s.handle), 0);
    ASSERT_EQ(platform::SocketLocalPort(s.handle, &s.port), 0);
    ASSERT_NE(s.port, 0);
}

void OpenAsPeer(Udp& s) {
    ASSERT_NE(s.handle, platform::kInvalidSocket);
    ASSERT_EQ(platform::SocketBindIPv4(s.handle, kLoopback, 0), 0);
    ASSERT_EQ(platform::SocketLocalPort(s.handle, &s.port), 0);
    ASSERT_NE(s.port, 0);
}

long long ElapsedMillis(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 since)
        .count();
}

TEST(Win32Platform, ParsesDottedAddressesInNetworkOrder) {
    const struct {
        const char* text;
        std::uint32_t value;
    } cases[] = {
        {"127.0.0.1", kLoopback},   {"10.1.2.3", 0x0302010Au},  {"255.255.255.255", 0xFFFFFFFFu},
        {"256.1.1.1", 0xFFFFFFFFu}, {"1.2.3.4.5", 0xFFFFFFFFu}, {"radius.example", 0xFFFFFFFFu},
        {nullptr, 0xFFFFFFFFu},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::ParseIPv4(c.text), c.value) << (c.text ? c.text : "(null)");
    }
    platform::IpAddress first4, first6;
    ASSERT_EQ(platform::ResolveHost("127.0.0.1", "1812", &first4, &first6), 0);
    EXPECT_EQ(first4.family, platform::kFamilyIPv4);
    EXPECT_EQ(std::memcmp(first4.bytes, &kLoopback, 4), 0);
    EXPECT_EQ(first6.family, platform::kFamilyNone);
}

TEST(Win32Platform, DatagramsKeepAddressAndPortOrder) {
    Udp client, peer;
    OpenAsClient(client);
    OpenAsPeer(peer);
    const char hello[] = "twenty bytes exactly";
    ASSERT_EQ(platform::SocketSendTo(client.handle, hello, 20, kLoopback, peer.port), 20);
    ASSERT_GT(platform::SocketWaitReadable(peer.handle, 2000), 0);
    char got[64] = {};
    bool oversized = true;
    std::uint32_t ip = 0;
    std::uint16_t port = 0;
    ASSERT_EQ(platform::SocketReceiveFrom(peer.handle, got, sizeof got, &oversized, &ip, &port),
              20);
    EXPECT_FALSE(oversized);
    EXPECT_EQ(std::memcmp(got, hello, 20), 0);
    EXPECT_EQ(ip, kLoopback);
    EXPECT_EQ(port, client.port);
}

TEST(Win32Platform, OversizedDatagramIsFlaggedAndConsumed) {
    Udp client, peer;
    OpenAsClient(client);
    OpenAsPeer(peer);
    const struct {
        int sent;
        bool oversized;
    } cases[] = {{24, false}, {25, true}, {400, true}};
    char big[400];
    std::memset(big, 'x', sizeof big);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sent);
        ASSERT_EQ(platform::SocketSendTo(peer.handle, big, c.sent, kLoopback, client.port), c.sent);
        ASSERT_GT(platform::SocketWaitReadable(client.handle, 2000), 0);
        char buffer[32];
        std::memset(buffer, 0, sizeof buffer);
        bool oversized = !c.oversized;
        const int n = platform::SocketReceive(client.handle, buffer, 24, &oversized);
        EXPECT_EQ(oversized, c.oversized);
        EXPECT_EQ(n, 24);  // never more than the capacity, whatever arrived
        EXPECT_EQ(buffer[24], 0) << "written past the capacity";
    }
    // Each datagram went at its receive: nothing is left to read, and the socket does not block.
    char buffer[32];
    bool oversized = false;
    EXPECT_EQ(platform::SocketReceive(client.handle, buffer, sizeof buffer, &oversized), -1);
    EXPECT_EQ(platform::GetSocketError(), kWouldBlock);
}

TEST(Win32Platform, WaitReadableKeepsItsTimeLimit) {
    Udp client;
    OpenAsClient(client);
    for (const std::int32_t limit : {0, 150, 400}) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(platform::SocketWaitReadable(client.handle, limit), 0);
        const long long elapsed = ElapsedMillis(start);
        EXPECT_GE(elapsed, limit - 20) << limit;  // timer granularity
        EXPECT_LT(elapsed, limit + 1000) << limit;
    }
    const std::int64_t before = platform::MonotonicMillis();
    Sleep(50);
    const std::int64_t after = platform::MonotonicMillis();
    EXPECT_GE(after - before, 30);
    EXPECT_LT(after - before, 2000);
}

TEST(Win32Platform, SocketIsNotInherited) {
    Udp client;
    OpenAsClient(client);
    DWORD flags = HANDLE_FLAG_INHERIT;
    ASSERT_TRUE(GetHandleInformation(reinterpret_cast<HANDLE>(client.handle), &flags));
    EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);
}

TEST(Win32Platform, SocketCyclesLeaveNoHandles) {
    auto cycle = [] {
        Udp client;
        OpenAsClient(client);
    };
    cycle();  // the first socket loads the providers once for the process
    const HandleUse before = HandleUseNow();
    for (int i = 0; i < 200; ++i) cycle();
    ExpectNoHandlesLeaked(before, 200);
}

TEST(Win32Platform, HostNameStaysWithinEveryLimit) {
    char full[256];
    ASSERT_EQ(platform::GetLocalHostName(full, sizeof full), 0);
    const std::size_t length = std::strlen(full);
    ASSERT_GT(length, 0u);
    for (std::size_t limit = 1; limit <= length + 2; ++limit) {
        char buffer[260];
        std::memset(buffer, 0x5A, sizeof buffer);
        const int rc = platform::GetLocalHostName(buffer, limit);
        SCOPED_TRACE(limit);
        EXPECT_NE(std::memchr(buffer, '\0', limit), nullptr);
        for (std::size_t i = limit; i < sizeof buffer; ++i) {
            ASSERT_EQ(buffer[i], 0x5A) << "written past the limit at " << i;
        }
        // Either the whole name, or nothing: never a truncated name taken for a real one.
        if (rc == 0) {
            EXPECT_STREQ(buffer, full);
        } else {
            EXPECT_EQ(buffer[0], '\0');
        }
    }
    EXPECT_EQ(platform::GetLocalHostName(full, 0), -1);
}

TEST(Win32Platform, RandomBytesDifferAndLockExcludes) {
    unsigned char a[32] = {}, b[32] = {};
    ASSERT_EQ(platform::RandomBytes(a, sizeof a), 0);
    ASSERT_EQ(platform::RandomBytes(b, sizeof b), 0);
    EXPECT_NE(std::memcmp(a, b, sizeof a), 0);
    EXPECT_EQ(platform::RandomBytes(a, 0), 0);

    platform::LockStorage lock;
    ASSERT_EQ(platform::LockInit(&lock), 0);
    long counter = 0;  // deliberately not atomic: only the lock keeps the sum right
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            ASSERT_EQ(platform::LockAcquire(&lock), 0);
            counter = counter + 1;
            platform::LockRelease(&lock);
        }
    };
    std::thread first(work), second(work);
    first.join();
    second.join();
    platform::LockDestroy(&lock);
    EXPECT_EQ(counter, 40000);
}

}  // namespace

// Where the compiler may use the xmm registers it must know which ones the test overwrites (xmm6
// and xmm7 are the caller's on Win64); a build without SSE may not even name them.
#if defined(__SSE__)
#define XMM_CLOBBERS , "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7"
#else
#define XMM_CLOBBERS
#endif

// The Win32 DLL is built for CPUs without SSE2, but the C runtime it calls uses the xmm registers
// where the CPU has them: the wipe at the end of a call must still zero them, on both builds.
TEST(Win32Platform, VectorRegistersAreZeroedWhereTheCpuHasThem) {
#if defined(__i386__)
    if (!platform::CpuHasSse2()) GTEST_SKIP() << "this CPU has no SSE2";
#endif
    alignas(16) unsigned char pattern[8][16];
    alignas(16) unsigned char after[8][16];
    std::memset(pattern, 0xA5, sizeof pattern);
    std::memset(after, 0x5A, sizeof after);
    __asm__ __volatile__(
        "movdqu 0(%0), %%xmm0\n\tmovdqu 16(%0), %%xmm1\n\tmovdqu 32(%0), %%xmm2\n\t"
        "movdqu 48(%0), %%xmm3\n\tmovdqu 64(%0), %%xmm4\n\tmovdqu 80(%0), %%xmm5\n\t"
        "movdqu 96(%0), %%xmm6\n\tmovdqu 112(%0), %%xmm7" ::"r"(&pattern[0][0])
        : "memory" XMM_CLOBBERS);
    platform::ClearVectorRegisters();
    __asm__ __volatile__(
        "movdqu %%xmm0, 0(%0)\n\tmovdqu %%xmm1, 16(%0)\n\tmovdqu %%xmm2, 32(%0)\n\t"
        "movdqu %%xmm3, 48(%0)\n\tmovdqu %%xmm4, 64(%0)\n\tmovdqu %%xmm5, 80(%0)\n\t"
        "movdqu %%xmm6, 96(%0)\n\tmovdqu %%xmm7, 112(%0)" ::"r"(&after[0][0])
        : "memory");
    for (int r = 0; r < 8; ++r) {
        for (int i = 0; i < 16; ++i) EXPECT_EQ(after[r][i], 0) << "xmm" << r << " byte " << i;
    }
}
