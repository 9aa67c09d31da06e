// The client stack: entry limits, rotation over servers, attempts, resolution and where
// replies may come from; plus the one allocation of a call failing.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#endif

#include "radius/client.h"
#include "support/auth_helpers.h"
#include "support/responder.h"

// The one heap allocation of a call is the server entry, made with nothrow new; a test arms
// this flag to make exactly that allocation fail.
static thread_local bool g_failNothrowNew = false;

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (g_failNothrowNew) {
        g_failNothrowNew = false;
        return nullptr;
    }
    // The same allocator as plain new: the entry is released with plain delete.
    try {
        return ::operator new(size);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    ::operator delete(p);
}

namespace {

const char kSecret[] = "testing123";

CRadSecret Secret(const char* text) {
    CRadSecret s;
    s.Assign(text, std::strlen(text));
    return s;
}

// A finished request as auth builds it.
struct Request {
    CRadPacket packet{1};
    Request() {
        packet.MakeRequestAuthenticator();
        CRadAttrCursor c;
        packet.BeginAttribute(80, c);
        c.AppendMessageAuthenticator();
        packet.BeginAttribute(1, c);
        c.AppendText("alice");
        packet.BeginAttribute(2, c);
        c.AppendPassword("password");
    }
};

TEST(Client, FreshClientAndIdentifiers) {
    CRadClient client;
    EXPECT_TRUE(client.ready);
    // Non-blocking, or a datagram that poll announced and the stack then dropped would hold the
    // receive past the deadline.
#ifdef _WIN32
    // Windows cannot be asked for the mode; with nothing queued a non-blocking receive fails at
    // once with WSAEWOULDBLOCK, where a blocking one would wait here until CTest's timeout.
    std::uint8_t buffer[8];
    bool oversized = false;
    EXPECT_EQ(platform::SocketReceive(client.udpSocket, buffer, sizeof buffer, &oversized), -1);
    EXPECT_EQ(platform::GetSocketError(), 10035);
#else
    const int flags = fcntl(static_cast<int>(client.udpSocket), F_GETFL);
    ASSERT_NE(flags, -1);
    EXPECT_NE(flags & O_NONBLOCK, 0);
#endif
    EXPECT_EQ(client.serverCount, 0);
    EXPECT_EQ(client.currentServer, 0);
    EXPECT_EQ(client.NextIdentifier(), 0);
    EXPECT_EQ(client.NextIdentifier(), 1);
    EXPECT_EQ(client.NextIdentifier(), 2);
    client.identifierCounter = 255;
    EXPECT_EQ(client.NextIdentifier(), 255);
    EXPECT_EQ(client.NextIdentifier(), 0);  // low 8 bits
    Request r;
    EXPECT_EQ(client.SendRequest(r.packet), nullptr);
}

TEST(Client, ConcurrentClientsNeverShareAPort) {
    // Each call's socket must be its own: a shared port lets one call swallow another's reply.
    std::vector<std::unique_ptr<CRadClient>> clients;
    std::set<std::uint16_t> ports;
    for (int i = 0; i < 3000; ++i) {
        clients.push_back(std::make_unique<CRadClient>());
        if (!clients.back()->ready) break;
        std::uint16_t port = 0;
        ASSERT_EQ(platform::SocketLocalPort(clients.back()->udpSocket, &port), 0);
        ASSERT_TRUE(ports.insert(port).second) << "port " << port << " handed out twice";
    }
    EXPECT_GE(ports.size(), 500u);
}

TEST(Client, TenEntriesAtMostAndNoneWhenNotReady) {
    CRadClient client;
    for (int i = 0; i < 10; ++i) EXPECT_EQ(client.AddServer("127.0.0.1", 9, Secret("k"), 1), 0);
    EXPECT_EQ(client.AddServer("127.0.0.1", 9, Secret("k"), 1), -1);
    EXPECT_EQ(client.serverCount, 10);
    CRadClient notReady;
    notReady.ready = false;
    EXPECT_EQ(notReady.AddServer("127.0.0.1", 9, Secret("k"), 1), -1);
    EXPECT_EQ(notReady.serverCount, 0);
}

TEST(Client, FailedAllocationAddsNothing) {
    CRadClient client;
    g_failNothrowNew = true;
    EXPECT_EQ(client.AddServer("127.0.0.1", 9, Secret("k"), 1), -1);
    g_failNothrowNew = false;
    EXPECT_EQ(client.serverCount, 0);
    EXPECT_EQ(client.servers[0], nullptr);
    // Through auth: no entry, so no reply, and no exception crosses the boundary.
    LoopbackResponder r(AnswerWith(kSecret, 2, {{18, ToBytes("ok")}}));
    g_failNothrowNew = true;
    EXPECT_EQ(CallAuth("127.0.0.1", r.PortText().c_str(), kSecret, "u", "p", "1"),
              "6040#0#ERR_NETWORK_FAIL");
    g_failNothrowNew = false;
    EXPECT_EQ(r.ReceivedCount(), 0u);
}

TEST(Client, ResolveForms) {
    CRadAddress a;
    a.Resolve("127.0.0.1", 1812);
    EXPECT_EQ(a.ipAddress, platform::ParseIPv4("127.0.0.1"));
    EXPECT_EQ(a.udpPort, 1812);
    // Dotted text goes where inet_addr sends it: a part with a leading zero is octal (010 is
    // 8), one without is decimal up to 255.
    const struct {
        const char* text;
        const char* address;
    } literals[] = {{"010.1.1.1", "8.1.1.1"},
                    {"1.1.1.010", "1.1.1.8"},
                    {"10.1.1.1", "10.1.1.1"},
                    {"255.199.100.9", "255.199.100.9"}};
    for (const auto& k : literals) {
        SCOPED_TRACE(k.text);
        a.Resolve(k.text, 9);
        EXPECT_EQ(a.ipAddress, platform::ParseIPv4(k.address));
    }
    a.Resolve("localhost", 1);
    EXPECT_EQ(a.ipAddress, platform::ParseIPv4("127.0.0.1"));
    a.Resolve(nullptr, 7);
    EXPECT_EQ(a.ipAddress, 0u);
    EXPECT_EQ(a.udpPort, 7);
    // A label over 63 bytes is refused by the resolver itself: no query leaves the machine.
    const std::string unresolvable = std::string(70, 'q') + ".invalid";
    a.Resolve(unresolvable.c_str(), 7);
    EXPECT_EQ(a.ipAddress, 0u);
}

TEST(Client, RotationOrderAndCurrentServer) {
    // Entries 0 and 1 are silent, 2 answers: started at 1, the order is 1, 2 and 2 stays current.
    LoopbackResponder s0(Silent()), s1(Silent());
    LoopbackResponder s2(AnswerWith(kSecret, 2, {{18, ToBytes("ok")}}));
    CRadClient client;
    for (LoopbackResponder* s : {&s0, &s1, &s2})
        ASSERT_EQ(client.AddServer("127.0.0.1", s->Port(), Secret(kSecret), 1), 0);
    client.currentServer = 1;
    Request r;
    CRadPacket* reply = client.SendRequest(r.packet);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply, &client.servers[2]->reply);
    EXPECT_EQ(client.currentServer, 2);
    EXPECT_EQ(s0.ReceivedCount(), 0u);
    EXPECT_EQ(s1.ReceivedCount(), 1u);

