// Replies that must carry a Message-Authenticator, against real servers: FreeRADIUS 3.2.7 (signs
// every reply), the system's 3.2.1 (signs none) and a 3.2.1 proxy in front of both.
// Run once per QVRAD_REQUIRE_MESSAGE_AUTHENTICATOR setting (unset, yes, no): it is read at load.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "fr_server.h"
#include "qvRadClient.h"
#include "radius/reply_signing.h"
#include "support/responder.h"

namespace {

const char kNetworkFail[] = "6040#0#ERR_NETWORK_FAIL";

struct Outcome {
    std::string text;
    double seconds;
};

Outcome Login(const std::string& port, const std::string& secret, const std::string& user,
              const std::string& password, const char* timeout) {
    const auto start = std::chrono::steady_clock::now();
    const char* text =
        auth("127.0.0.1", port.c_str(), secret.c_str(), user.c_str(), password.c_str(), timeout);
    Outcome got{text == nullptr ? "<null>" : text, 0.0};
    got.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return got;
}

// What CTest set for this run, as the library must have read it at load.
ReplySigning ExpectedSetting() {
    const char* value = std::getenv("QVRAD_REQUIRE_MESSAGE_AUTHENTICATOR");
    if (value == nullptr || std::strcmp(value, "auto") == 0) return ReplySigning::kLearn;
    if (std::strcmp(value, "no") == 0) return ReplySigning::kNever;
    return ReplySigning::kRequire;  // the runs set "yes" or a value nobody knows
}

// Answered exchanges take milliseconds; refused ones wait out their 1-second deadline.
void ExpectAnswer(const Outcome& got, const std::string& text) {
    EXPECT_EQ(got.text, text);
    EXPECT_LT(got.seconds, 3.0);
}
void ExpectRefused(const Outcome& got) {
    EXPECT_EQ(got.text, kNetworkFail);
    EXPECT_GE(got.seconds, 0.9);
    EXPECT_LT(got.seconds, 3.0);
}

// Refused (6040 at the deadline) where the setting says so, else answered with text.
void ExpectRefusedOrAnswer(bool refused, const Outcome& got, const std::string& text) {
    if (refused)
        ExpectRefused(got);
    else
        ExpectAnswer(got, text);
}

// How the relay changes 3.2.7's reply before it goes on to the client.
enum Relay { kPass, kStrip, kCorrupt };

// The replies as 3.2.7 sent them, recorded by the relay's thread.
struct Seen {
    std::mutex mutex;
    std::vector<Bytes> replies;

    void Add(const Bytes& reply) {
        std::lock_guard<std::mutex> guard(mutex);
        replies.push_back(reply);
    }
    std::vector<Bytes> All() {
        std::lock_guard<std::mutex> guard(mutex);
        return replies;
    }
};

// Forwards each request to the server's port from a socket of its own and returns the reply:
// as it came, without its Message-Authenticator (the Length and the Response Authenticator
// recomputed with the secret, so everything else verifies), or with one bit of it changed.
LoopbackResponder::Script RelayTo(std::uint16_t port, const std::string& secret,
                                  std::shared_ptr<std::atomic<int>> mode,
                                  std::shared_ptr<Seen> seen) {
    const Bytes key = ToBytes(secret);
    return [port, key, mode, seen](const Bytes& request) -> std::vector<Datagram> {
        const platform::SocketHandle s = platform::UdpSocketOpen();
        if (s == platform::kInvalidSocket) return {};
        std::vector<std::uint8_t> buffer(4096);
        int n = -1;
        bool oversized = false;
        if (platform::SocketBindIPv4(s, LoopbackAddress(), 0) == 0 &&
            platform::SocketSendTo(s, request.data(), request.size(), LoopbackAddress(), port) >
                0 &&
            platform::SocketWaitReadable(s, 3000) > 0)
            n = platform::SocketReceive(s, buffer.data(), buffer.size(), &oversized);
        platform::SocketClose(s);
        if (n < 20 || oversized) return {};
        Bytes reply(buffer.begin(), buffer.begin() + n);
        seen->Add(reply);
        if (mode->load() == kPass) return {{reply, 0}};
        std::vector<Attribute> attributes;
        for (Attribute a : ParseAttributes(reply)) {
            if (a.first == 80 && mode->load() == kStrip) continue;
            if (a.first == 80 && !a.second.empty()) a.second[0] ^= 0x01;
            attributes.push_back(a);
        }
        Bytes changed = reply;
        changed.resize(20);
        for (std::uint8_t b : EncodeAttributes(attributes)) changed.push_back(b);
        changed[2] = static_cast<std::uint8_t>(changed.size() >> 8);
        changed[3] = static_cast<std::uint8_t>(changed.size() & 0xFF);
        Resign(changed, request, key);
        return {{changed, 0}};
    };
}

class Signing : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(ProcessReplySigning(), ExpectedSetting());
        std::string error;
        ASSERT_TRUE(LoadServerFrom(QVRAD_FR_ENV_FILE, &system, &error)) << error;
        const bool backportsUp = LoadServerFrom(QVRAD_FR327_ENV_FILE, &backports, &error);
        if (!backports.Get("QVRAD_FR_UNAVAILABLE").empty()) GTEST_SKIP() << error;
        ASSERT_TRUE(backportsUp) << error;
        ASSERT_TRUE(LoadServerFrom(QVRAD_FR_PROXY_ENV_FILE, &proxy, &error)) << error;
        ASSERT_EQ(system.Get("QVRAD_FR_VERSION"), "3.2.1");
        ASSERT_EQ(backports.Get("QVRAD_FR_VERSION"), "3.2.7");
    }

    FrServer system, backports, proxy;
};

