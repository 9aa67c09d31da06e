// The module's load-time rules (the socket start must grant exactly 1.1), the banner, the lock
// classes and the CPU's vector state that the end-of-call wipe clears. (A thread's result buffer
// before its first call: AuthApi in auth_test.cpp.)
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <thread>

#if !defined(_WIN32)
#include <unistd.h>
#endif

#include "api/module.h"
#include "platform/platform.h"
#include "qvRadClient.h"
#include "support/auth_helpers.h"

namespace {

int g_ends = 0;
std::uint16_t g_grant = 0;
int g_startResult = 0;
int FakeStart(std::uint16_t requested, std::uint16_t* granted) {
    EXPECT_EQ(requested, 0x0101);  // MAKEWORD(1, 1)
    *granted = g_grant;
    return g_startResult;
}
void FakeEnd() {
    ++g_ends;
}

TEST(ModuleLoad, SocketStartMustGrantExactlyOneOne) {
    const struct {
        const char* name;
        int startResult;
        std::uint16_t grant;
        bool loads;
        int ends;
        bool versionError;
    } cases[] = {{"granted_1_1", 0, 0x0101, true, 0, false},
                 {"granted_2_2", 0, 0x0202, false, 1, true},
                 {"granted_1_0", 0, 0x0001, false, 1, true},
                 {"start_failed", 10091, 0, false, 0, false}};
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        g_ends = 0;
        g_grant = k.grant;
        g_startResult = k.startResult;
        platform::SetSocketError(0);
        EXPECT_EQ(StartSocketsAtLoad({FakeStart, FakeEnd}), k.loads);
        EXPECT_EQ(g_ends, k.ends);
        if (k.versionError) {
            EXPECT_EQ(platform::GetSocketError(), 10092);
        }
    }
}

TEST(ModuleLoad, BannerConstantAndAttachOnce) {
    const char* banner = info();
    EXPECT_STREQ(banner, "Quorvel SDK for Win32 ver 1.1.0.2");
    EXPECT_EQ(info(), banner);
    EXPECT_EQ(AfxGetApp(), &theApp);
    EXPECT_EQ(ModuleProcessAttach(), 0);  // already attached: nothing happens twice
}

TEST(Locks, SingleLockSemantics) {
    CCriticalSection section;
    ASSERT_TRUE(section.IsValid());
    {
        CSingleLock lock(&section);
        EXPECT_FALSE(lock.IsLocked());
        EXPECT_TRUE(lock.Unlock());  // unlocking what is not held does nothing
        EXPECT_TRUE(lock.Lock(CSingleLock::kInfinite));
        EXPECT_TRUE(lock.IsLocked());
    }  // released by the scope
    CSingleLock again(&section, true);
    EXPECT_TRUE(again.IsLocked());
    CSingleLock none(nullptr);
    EXPECT_FALSE(none.Lock());
}

TEST(Locks, HeldSingleLockTakenAgainReturnsAtOnce) {
    // Entering the section twice would never return from a plain mutex: run it on a thread of
    // its own and wait a bounded time, so that such a fault fails the test instead of hanging
    // it. The section is static: a stuck thread must not outlive what it waits on.
    static CCriticalSection section;
    std::promise<bool> twice;
    std::future<bool> done = twice.get_future();
    std::thread([&twice] {
        CSingleLock lock(&section);
        const bool first = lock.Lock();
        const bool second = lock.Lock();
        lock.Unlock();
        twice.set_value(first && second && !lock.IsLocked());
    }).detach();
    ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(done.get());
    CSingleLock after(&section);
    EXPECT_TRUE(after.Lock());  // one Unlock left the section free
}

// The vector state decided from CPUID and XCR0 is the one the kernel reports, which lists avx and
// avx512f only where it has enabled their state: no register file goes unwiped.
TEST(Platform, VectorStateMatchesTheKernelsCpuFlags) {
#if defined(__linux__) && defined(__x86_64__)
    if (!CpuHasFlag("sse2")) GTEST_SKIP() << "no CPU flags in /proc/cpuinfo";
    const platform::VectorState expected = CpuHasFlag("avx512f") ? platform::VectorState::kAvx512
                                           : CpuHasFlag("avx")   ? platform::VectorState::kAvx
                                                                 : platform::VectorState::kSse;
    EXPECT_EQ(platform::DetectVectorState(), expected);
    EXPECT_EQ(platform::CpuVectorState(), expected);
#else
    GTEST_SKIP() << "the kernel's CPU flags are read on x86-64 Linux only";
#endif
}

// The fork generation is one more in a child than in its parent, and one more again in the
// child's child; the parent's does not move. Without it a child would continue the parent's
// random stream and reuse its kept state.
TEST(Platform, ForkGenerationIsOneMoreInEachChild) {
#if defined(_WIN32)
    EXPECT_EQ(platform::ForkGeneration(), 0u);
    EXPECT_TRUE(platform::ForkGenerationTracked());
#else
    ASSERT_TRUE(platform::ForkGenerationTracked());
    const std::uint32_t before = platform::ForkGeneration();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int failures = platform::ForkGeneration() == before + 1 ? 0 : 1;
        const pid_t grandchild = fork();
        if (grandchild == 0) _exit(platform::ForkGeneration() == before + 2 ? 0 : 1);
        if (grandchild < 0 || ChildExitStatus(grandchild) != 0) failures |= 2;
        _exit(platform::ForkGeneration() == before + 1 ? failures : failures | 4);
    }
    EXPECT_EQ(ChildExitStatus(child), 0);  // 1: the child's count, 2: the grandchild's, 4: changed
    EXPECT_EQ(platform::ForkGeneration(), before);
#endif
}

}  // namespace
