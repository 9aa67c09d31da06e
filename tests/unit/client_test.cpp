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

#include "api/arguments.h"
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

// The address a host text gives, as text ("" for none).
std::string Resolved(const char* host, const ClientNetwork& network = kPlatformNetwork) {
    CRadAddress a;
    a.Resolve(host, 1812, network.resolve);
    EXPECT_EQ(a.udpPort, 1812);
    char text[64] = "";
    if (a.ip.family != platform::kFamilyNone) platform::FormatAddress(a.ip, text, sizeof text);
    return text;
}

// A name service with a fixture answer: "v6only" has only an IPv6 address, "both" one of each.
int FixtureResolve(const char* host, const char*, platform::IpAddress* first4,
                   platform::IpAddress* first6) {
    *first4 = platform::IpAddress();
    *first6 = platform::IpAddress();
    if (std::strcmp(host, "v6only") != 0 && std::strcmp(host, "both") != 0) return -1;
    platform::ParseIPv6("::1", first6);
    if (std::strcmp(host, "both") == 0)
        *first4 = platform::IPv4Address(platform::ParseIPv4("127.0.0.2"));
    return 0;
}
platform::SocketHandle NoIPv6Socket(std::uint8_t family) {
    if (family != platform::kFamilyIPv6) return kPlatformNetwork.openSocket(family);
    platform::SetSocketError(97);  // EAFNOSUPPORT: the family is not there at all
    return platform::kInvalidSocket;
}
const ClientNetwork kFixtureNetwork = {FixtureResolve, NoIPv6Socket};

TEST(Client, ResolveForms) {
    // Dotted text goes where inet_addr sends it: a part with a leading zero is octal (010 is
    // 8), one without is decimal up to 255. IPv6 literals never reach the name service; text
    // that looks like one but is not, or any other text with ':' '[' ']', resolves to nothing.
    const std::string unresolvable = std::string(70, 'q') + ".invalid";  // refused by the resolver
    const struct {
        const char* text;
        const char* address;
    } rows[] = {{"127.0.0.1", "127.0.0.1"},
                {"010.1.1.1", "8.1.1.1"},
                {"1.1.1.010", "1.1.1.8"},
                {"10.1.1.1", "10.1.1.1"},
                {"255.199.100.9", "255.199.100.9"},
                {"localhost", "127.0.0.1"},
                {"::1", "::1"},
                {"[::1]", "::1"},
                {"2001:db8::1", "2001:db8::1"},
                {"[2001:db8::1]", "2001:db8::1"},
                {"::ffff:127.0.0.1", "127.0.0.1"},  // IPv4-mapped: the IPv4 socket's
                {"[::ffff:127.0.0.1]", "127.0.0.1"},
                {"::1::2", ""},
                {"[::1", ""},
                {"[::1]x", ""},
                {"[127.0.0.1]", ""},
                {"localhost:1812", ""},
                {unresolvable.c_str(), ""}};
    for (const auto& k : rows) {
        SCOPED_TRACE(k.text);
        EXPECT_EQ(Resolved(k.text), k.address);
    }
    CRadAddress a;
    a.Resolve(nullptr, 7);
    EXPECT_EQ(a.ip.family, platform::kFamilyNone);
    EXPECT_EQ(a.udpPort, 7);
    // A zone (RFC 4007 section 11) by interface index is kept as the scope.
    a.Resolve("fe80::1%1", 7);
    EXPECT_EQ(a.ip.family, platform::kFamilyIPv6);
    EXPECT_EQ(a.ip.scopeId, 1u);
    // A name's first IPv4 address wins; IPv6 only where it has none (the fixture's answers).
    EXPECT_EQ(Resolved("both", kFixtureNetwork), "127.0.0.2");
    EXPECT_EQ(Resolved("v6only", kFixtureNetwork), "::1");
    // The real name service, where this machine has an IPv6-only name for ::1.
    const std::string real = Resolved("ip6-localhost");
    if (real.empty()) {
        std::printf("no name maps to ::1 alone here: ip6-localhost not checked\n");
    } else {
        EXPECT_EQ(real, "::1");
    }
}