// 3.2.7 signs its Accept and its Reject with a Message-Authenticator first, which auth checks:
// the same reply with one bit of it changed (and re-signed otherwise) is refused.
TEST_F(Signing, BackportsRepliesCarryAMessageAuthenticatorThatIsVerified) {
    auto mode = std::make_shared<std::atomic<int>>(kPass);
    auto seen = std::make_shared<Seen>();
    LoopbackResponder relay(RelayTo(static_cast<std::uint16_t>(std::stoi(backports.Port("MAIN"))),
                                    backports.Secret("MAIN"), mode, seen));
    const std::string secret = backports.Secret("MAIN");
    ExpectAnswer(Login(relay.PortText(), secret, "alice", "alice-pass", "5"), "Welcome, alice");
    ExpectAnswer(Login(relay.PortText(), secret, "alice", "wrong-pass", "5"), "Access denied");
    const std::vector<Bytes> replies = seen->All();
    ASSERT_EQ(replies.size(), 2u);
    for (const Bytes& reply : replies) {
        const std::vector<Attribute> attributes = ParseAttributes(reply);
        ASSERT_FALSE(attributes.empty());
        EXPECT_EQ(attributes[0].first, 80);
        EXPECT_EQ(attributes[0].second.size(), 16u);
    }
    *mode = kCorrupt;
    ExpectRefused(Login(relay.PortText(), secret, "alice", "alice-pass", "1"));
    // Straight to the server, under every setting.
    ExpectAnswer(Login(backports.Port("MAIN"), secret, "alice", "alice-pass", "5"),
                 "Welcome, alice");
    ExpectAnswer(Login(backports.Port("MAIN"), secret, "bob", "wrong", "5"), "Access denied");
}

// After one signed exchange, the same server's replies with the attribute stripped are
// refused under auto (and under yes from the first), accepted under no.
TEST_F(Signing, StrippedReplyAfterASignedOne) {
    auto mode = std::make_shared<std::atomic<int>>(kStrip);
    auto seen = std::make_shared<Seen>();
    LoopbackResponder relay(RelayTo(static_cast<std::uint16_t>(std::stoi(backports.Port("MAIN"))),
                                    backports.Secret("MAIN"), mode, seen));
    const std::string port = relay.PortText();
    const std::string secret = backports.Secret("MAIN");
    const ReplySigning setting = ProcessReplySigning();
    // First contact, unsigned: only yes refuses it.
    const Outcome first = Login(port, secret, "alice", "alice-pass", "1");
    ExpectRefusedOrAnswer(setting == ReplySigning::kRequire, first, "Welcome, alice");
    *mode = kPass;
    ExpectAnswer(Login(port, secret, "alice", "alice-pass", "5"), "Welcome, alice");
    *mode = kStrip;
    const Outcome accept = Login(port, secret, "alice", "alice-pass", "1");
    const Outcome reject = Login(port, secret, "alice", "wrong-pass", "1");
    ExpectRefusedOrAnswer(setting != ReplySigning::kNever, accept, "Welcome, alice");
    ExpectRefusedOrAnswer(setting != ReplySigning::kNever, reject, "Access denied");
    EXPECT_EQ(seen->All().size(), 4u);  // each was answered; the client refused the reply
}

// The system's 3.2.1 signs nothing: refused under yes only; 3.2.7 works under every setting.
TEST_F(Signing, SystemServerUnderEachSetting) {
    const Outcome got =
        Login(system.Port("MAIN"), system.Secret("MAIN"), "alice", "alice-pass", "1");
    ExpectRefusedOrAnswer(ProcessReplySigning() == ReplySigning::kRequire, got, "Welcome, alice");
    ExpectAnswer(
        Login(backports.Port("MAIN"), backports.Secret("MAIN"), "alice", "alice-pass", "5"),
        "Welcome, alice");
}

// The caveat: a 3.2.1 proxy passes on its home server's Message-Authenticator and adds none, so
// one proxy address signs some replies and not others. Under auto, once a 3.2.7 realm's reply
// came signed, the 3.2.1 realm's unsigned one is refused; no accepts both.
TEST_F(Signing, ProxyInFrontOfMixedHomes) {
    const std::string port = proxy.Port("MAIN");
    const std::string secret = proxy.Secret("MAIN");
    const ReplySigning setting = ProcessReplySigning();
    const Outcome before = Login(port, secret, "alice@r321", "alice-pass", "1");
    ExpectRefusedOrAnswer(setting == ReplySigning::kRequire, before, "Welcome, alice");
    ExpectAnswer(Login(port, secret, "alice@r327", "alice-pass", "5"), "Welcome, alice");
    const Outcome after = Login(port, secret, "alice@r321", "alice-pass", "1");
    ExpectRefusedOrAnswer(setting != ReplySigning::kNever, after, "Welcome, alice");
}

}  // namespace
