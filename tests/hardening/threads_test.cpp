// Threads: 16 threads each make 300 calls of auth against one loopback responder while two
// more call info() throughout. Run in every build and, under ThreadSanitizer, on its own by
// scripts/stages/40-sanitizers.sh (label "threads").
//
// The returned buffer is shared by design: auth writes it under the result lock and a host must
// copy it before another call replaces it. These threads copy it under that same lock (the test
// links the library's internals), so the copy itself does not race; the text copied may be
// another thread's, which the checks allow.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "api/module.h"
#include "qvRadClient.h"
#include "support/responder.h"

namespace {

const char kSecret[] = "hardening-threads";
constexpr int kThreads = 16;
constexpr int kCallsPerThread = 300;

// Copies the shared result under the lock that auth writes it under.
void CopyResult(const char* text, char* out, std::size_t size) {
    CSingleLock lock(&g_authLock);
    if (!lock.Lock()) {
        std::snprintf(out, size, "<lock failed>");
        return;
    }
    std::snprintf(out, size, "%s", text != nullptr ? text : "<null>");
    lock.Unlock();
}

// "ok:thread-NN" for NN below kThreads; -1 for anything else.
int ThreadOfText(const char* text) {
    int n = -1;
    char tail = 0;
    if (std::sscanf(text, "ok:thread-%2d%c", &n, &tail) != 1) return -1;
    return n >= 0 && n < kThreads ? n : -1;
}

TEST(HardeningThreads, SixteenThreadsOfThreeHundredCallsWithInfoThroughout) {
    const Bytes key = ToBytes(kSecret);
    // The reply carries the User-Name of the request it answers.
    LoopbackResponder r([key](const Bytes& request) -> std::vector<Datagram> {
        const std::vector<Attribute> attributes = ParseAttributes(request);
        const Bytes* user = FindFirst(attributes, 1);
        if (user == nullptr) return {};
        Bytes text = ToBytes("ok:");
        text.insert(text.end(), user->begin(), user->end());
        return {{SignedReply(request, key, 2, EncodeAttributes({{18, text}})), 0}};
    });
    const std::string port = r.PortText();

    std::atomic<bool> done{false};
    std::atomic<long> infoCalls{0}, infoBad{0};
    const char* const banner = info();
    std::vector<std::thread> readers;
    for (int i = 0; i < 2; ++i) {
        readers.emplace_back([&] {
            // Bounded in count as well as by the callers' end.
            for (long n = 0; n < 2000000 && !done; ++n) {
                const char* text = info();
                if (text != banner || std::strcmp(text, "Quorvel SDK for Win32 ver 1.1.0.2") != 0)
                    ++infoBad;
                ++infoCalls;
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
    }

    std::atomic<int> good{0}, own{0}, bad{0};
    std::vector<std::thread> callers;
    const auto start = std::chrono::steady_clock::now();
    for (int t = 0; t < kThreads; ++t) {
        callers.emplace_back([&, t] {
            char user[32];
            std::snprintf(user, sizeof user, "thread-%02d", t);
            for (int i = 0; i < kCallsPerThread; ++i) {
                char text[128];
                CopyResult(auth("127.0.0.1", port.c_str(), kSecret, user, "password", "5"), text,
                           sizeof text);
                const int from = ThreadOfText(text);
                if (from < 0) {
                    ++bad;
                    continue;
                }
                ++good;
                if (from == t) ++own;
            }
        });
    }
    for (std::thread& t : callers) t.join();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    done = true;
    for (std::thread& t : readers) t.join();

    EXPECT_EQ(good.load(), kThreads * kCallsPerThread);
    EXPECT_EQ(bad.load(), 0);
    EXPECT_GT(infoCalls.load(), 0);
    EXPECT_EQ(infoBad.load(), 0);
    // Each thread's requests reached the server, each exactly 300 times.
    std::map<std::string, int> perUser;
    for (const Bytes& request : r.Received()) {
        const std::vector<Attribute> attributes = ParseAttributes(request);
        const Bytes* user = FindFirst(attributes, 1);
        ++perUser[user == nullptr ? std::string("?") : std::string(user->begin(), user->end())];
    }
    EXPECT_EQ(perUser.size(), static_cast<std::size_t>(kThreads));
    for (const auto& entry : perUser) EXPECT_EQ(entry.second, kCallsPerThread) << entry.first;
    std::printf("%d calls on %d threads in %.2f s (%d read back their own text); %ld info calls\n",
                kThreads * kCallsPerThread, kThreads, took.count(), own.load(), infoCalls.load());
}

}  // namespace