TEST(Client, RotationOrderAndCurrentServer) {
    // Entries 0 and 1 are silent, 2 answers: started at 1, the order is 1, 2 and 2 stays current.
    // With 3 s for three entries each gets 1 s: one transmission each.
    LoopbackResponder s0(Silent()), s1(Silent());
    LoopbackResponder s2(AnswerWith(kSecret, 2, {{18, ToBytes("ok")}}));
    CRadClient client;
    for (LoopbackResponder* s : {&s0, &s1, &s2})
        ASSERT_EQ(client.AddServer("127.0.0.1", s->Port(), Secret(kSecret), 3), 0);
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
    silent.AddServer("127.0.0.1", q0.Port(), Secret("a"), 2);
    silent.AddServer("127.0.0.1", q1.Port(), Secret("b"), 2);
    silent.currentServer = 1;
    Request r2;
    EXPECT_EQ(silent.SendRequest(r2.packet), nullptr);
    EXPECT_EQ(silent.currentServer, 1);
    ASSERT_EQ(q0.ReceivedCount(), 1u);
    ASSERT_EQ(q1.ReceivedCount(), 1u);
    // Entries with one secret get the same bytes; another secret changes the hidden password,
    // so that entry gets a new request: the next Identifier and a new Request Authenticator
    // (RFC 2865 section 2.5).
    ASSERT_EQ(s2.ReceivedCount(), 1u);
    EXPECT_EQ(Hex(s1.Received()[0]), Hex(s2.Received()[0]));
    const Bytes a = q1.Received()[0], b = q0.Received()[0];  // q1 went first
    EXPECT_EQ(b[1], static_cast<std::uint8_t>(a[1] + 1));
    EXPECT_NE(Hex(Bytes(a.begin() + 4, a.begin() + 20)), Hex(Bytes(b.begin() + 4, b.begin() + 20)));
}

// The schedule alone (RFC 5080 section 2.2.1 scaled to the share): transmission times for the
// shares the issue names, at both ends of the jitter, and the share rule.
TEST(Retransmission, ScheduleWithinItsBounds) {
    const struct {
        std::int64_t share;
        std::uint8_t jitter;
        std::vector<std::int64_t> times;
    } rows[] = {
        {1000, 0x80, {0}},
        {2000, 0xFF, {0}},
        {2001, 0x80, {0, 1000}},
        {3000, 0x80, {0, 1000}},
        {5000, 0x80, {0, 1000, 3000}},
        {5000, 0x00, {0, 1000, 2800}},  // RAND -0.1; the first interval held at 1 s
        {5000, 0xFF, {0, 1100, 3300}},  // RAND +0.1
        {4200, 0xFF, {0, 1100, 3200}},  // the third pulled back to the last second's edge
        {10000, 0xFF, {0, 2200, 6600}},
        {19000, 0x80, {0, 2000, 6000, 14000}},
        {19000, 0x00, {0, 1800, 5400, 12600}},
        {19000, 0xFF, {0, 2200, 6600, 15400}},
        {4000, 0x00, {0, 1000}},  // 0.9 s is raised to the 1 s floor
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.share) + " ms, jitter " + std::to_string(row.jitter));
        const std::uint8_t jitter[4] = {row.jitter, row.jitter, row.jitter, row.jitter};
        CRadSchedule s;
        s.Begin(100000, 100000 + row.share, CRadSchedule::kMaxTransmissions, jitter);
        std::vector<std::int64_t> times;
        for (int i = 0; i < 10 && s.HasNext(); ++i) {
            times.push_back(s.next - 100000);
            s.Advance(s.next);
        }
        EXPECT_EQ(times, row.times);
    }
    // At most five, and attempts caps it (a Status-Server goes once).
    const std::uint8_t mid[4] = {0x80, 0x80, 0x80, 0x80};
    CRadSchedule one;
    one.Begin(0, 19000, 1, mid);
    one.Advance(0);
    EXPECT_FALSE(one.HasNext());
    // The share rule: what is left over the entries still to come, at least 1 s, within what is
    // left. At T = 1 the first of two entries takes it all; at T = 19 each gets 9.5 s.
    EXPECT_EQ(ShareOfDeadline(1000, 2), 1000);
    EXPECT_EQ(ShareOfDeadline(0, 1), 0);
    EXPECT_EQ(ShareOfDeadline(19000, 2), 9500);
    EXPECT_EQ(ShareOfDeadline(9500, 1), 9500);
    EXPECT_EQ(ShareOfDeadline(2500, 3), 1000);
    EXPECT_EQ(ShareOfDeadline(600, 2), 600);
}

