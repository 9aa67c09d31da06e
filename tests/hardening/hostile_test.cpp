// Hostile servers and hosts: a flood of 1,000 invalid datagrams at the client's port during one
// call, with and without the valid reply behind it, an Accept recorded for one request replayed
// as the answer to the next, and a host whose signals keep interrupting the wait.
#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/auth_helpers.h"
#include "support/responder.h"

namespace {

const char kSecret[] = "hardening-hostile";
const char kNetworkFail[] = "6040#0#ERR_NETWORK_FAIL";

void SetLength(Bytes& packet, std::size_t length) {
    packet[2] = static_cast<std::uint8_t>(length >> 8);
    packet[3] = static_cast<std::uint8_t>(length & 0xFF);
}

// 1,000 datagrams that must all be dropped, nine kinds in turn, paced a little so that the
// socket's receive buffer (not the client) decides nothing.
std::vector<Datagram> Flood(const Bytes& request, const Bytes& key) {
    const Bytes good =
        SignedReply(request, key, 2, EncodeAttributes({{18, ToBytes("flood survivor")}}));
    std::vector<Datagram> out;
    for (int i = 0; i < 1000; ++i) {
        // Each kind starts from a copy made by construction: GCC 12 at -O3 takes a copy
        // assigned into an empty vector for a memmove to a null pointer (-Wnonnull).
        Bytes d = good;
        switch (i % 9) {
            case 0:  // wrong Response Authenticator
                d[4 + i % 16] ^= 0x80;
                break;
            case 1:  // wrong Identifier, correctly signed
                d[1] = static_cast<std::uint8_t>(d[1] ^ (1 + i % 255));
                Resign(d, request, key);
                break;
            case 2:  // larger than any RADIUS packet
                d.resize(4097 + i % 200, 0x12);
                SetLength(d, 4096);
                break;
            case 3:  // Length past the bytes received
                SetLength(d, good.size() + 1 + i % 50);
                Resign(d, request, key);
                break;
            case 4:  // Length below the header's 20 (signed as it was: no signature can cover it)
                SetLength(d, static_cast<std::size_t>(i % 20));
                break;
            case 5:  // empty
                d.clear();
                break;
            case 6:  // a Proxy-State this client never sent (CVE-2024-3596)
                d = SignedReply(request, key, 2,
                                EncodeAttributes({{33, ToBytes("st")}, {18, ToBytes("forged")}}));
                break;
            case 7:  // a Message-Authenticator that does not verify
                d = SignedReplyWithMessageAuthenticator(
                    request, key, 2, EncodeAttributes({{18, ToBytes("forged")}}));
                d[22 + i % 16] ^= 0x01;
                Resign(d, request, key);
                break;
            default:  // Length above 4096 in a datagram of exactly 4096 bytes
                d.resize(4096, 0);
                SetLength(d, 4097 + i % 100);
                Resign(d, request, key);
        }
        out.push_back({d, i % 50 == 49 ? 1 : 0});
    }
    return out;
}

TEST(HardeningHostile, FloodThenTheValidReply) {
    const Bytes key = ToBytes(kSecret);
    LoopbackResponder r([key](const Bytes& request) -> std::vector<Datagram> {
        std::vector<Datagram> all = Flood(request, key);
        all.push_back(
            {SignedReply(request, key, 2, EncodeAttributes({{18, ToBytes("flood survivor")}})),
             50});
        return all;
    });
    const TimedResult t = TimedAuth(r.PortText(), kSecret, "alice", "password", "3");
    EXPECT_EQ(t.text, "flood survivor");
    EXPECT_LT(t.seconds, 3.0);
    EXPECT_EQ(r.ReceivedCount(), 1u);
    std::printf("flood of 1,000 then the valid reply: answered in %.3f s\n", t.seconds);
}

TEST(HardeningHostile, FloodAloneEndsAtTheDeadline) {
    const Bytes key = ToBytes(kSecret);
    LoopbackResponder r([key](const Bytes& request) -> std::vector<Datagram> {
        std::vector<Datagram> all = Flood(request, key);
        // Spread over most of the second: datagrams keep arriving while the deadline nears.
        for (std::size_t i = 0; i < all.size(); ++i) all[i].delayMillis = i % 2 == 0 ? 1 : 0;
        return all;
    });
    const TimedResult t = TimedAuth(r.PortText(), kSecret, "alice", "password", "1");
    EXPECT_EQ(t.text, kNetworkFail);
    EXPECT_GE(t.seconds, 0.95);
    EXPECT_LE(t.seconds, 1.3);  // timeout + 0.3 s
    std::printf("flood of 1,000 without a valid reply: %s after %.3f s\n", t.text.c_str(),
                t.seconds);
}

TEST(HardeningHostile, RecordedReplyReplayedToTheNextRequest) {
    // A fresh client's first Identifier is 0 on every call, so the recorded reply matches the
    // next request's Identifier, address and port; only the Request Authenticator differs.
    struct Case {
        const char* name;
        std::uint8_t code;
        bool messageAuthenticator;
    };
    const Case cases[] = {
        {"accept", 2, false}, {"accept_with_message_authenticator", 2, true}, {"reject", 3, false}};
    const Bytes key = ToBytes(kSecret);
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        auto recorded = std::make_shared<Bytes>();
        auto mutex = std::make_shared<std::mutex>();
        LoopbackResponder r([=](const Bytes& request) -> std::vector<Datagram> {
            std::lock_guard<std::mutex> guard(*mutex);
            if (recorded->empty()) {
                const Bytes attributes = EncodeAttributes({{18, ToBytes("recorded")}});
                *recorded = k.messageAuthenticator ? SignedReplyWithMessageAuthenticator(
                                                         request, key, k.code, attributes)
                                                   : SignedReply(request, key, k.code, attributes);
            }
            return {{*recorded, 0}, {*recorded, 100}};
        });
        EXPECT_EQ(CallAuth("127.0.0.1", r.PortText().c_str(), kSecret, "alice", "pw", "1"),
                  "recorded");
        const TimedResult t = TimedAuth(r.PortText(), kSecret, "alice", "pw", "1");
        EXPECT_EQ(t.text, kNetworkFail);
        const std::vector<Bytes> sent = r.Received();
        ASSERT_EQ(sent.size(), 2u);
        EXPECT_EQ(sent[0][1], sent[1][1]);  // same Identifier
        EXPECT_EQ((*recorded)[1], sent[1][1]);
        EXPECT_NE(Hex(RequestAuthenticatorOf(sent[0])), Hex(RequestAuthenticatorOf(sent[1])));
    }
}

