// Threads: 16 threads each make 300 calls of auth against one loopback responder while two
// more call info() throughout; and concurrent calls learning which servers sign their replies. Run
// in every build and, under ThreadSanitizer, on its own by scripts/stages/40-sanitizers.sh (label
// "threads").
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
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "api/module.h"
#include "qvRadClient.h"
#include "radius/reply_signing.h"
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

// Concurrent learning, last in this file: the process's table keeps what it learns, so no later
// test of this process may meet these ports again. 8 threads call 4 signing servers (two threads
// learn each at once), then one server stops signing: every thread's next call waits out its
// deadline. Beside it, 8 threads race to learn 100 servers into a table of 64.
TEST(HardeningThreads, ConcurrentCallsLearnTheSameAndDifferentServers) {
    if (ProcessReplySigning() != ReplySigning::kLearn) GTEST_SKIP() << "setting is not auto";
    const Bytes key = ToBytes(kSecret);
    auto stripped = std::make_shared<std::atomic<bool>>(false);
    std::vector<std::unique_ptr<LoopbackResponder>> servers;
    for (int i = 0; i < 4; ++i) {
        servers.emplace_back(new LoopbackResponder(
            [key, stripped, i](const Bytes& request) -> std::vector<Datagram> {
                const Bytes text = EncodeAttributes({{18, ToBytes("signed")}});
                if (i == 0 && stripped->load()) return {{SignedReply(request, key, 2, text), 0}};
                return {{SignedReplyWithMessageAuthenticator(request, key, 2, text), 0}};
            }));
    }
    std::atomic<int> signedOk{0}, refused{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 8; ++t) {
        callers.emplace_back([&, t] {
            const std::string port = servers[t % 4]->PortText();
            for (int i = 0; i < 20; ++i) {
                char text[128];
                CopyResult(auth("127.0.0.1", port.c_str(), kSecret, "u", "p", "5"), text,
                           sizeof text);
                if (std::strcmp(text, "signed") == 0) ++signedOk;
            }
        });
    }
    SignedServerTable race{};
    std::atomic<int> learned{0};
    std::vector<std::thread> learners;
    for (int t = 0; t < 8; ++t) {
        learners.emplace_back([&, t] {
            // Thread t learns servers 10*t .. 10*t+29: most are learned by three threads at once.
            for (int n = 10 * t; n < 10 * t + 30 && n < 100; ++n)
                if (race.Learn(LoopbackAddress(), static_cast<std::uint16_t>(40000 + n))) ++learned;
        });
    }
    for (std::thread& t : callers) t.join();
    for (std::thread& t : learners) t.join();
    EXPECT_EQ(signedOk.load(), 8 * 20);
    for (const auto& server : servers)
        EXPECT_TRUE(g_signedServers.Knows(LoopbackAddress(), server->Port()));

    // 64 distinct servers held, each once; every Learn that said true is among them.
    std::set<std::uint64_t> held;
    for (const auto& slot : race.slots) held.insert(slot.load());
    EXPECT_EQ(held.size(), static_cast<std::size_t>(SignedServerTable::kCapacity));
    EXPECT_EQ(held.count(0), 0u);
    int known = 0;
    for (int n = 0; n < 100; ++n)
        known += race.Knows(LoopbackAddress(), static_cast<std::uint16_t>(40000 + n)) ? 1 : 0;
    EXPECT_EQ(known, SignedServerTable::kCapacity);
    EXPECT_GE(learned.load(), SignedServerTable::kCapacity);

    *stripped = true;
    std::vector<std::thread> late;
    for (int t = 0; t < 4; ++t) {
        late.emplace_back([&] {
            char text[128];
            const std::string port = servers[0]->PortText();
            CopyResult(auth("127.0.0.1", port.c_str(), kSecret, "u", "p", "1"), text, sizeof text);
            if (std::strcmp(text, "6040#0#ERR_NETWORK_FAIL") == 0) ++refused;
        });
    }
    for (std::thread& t : late) t.join();
    EXPECT_EQ(refused.load(), 4);
}

}  // namespace