// Retransmission on the wire, against a server that is silent, or answers late, or answers
// only a later transmission: identical bytes each time, sent on the schedule, the deadline kept,
// a reply to any transmission taken, and nothing sent after it.
TEST(Retransmission, OnTheWire) {
    const Bytes key = ToBytes(kSecret);
    const auto accept = AnswerWith(kSecret, 2, {{18, ToBytes("ok")}});
    const struct {
        const char* name;
        LoopbackResponder::Script script;
        const char* want;
        std::size_t datagrams;
        double minSeconds, maxSeconds;
        bool onSchedule;  // the responder read each datagram as it came
    } rows[] = {
        {"silent", Silent(), "6040#0#ERR_NETWORK_FAIL", 3, 4.9, 5.6, true},
        {"first_lost", DropFirst(1, accept), "ok", 2, 0.95, 1.5, true},
        {"two_lost", DropFirst(2, accept), "ok", 3, 2.7, 3.7, true},
        // The reply to the first transmission comes 1.5 s late, after the second went out.
        {"late_first",
         [key](const Bytes& request) -> std::vector<Datagram> {
             static std::atomic<int> seen{0};
             if (seen++ != 0) return {};
             return {
                 {SignedReply(request, key, 2, EncodeAttributes({{18, ToBytes("late")}})), 1500}};
         },
         "late", 2, 1.4, 2.2, false},  // the responder slept through the second's arrival
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        LoopbackResponder r(row.script);
        const TimedResult t = TimedAuth(r.PortText(), kSecret, "alice", "password", "5");
        EXPECT_EQ(t.text, row.want);
        EXPECT_GE(t.seconds, row.minSeconds);
        EXPECT_LE(t.seconds, row.maxSeconds);
        // Nothing after the reply (ReceivedCount first lets the responder read what is queued).
        ASSERT_EQ(r.ReceivedCount(), row.datagrams);
        const std::vector<Bytes> got = r.Received();
        const std::vector<double> at = r.ReceivedTimes();
        for (std::size_t i = 1; i < got.size(); ++i) EXPECT_EQ(Hex(got[i]), Hex(got[0]));
        if (!row.onSchedule) continue;
        for (std::size_t i = 1; i < at.size(); ++i)
            EXPECT_GE(at[i] - at[i - 1], 0.95);  // never two within a second
        // About 1 s (1 to 1.1 s) and 3 s (2.8 to 3.3 s) after the first.
        if (at.size() >= 2) {
            EXPECT_NEAR(at[1] - at[0], 1.05, 0.2);
        }
        if (at.size() >= 3) {
            EXPECT_NEAR(at[2] - at[0], 3.05, 0.4);
        }
    }
}

