// The client stack: entry limits, rotation over servers, attempts, resolution, where replies
// may come from and which must be signed; plus the one allocation of a call failing.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
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

// ---- replies that must carry a Message-Authenticator (CVE-2024-3596) ------------------------

TEST(ReplySigning, SettingTexts) {
    const struct {
        const char* text;
        ReplySigning setting;
    } cases[] = {{nullptr, ReplySigning::kLearn}, {"auto", ReplySigning::kLearn},
                 {"AUTO", ReplySigning::kLearn},  {"no", ReplySigning::kNever},
                 {"No", ReplySigning::kNever},    {"yes", ReplySigning::kRequire},
                 {"", ReplySigning::kRequire},    {"off", ReplySigning::kRequire},
                 {"n", ReplySigning::kRequire},   {"auto ", ReplySigning::kRequire},
                 {"noo", ReplySigning::kRequire}};
    for (const auto& c : cases) {
        EXPECT_EQ(ParseReplySigning(c.text), c.setting) << (c.text ? c.text : "<unset>");
    }
}

// Learning on the table alone: first unsigned reply admitted, a signed one learns its server
// (address and port both count), later unsigned ones from it refused; a full table learns no
// more and then refuses nothing new.
TEST(ReplySigning, TableLearnsEachServerOnceAndAFullOneNoMore) {
    SignedServerTable table{};
    const std::uint32_t ip = LoopbackAddress();
    EXPECT_TRUE(AdmitVerifiedReply(ReplySigning::kLearn, table, ip, 1812, false));
    EXPECT_TRUE(AdmitVerifiedReply(ReplySigning::kLearn, table, ip, 1812, true));
    EXPECT_FALSE(AdmitVerifiedReply(ReplySigning::kLearn, table, ip, 1812, false));
    EXPECT_TRUE(AdmitVerifiedReply(ReplySigning::kLearn, table, ip, 1813, false));
    EXPECT_TRUE(AdmitVerifiedReply(ReplySigning::kLearn, table, ip + 1, 1812, false));
    EXPECT_TRUE(AdmitVerifiedReply(ReplySigning::kNever, table, ip, 1812, false));
    EXPECT_FALSE(AdmitVerifiedReply(ReplySigning::kRequire, table, ip, 1813, false));
    EXPECT_TRUE(AdmitVerifiedReply(ReplySigning::kRequire, table, ip, 1813, true));
    EXPECT_FALSE(table.Knows(ip, 1813));  // only kLearn learns
    // Address 0.0.0.0 port 0 is a server like any other, not a free slot.
    EXPECT_TRUE(table.Learn(0, 0));
    EXPECT_TRUE(table.Knows(0, 0));
    for (std::uint16_t port = 1; port < SignedServerTable::kCapacity - 1; ++port)
        EXPECT_TRUE(table.Learn(ip, static_cast<std::uint16_t>(20000 + port)));
    EXPECT_TRUE(table.Learn(ip, 1812));  // known already: no new slot
    EXPECT_FALSE(table.Learn(ip, 30000));
    EXPECT_TRUE(AdmitVerifiedReply(ReplySigning::kLearn, table, ip, 30000, true));
    EXPECT_TRUE(AdmitVerifiedReply(ReplySigning::kLearn, table, ip, 30000, false));
    EXPECT_FALSE(AdmitVerifiedReply(ReplySigning::kLearn, table, ip, 20001, false));
}

// What a scripted server answers, chosen before each call.
enum Answer { kPlain, kSigned, kPlainThenSigned, kPlainOnly };

LoopbackResponder::Script SigningScript(std::shared_ptr<std::atomic<int>> answer) {
    const Bytes key = ToBytes(kSecret);
    return [key, answer](const Bytes& request) -> std::vector<Datagram> {
        auto text = [](const char* t) { return EncodeAttributes({{18, ToBytes(t)}}); };
        switch (answer->load()) {
            case kPlain:
            case kPlainOnly:
                return {{SignedReply(request, key, 2, text("plain")), 0}};
            case kSigned:
                return {{SignedReplyWithMessageAuthenticator(request, key, 2, text("signed")), 0}};
            default:  // the unsigned one first, the signed one 300 ms later
                return {{SignedReply(request, key, 3, text("plain")), 0},
                        {SignedReplyWithMessageAuthenticator(request, key, 2, text("late")), 300}};
        }
    };
}

// One exchange as auth runs it, with this setting and table; the Reply-Message or "none".
TimedResult ExchangeWith(ReplySigning setting, SignedServerTable& table, std::uint16_t port) {
    CRadClient client;
    client.replySigning = setting;
    client.signedServers = &table;
    client.AddServer("127.0.0.1", port, Secret(kSecret), 1);
    Request r;
    const auto start = std::chrono::steady_clock::now();
    const CRadPacket* reply = client.SendRequest(r.packet);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::string text = "none";
    CRadAttrCursor c;
    if (reply != nullptr && const_cast<CRadPacket*>(reply)->FindAttribute(18, c) == 0) {
        const std::uint8_t* value = nullptr;
        std::uint16_t length = 0;
        if (c.GetValue(&value, &length) == 0) text.assign(value, value + length);
    }
    return {text, took.count()};
}

// The exchange under each setting: a discarded unsigned reply leaves the wait running (the
// signed one 300 ms later is taken, or the 1-second deadline passes), and a second server
// stands apart from the first.
TEST(ReplySigning, ExchangeUnderEachSetting) {
    const struct {
        ReplySigning setting;
        const char* want[5];  // kPlain, kSigned, kPlainThenSigned, kPlainOnly, other server
    } rows[] = {
        {ReplySigning::kLearn, {"plain", "signed", "late", "none", "plain"}},
        {ReplySigning::kRequire, {"none", "signed", "late", "none", "none"}},
        {ReplySigning::kNever, {"plain", "signed", "plain", "plain", "plain"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(static_cast<int>(row.setting));
        SignedServerTable table{};
        auto answer = std::make_shared<std::atomic<int>>(kPlain);
        auto other = std::make_shared<std::atomic<int>>(kPlain);
        LoopbackResponder server(SigningScript(answer));
        LoopbackResponder second(SigningScript(other));
        for (int step = 0; step < 5; ++step) {
            SCOPED_TRACE(step);
            *answer = step < 4 ? step : kPlain;
            const TimedResult got =
                ExchangeWith(row.setting, table, step < 4 ? server.Port() : second.Port());
            EXPECT_EQ(got.text, row.want[step]);
            if (got.text == "none") {
                EXPECT_GE(got.seconds, 0.9);  // waited out the deadline, not ended by the reply
                EXPECT_LT(got.seconds, 3.0);
            }
            if (got.text == std::string("late")) {
                EXPECT_GE(got.seconds, 0.25);
            }
        }
        EXPECT_EQ(table.Knows(LoopbackAddress(), server.Port()),
                  row.setting == ReplySigning::kLearn);
        EXPECT_FALSE(table.Knows(LoopbackAddress(), second.Port()));
    }
}

}  // namespace