volatile sig_atomic_t g_signalsSeen = 0;
void CountSignal(int) {
    g_signalsSeen = g_signalsSeen + 1;
}

// Sends SIGUSR2 to one thread every 50 ms until stopped (at most 200 times, 10 s).
class SignalStorm {
  public:
    explicit SignalStorm(pthread_t target)
        : thread_([this, target] {
              for (int i = 0; i < 200 && !stop_; ++i) {
                  std::this_thread::sleep_for(std::chrono::milliseconds(50));
                  if (!stop_) pthread_kill(target, SIGUSR2);
              }
          }) {}
    ~SignalStorm() {
        stop_ = true;
        thread_.join();
    }

  private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A host that handles signals on the calling thread: poll is interrupted (EINTR) with or without
// SA_RESTART, and neither may end the wait before the reply or the deadline.
TEST(HardeningHostile, SignalsNeverCutTheWaitShort) {
    const Bytes key = ToBytes(kSecret);
    for (const int flags : {0, SA_RESTART}) {
        SCOPED_TRACE(flags == 0 ? "handler without SA_RESTART" : "handler with SA_RESTART");
        struct sigaction action = {}, previous = {};
        action.sa_handler = CountSignal;
        action.sa_flags = flags;
        sigemptyset(&action.sa_mask);
        ASSERT_EQ(sigaction(SIGUSR2, &action, &previous), 0);
        g_signalsSeen = 0;
        {
            LoopbackResponder late([key](const Bytes& request) -> std::vector<Datagram> {
                return {
                    {SignedReply(request, key, 2, EncodeAttributes({{18, ToBytes("late")}})), 500}};
            });
            SignalStorm storm(pthread_self());
            const TimedResult t = TimedAuth(late.PortText(), kSecret, "alice", "pw", "3");
            EXPECT_EQ(t.text, "late");
            EXPECT_LT(t.seconds, 1.0);
        }
        EXPECT_GE(g_signalsSeen, 5);  // the wait really was interrupted, again and again
        {
            LoopbackResponder silent(Silent());
            SignalStorm storm(pthread_self());
            const TimedResult t = TimedAuth(silent.PortText(), kSecret, "alice", "pw", "1");
            EXPECT_EQ(t.text, kNetworkFail);
            EXPECT_GE(t.seconds, 0.99);  // the deadline is kept to the millisecond
            EXPECT_LE(t.seconds, 1.3);   // timeout + 0.3 s: a signal never extends the deadline
        }
        sigaction(SIGUSR2, &previous, nullptr);
    }
}

}  // namespace