// A list of servers within one deadline: a silent entry keeps its share, an unresolvable one is
// skipped at once, an IPv6 one where the host has no IPv6 at once too; with T = 1 the first
// entry's share is the whole call.
TEST(Retransmission, FailoverWithinTheDeadline) {
    // The port applies to every entry, so the silent server shares the answering one's port on
    // another address: 127.0.0.2, or ::1 where that cannot be bound (Wine binds only the
    // addresses of the host's interfaces).
    LoopbackResponder answering(AnswerWith(kSecret, 2, {{18, ToBytes("second")}}));
    std::string other = "127.0.0.2";
    std::unique_ptr<LoopbackResponder> silent(
        new LoopbackResponder(Silent(), other.c_str(), answering.Port()));
    if (silent->Port() == 0) {
        other = "[::1]";
        silent.reset(new LoopbackResponder(Silent(), "::1", answering.Port()));
    }
    if (silent->Port() == 0)
        GTEST_SKIP() << "no second loopback address takes port " << answering.Port();
    const std::string unresolvable = std::string(70, 'q') + ".invalid";
    const struct {
        std::string servers;
        const char* timeout;
        const char* want;
        std::size_t toSilent;
        double minSeconds, maxSeconds;
        bool fixtureNetwork;
    } rows[] = {
        {other + ",127.0.0.1", "2", "second", 1, 0.95, 1.5, false},
        {other + ", 127.0.0.1", "5", "second", 2, 2.4, 3.1, false},  // 2.5 s share: 2 sends
        {other + ",127.0.0.1", "1", "none", 1, 0.95, 1.5, false},    // no turn left for it
        {unresolvable + ",127.0.0.1", "5", "second", 0, 0.0, 0.5, false},
        {other + "," + unresolvable, "3", "none", 2, 2.9, 3.5, false},  // all 3 s for the first
        {"v6only,127.0.0.1", "5", "second", 0, 0.0, 0.5, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.servers + " in " + row.timeout + " s");
        CRadClient client;
        if (row.fixtureNetwork) client.network = &kFixtureNetwork;
        static ServerList list;  // as auth splits its server argument
        ASSERT_EQ(SplitServerList(row.servers.c_str(), row.servers.size(), &list), 0);
        for (std::int32_t i = 0; i < list.count; ++i)
            client.AddServer(list.text + list.entry[i], answering.Port(), Secret(kSecret),
                             std::atoi(row.timeout));
        const std::size_t before = silent->ReceivedCount();
        Request r;
        const auto start = std::chrono::steady_clock::now();
        CRadPacket* reply = client.SendRequest(r.packet);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(reply != nullptr ? "second" : "none", std::string(row.want));
        EXPECT_EQ(silent->ReceivedCount() - before, row.toSilent);
        EXPECT_GE(took.count(), row.minSeconds);
        EXPECT_LE(took.count(), row.maxSeconds);
    }
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
// (address, port and family all count), later unsigned ones from it refused. Past the table's
// capacity the overflow filter still learns every signer: never again accepted unsigned.
TEST(ReplySigning, TableLearnsEachServerOnceAndNeverFailsOpen) {
    std::unique_ptr<SignedServerTable> held(new SignedServerTable{});
    SignedServerTable& table = *held;
    const std::uint32_t ip = LoopbackAddress();
    platform::IpAddress v6;
    ASSERT_EQ(platform::ParseIPv6("::1", &v6), 0);
    const std::uint64_t server = ServerKey(ip, 1812);
    EXPECT_TRUE(AdmitVerifiedReply(ReplySigning::kLearn, table, server, false));
    EXPECT_TRUE(AdmitVerifiedReply(ReplySigning::kLearn, table, server, true));
    EXPECT_FALSE(AdmitVerifiedReply(ReplySigning::kLearn, table, server, false));
    EXPECT_TRUE(AdmitVerifiedReply(ReplySigning::kLearn, table, ServerKey(ip, 1813), false));
    EXPECT_TRUE(AdmitVerifiedReply(ReplySigning::kLearn, table, ServerKey(ip + 1, 1812), false));
    EXPECT_TRUE(AdmitVerifiedReply(ReplySigning::kLearn, table, ServerKey(v6, 1812), false));
    EXPECT_TRUE(AdmitVerifiedReply(ReplySigning::kNever, table, server, false));
    EXPECT_FALSE(AdmitVerifiedReply(ReplySigning::kRequire, table, ServerKey(ip, 1813), false));
    EXPECT_TRUE(AdmitVerifiedReply(ReplySigning::kRequire, table, ServerKey(ip, 1813), true));
    EXPECT_FALSE(table.Knows(ServerKey(ip, 1813)));  // only kLearn learns
    EXPECT_TRUE(AdmitVerifiedReply(ReplySigning::kLearn, table, ServerKey(v6, 1812), true));
    EXPECT_TRUE(table.Knows(ServerKey(v6, 1812)));
    EXPECT_FALSE(table.Knows(ServerKey(v6, 1813)));
    // Address 0.0.0.0 port 0 is a server like any other, not a free slot.
    EXPECT_TRUE(table.Learn(ServerKey(0, 0)));
    EXPECT_TRUE(table.Knows(ServerKey(0, 0)));
    // Fill every slot, then 200 more signers go to the overflow filter: all are known, and of
    // 2,000 servers that never signed, few enough are taken for signers (fail closed).
    std::uint16_t port = 20000;
    for (int filled = 3; filled < SignedServerTable::kCapacity; ++filled)
        EXPECT_TRUE(table.Learn(ServerKey(ip, port++)));
    EXPECT_TRUE(table.Learn(server));  // known already: no new slot
    for (int i = 0; i < 200; ++i) {
        EXPECT_FALSE(table.Learn(ServerKey(ip, port)));
        EXPECT_TRUE(AdmitVerifiedReply(ReplySigning::kLearn, table, ServerKey(ip, port), true));
        EXPECT_FALSE(AdmitVerifiedReply(ReplySigning::kLearn, table, ServerKey(ip, port), false));
        ++port;
    }
    int mistaken = 0;
    for (int i = 0; i < 2000; ++i) mistaken += table.Knows(ServerKey(ip + 7, port++)) ? 1 : 0;
    EXPECT_LT(mistaken, 5);
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
        std::unique_ptr<SignedServerTable> held(new SignedServerTable{});
        SignedServerTable& table = *held;
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
        EXPECT_EQ(table.Knows(ServerKey(LoopbackAddress(), server.Port())),
                  row.setting == ReplySigning::kLearn);
        EXPECT_FALSE(table.Knows(ServerKey(LoopbackAddress(), second.Port())));
    }
}