    // None answering: every entry once, and currentServer back where it began.
    CRadClient silent;
    LoopbackResponder q0(Silent()), q1(Silent());
    silent.AddServer("127.0.0.1", q0.Port(), Secret("a"), 1);
    silent.AddServer("127.0.0.1", q1.Port(), Secret("b"), 1);
    silent.currentServer = 1;
    Request r2;
    EXPECT_EQ(silent.SendRequest(r2.packet), nullptr);
    EXPECT_EQ(silent.currentServer, 1);
    ASSERT_EQ(q0.ReceivedCount(), 1u);
    ASSERT_EQ(q1.ReceivedCount(), 1u);
    // Same Identifier and Request Authenticator; the hidden password and the
    // Message-Authenticator follow each server's secret.
    const Bytes a = q0.Received()[0], b = q1.Received()[0];
    EXPECT_EQ(Hex(Bytes(a.begin(), a.begin() + 20)), Hex(Bytes(b.begin(), b.begin() + 20)));
    EXPECT_NE(Hex(Bytes(a.begin() + 45, a.end())), Hex(Bytes(b.begin() + 45, b.end())));
}

TEST(Client, AttemptsResendIdenticalDatagrams) {
    LoopbackResponder silent(Silent());
    CRadClient client;
    client.AddServer("127.0.0.1", silent.Port(), Secret(kSecret), 1);
    client.servers[0]->attempts = 2;
    Request r;
    EXPECT_EQ(client.SendRequest(r.packet), nullptr);
    ASSERT_EQ(silent.ReceivedCount(), 2u);
    EXPECT_EQ(Hex(silent.Received()[0]), Hex(silent.Received()[1]));
}

TEST(Client, VerifiedReplyFromAnotherPortIsAccepted) {
    const Bytes key = ToBytes(kSecret);
    LoopbackResponder r([key](const Bytes& request) -> std::vector<Datagram> {
        return {
            {SignedReply(request, key, 2, EncodeAttributes({{18, ToBytes("moved")}})), 0, true}};
    });
    EXPECT_EQ(CallAuth("127.0.0.1", r.PortText().c_str(), kSecret, "u", "p", "2"), "moved");
}

TEST(Client, LateAnswerToAnEarlierRequestIsDiscarded) {
    // Replay: the Accept recorded for one request, sent again as the answer to the next one
    // (right address, port and Identifier) must not verify.
    const Bytes key = ToBytes(kSecret);
    auto recorded = std::make_shared<Bytes>();
    LoopbackResponder r([key, recorded](const Bytes& request) -> std::vector<Datagram> {
        if (recorded->empty()) {
            *recorded = SignedReply(request, key, 2, EncodeAttributes({{18, ToBytes("ok")}}));
            return {{*recorded, 0}};
        }
        return {{*recorded, 0}};
    });
    EXPECT_EQ(CallAuth("127.0.0.1", r.PortText().c_str(), kSecret, "u", "p", "1"), "ok");
    EXPECT_EQ(CallAuth("127.0.0.1", r.PortText().c_str(), kSecret, "u", "p", "1"),
              "6040#0#ERR_NETWORK_FAIL");
}

}  // namespace