// Where a verified reply comes from decides whose rule it meets only when that source is an
// entry this call sent to; any other source (which an attacker on the path picks) is held to the
// strictest entry sent to and teaches the table nothing. The backup shares the primary's port on
// 127.0.0.2 (::1 where that cannot be bound); the table knows the primary as a signer when asked.
TEST(ReplySigning, SourceAddressBorrowsNoLeniency) {
    enum Mode { kQuiet, kSpoofUnsigned, kUnsigned, kSignedElsewhere };
    const Bytes key = ToBytes(kSecret);
    auto mode = std::make_shared<std::atomic<int>>(kQuiet);
    auto backupMode = std::make_shared<std::atomic<int>>(kQuiet);
    auto forged = std::make_shared<std::atomic<platform::SocketHandle>>(platform::kInvalidSocket);
    auto script = [key, forged](std::shared_ptr<std::atomic<int>> m) {
        return [key, forged, m](const Bytes& request) -> std::vector<Datagram> {
            const Bytes text = EncodeAttributes({{18, ToBytes("taken")}});
            Datagram d{SignedReply(request, key, 2, text), 0};
            switch (m->load()) {
                case kSpoofUnsigned:  // unsigned, from the backup's address and port
                    d.via = forged->load();
                    return {d};
                case kUnsigned:
                    return {d};
                case kSignedElsewhere:  // signed, from a port no entry has
                    d.bytes = SignedReplyWithMessageAuthenticator(request, key, 2, text);
                    d.fromOtherPort = true;
                    return {d};
                default:
                    return {};
            }
        };
    };
    LoopbackResponder primary(script(mode));
    std::string other = "127.0.0.2";
    std::unique_ptr<LoopbackResponder> backup(
        new LoopbackResponder(script(backupMode), other.c_str(), primary.Port()));
    if (backup->Port() == 0) {
        other = "::1";
        backup.reset(new LoopbackResponder(script(backupMode), "::1", primary.Port()));
    }
    if (backup->Port() == 0) GTEST_SKIP() << "no second loopback address takes the port";
    *forged = backup->Socket();
    const std::uint64_t primaryKey = ServerKey(LoopbackAddress(), primary.Port());
    const struct {
        const char* name;
        bool primarySigned;
        Mode primaryMode, backupMode;
        const char* want;
    } rows[] = {
        // Before 127.0.0.2 was asked, its address lends no leniency to the primary's turn.
        {"spoofed_backup_during_primary", true, kSpoofUnsigned, kQuiet, "none"},
        // A backup that never signed still answers once the signing primary falls silent.
        {"failover_to_unsigned_backup", true, kQuiet, kUnsigned, "taken"},
        // Signed, from no entry's address: taken, and nobody is learned from it.
        {"signed_from_no_entry", false, kQuiet, kSignedElsewhere, "taken"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::unique_ptr<SignedServerTable> table(new SignedServerTable{});
        if (row.primarySigned) table->Learn(primaryKey);
        *mode = row.primaryMode;
        *backupMode = row.backupMode;
        CRadClient client;
        client.replySigning = ReplySigning::kLearn;
        client.signedServers = table.get();
        client.AddServer("127.0.0.1", primary.Port(), Secret(kSecret), 2);
        client.AddServer(other.c_str(), primary.Port(), Secret(kSecret), 2);
        Request r;
        const CRadPacket* reply = client.SendRequest(r.packet);
        EXPECT_EQ(reply != nullptr ? "taken" : "none", std::string(row.want));
        EXPECT_EQ(table->Knows(primaryKey), row.primarySigned);
        EXPECT_FALSE(table->Knows(ServerKey(client.servers[1]->address.ip, primary.Port())));
    }
}

// Shares go to the entries that can be sent to: with 5 s and a server answering at 3.2 s, an
// entry of a family this host lacks, or a route that refuses every send, costs no time, before
// or after the live one; and a request that went out is waited for until the deadline.
TEST(Retransmission, SharesSkipDeadEntries) {
    const Bytes key = ToBytes(kSecret);
    const struct {
        std::vector<std::pair<const char*, bool>> entries;  // host, and whether on live's port
        double maxSeconds;
    } rows[] = {
        {{{"127.0.0.1", true}, {"::1", true}}, 4.9},  // this "host" has no IPv6
        {{{"127.0.0.1", true}, {"::1", true}, {"::1", true}, {"::1", true}}, 4.9},
        // Port 0 refuses every send: it takes no time from the live entry (which 1 s would
        // push to 4.2 s).
        {{{"127.0.0.1", false}, {"127.0.0.1", true}}, 4.1},
        {{{"127.0.0.1", true}, {"127.0.0.1", false}}, 4.9},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.entries.size()) + " entries, first " +
                     row.entries[0].first + (row.entries[0].second ? "" : ":0"));
        // The first datagram is answered 3.2 s after it came; the retransmissions not at all.
        auto seen = std::make_shared<std::atomic<int>>(0);
        LoopbackResponder live([key, seen](const Bytes& request) -> std::vector<Datagram> {
            if (seen->fetch_add(1) != 0) return {};
            return {{SignedReply(request, key, 2, EncodeAttributes({{18, ToBytes("ok")}})), 3200}};
        });
        CRadClient client;
        client.network = &kFixtureNetwork;
        for (const auto& e : row.entries)
            client.AddServer(e.first, e.second ? live.Port() : 0, Secret(kSecret), 5);
        Request r;
        const auto start = std::chrono::steady_clock::now();
        const CRadPacket* reply = client.SendRequest(r.packet);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        EXPECT_NE(reply, nullptr);
        EXPECT_GE(took.count(), 3.1);
        EXPECT_LE(took.count(), row.maxSeconds);
    }
}

// An observer that stalls the call 3.5 s at its first transmission, as a slow terminal under
// --verbose would. In a 6 s share (IRT 1.2 s) the second transmission (due at 1.08 to 1.32 s)
// then goes at 3.5 s and the third at the edge of the share's last second, 5 s, where a schedule
// counted from the nominal times would send it at 3.24 to 3.96 s: at once or within 0.46 s (0.6 s
// leaves room for a loaded machine). The stall may overrun by 0.5 s on a loaded machine before
// the third, a second after the second, no longer fits before that edge.
TEST(Retransmission, NoBunchingAfterAStall) {
    LoopbackResponder silent(Silent());
    ExchangeObserver slow = {
        nullptr,
        [](void*, const CRadPacket&, const ExchangeMoment& m, bool) {
            if (m.transmission == 1) std::this_thread::sleep_for(std::chrono::milliseconds(3500));
        },
        [](void*, const CRadPacket&, const CRadPacket&, int, ReplyCheck, const ExchangeMoment&) {},
        nullptr};
    CRadClient client;
    client.observer = &slow;
    client.AddServer("127.0.0.1", silent.Port(), Secret(kSecret), 6);
    Request r;
    EXPECT_EQ(client.SendRequest(r.packet), nullptr);
    const std::vector<double> at = silent.ReceivedTimes();
    ASSERT_EQ(at.size(), 3u);
    EXPECT_GE(at[1] - at[0], 3.4);
    for (std::size_t i = 1; i < at.size(); ++i) EXPECT_GE(at[i] - at[i - 1], 0.6) << i;
}

// RFC 2865 section 2.5: under NAS address auto, an IPv4 entry and an IPv6 one carry different
// NAS attributes, so the second gets a new Identifier and Request Authenticator, and its reply
// verifies against its own.
TEST(Client, ChangedRequestIsANewRequest) {
    LoopbackResponder first(Silent());
    LoopbackResponder second(AnswerWith(kSecret, 2, {{18, ToBytes("ok")}}), "::1");
    if (second.Port() == 0) GTEST_SKIP() << "no IPv6 loopback here";
    CRadClient client;
    client.nasAddress.mode = NasAddressMode::kAuto;
    client.AddServer("127.0.0.1", first.Port(), Secret(kSecret), 2);
    client.AddServer("::1", second.Port(), Secret(kSecret), 2);
    Request r;
    r.packet.nasAddressOffset = r.packet.Length();
    ASSERT_NE(client.SendRequest(r.packet), nullptr);
    ASSERT_EQ(first.ReceivedCount(), 1u);
    ASSERT_EQ(second.ReceivedCount(), 1u);
    const Bytes a = first.Received()[0], b = second.Received()[0];
    EXPECT_NE(a[1], b[1]);
    EXPECT_NE(Hex(Bytes(a.begin() + 4, a.begin() + 20)), Hex(Bytes(b.begin() + 4, b.begin() + 20)));
    ASSERT_NE(FindFirst(ParseAttributes(a), 4), nullptr);
    ASSERT_NE(FindFirst(ParseAttributes(b), 95), nullptr);
}

}  // namespace
