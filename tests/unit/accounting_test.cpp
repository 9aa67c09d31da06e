// Accounting (RFC 2866) and request attributes through qvrad.h against scripted loopback
// servers: every request's bytes and Request Authenticator recomputed apart from the library,
// replies that must not count, retransmission and failover, and the spool across outages.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "platform/files.h"
#include "qvrad.h"
#include "spool/spool_format.h"
#include "support/responder.h"

namespace {

const char kSecret[] = "acct-secret";

std::uint32_t Integer(const Bytes& value) {
    return value.size() == 4 ? (std::uint32_t{value[0]} << 24) | (std::uint32_t{value[1]} << 16) |
                                   (std::uint32_t{value[2]} << 8) | value[3]
                             : 0xFFFFFFFFu;
}

Bytes Int(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
            static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
}

// RFC 2866 section 3, computed here: MD5(Code + Identifier + Length + 16 zero octets +
// attributes + secret).
Bytes ExpectedAccountingAuthenticator(const Bytes& request, const std::string& secret) {
    Bytes zeroed = request;
    std::fill(zeroed.begin() + 4, zeroed.begin() + 20, 0);
    return RefMd5(Concat({zeroed, ToBytes(secret)}));
}

// An Accounting-Response signed as RFC 2866 section 4.2 says (the formula of RFC 2865 section
// 3), for requests whose own authenticator verifies; others go unanswered.
LoopbackResponder::Script Acknowledge(std::string secret = kSecret, std::uint8_t code = 5,
                                      std::vector<Attribute> attributes = {}) {
    return [secret, code, attributes](const Bytes& request) -> std::vector<Datagram> {
        if (request.size() < 20 || request[0] != 4 ||
            ExpectedAccountingAuthenticator(request, secret) != RequestAuthenticatorOf(request))
            return {};
        return {{SignedReply(request, ToBytes(secret), code, EncodeAttributes(attributes)), 0}};
    };
}

struct Client {
    qvrad_client* c = nullptr;
    // Each server's accounting port set to the responder's.
    Client(std::vector<std::uint16_t> ports, std::int64_t timeoutMs = 2000, int transmissions = 5,
           std::vector<std::string> secrets = {}) {
        EXPECT_EQ(qvrad_client_new(&c), QVRAD_OK);
        for (std::size_t i = 0; i < ports.size(); ++i) {
            const std::string secret = i < secrets.size() ? secrets[i] : kSecret;
            EXPECT_EQ(qvrad_client_add_server(c, "127.0.0.1", 1, secret.c_str()), QVRAD_OK);
            EXPECT_EQ(qvrad_client_set_acct_port(c, static_cast<int>(i), ports[i]), QVRAD_OK);
        }
        EXPECT_EQ(qvrad_client_set_int(c, QVRAD_OPT_TIMEOUT_MS, timeoutMs), QVRAD_OK);
        EXPECT_EQ(qvrad_client_set_int(c, QVRAD_OPT_MAX_TRANSMISSIONS, transmissions), QVRAD_OK);
        EXPECT_EQ(qvrad_client_set_text(c, QVRAD_OPT_NAS_IDENTIFIER, "nas-7"), QVRAD_OK);
    }
    ~Client() { qvrad_client_free(c); }
};

struct Attrs {
    qvrad_attrs* a = nullptr;
    Attrs() { EXPECT_EQ(qvrad_attrs_new(&a), QVRAD_OK); }
    ~Attrs() { qvrad_attrs_free(a); }
};

// Every kind of attribute a caller can add, and the bytes each must become (RFC 2865 section 5,
// 5.26; RFC 3162), written out by hand.
void AddEveryKind(qvrad_attrs* a) {
    const unsigned char octets[] = {0x00, 0xFF, 0x10};
    ASSERT_EQ(qvrad_attrs_add_text(a, 31, "192.0.2.10"), QVRAD_OK);  // Calling-Station-Id
    ASSERT_EQ(qvrad_attrs_add_int(a, 61, 5), QVRAD_OK);              // NAS-Port-Type Virtual
    ASSERT_EQ(qvrad_attrs_add_ipv4(a, 8, "192.0.2.7"), QVRAD_OK);    // Framed-IP-Address
    ASSERT_EQ(qvrad_attrs_add_ipv6(a, 168, "2001:db8::1"), QVRAD_OK);
    ASSERT_EQ(qvrad_attrs_add_octets(a, 25, octets, sizeof octets), QVRAD_OK);  // Class
    ASSERT_EQ(qvrad_attrs_add_vendor(a, 9, 1, "av=1", 4), QVRAD_OK);
}
const char kEveryKindHex[] =
    "1f0c3139322e302e322e3130"              // 31, "192.0.2.10"
    "3d0600000005"                          // 61, 5
    "0806c0000207"                          // 8, 192.0.2.7
    "a81220010db8000000000000000000000001"  // 168, 2001:db8::1
    "190500ff10"                            // 25, 00 ff 10
    "1a0c00000009010661763d31";             // 26: vendor 9, type 1, length 6, "av=1"

// Start, Interim-Update, Stop, On and Off: the attributes in their order, the caller's last,
// the Request Authenticator of RFC 2866 section 3, and an acknowledged call for each.
TEST(Accounting, RequestOnTheWire) {
    LoopbackResponder r(Acknowledge());
    Client c({r.Port()});
    Attrs every;
    AddEveryKind(every.a);
    Attrs timed;  // the caller's own Event-Timestamp and Acct-Delay-Time are kept, not doubled
    ASSERT_EQ(qvrad_attrs_add_int(timed.a, 55, 1700000000), QVRAD_OK);
    ASSERT_EQ(qvrad_attrs_add_int(timed.a, 41, 9), QVRAD_OK);
    const struct {
        int status;
        const char* session;
        const char* user;
        const qvrad_attrs* attrs;
        std::string expected;  // the attributes after Event-Timestamp and Acct-Delay-Time
    } rows[] = {
        {QVRAD_ACCT_START, "s-1", "alice", every.a, kEveryKindHex},
        {QVRAD_ACCT_INTERIM_UPDATE, "s-1", nullptr, nullptr, ""},
        {QVRAD_ACCT_STOP, "s-1", "alice", timed.a, ""},
        {QVRAD_ACCT_ON, nullptr, nullptr, nullptr, ""},
        {QVRAD_ACCT_OFF, "nas-restart", nullptr, nullptr, ""},
    };
    for (const auto& row : rows) {
        const std::size_t before = r.ReceivedCount();
        const auto t0 = static_cast<std::uint32_t>(std::time(nullptr));
        EXPECT_EQ(qvrad_acct_send(c.c, row.status, row.session, row.user, row.attrs), QVRAD_OK)
            << row.status << ": " << qvrad_error_detail();
        const auto t1 = static_cast<std::uint32_t>(std::time(nullptr));
        const std::vector<Bytes> got = r.Received();
        ASSERT_EQ(got.size(), before + 1) << row.status;
        const Bytes& q = got.back();
        EXPECT_EQ(q[0], 4);
        EXPECT_EQ(std::size_t{q[2]} << 8 | q[3], q.size());
        EXPECT_EQ(RequestAuthenticatorOf(q), ExpectedAccountingAuthenticator(q, kSecret));
        Bytes want = EncodeAttributes({{40, Int(static_cast<std::uint32_t>(row.status))}});
        if (row.session) want = Concat({want, EncodeAttributes({{44, ToBytes(row.session)}})});
        if (row.user) want = Concat({want, EncodeAttributes({{1, ToBytes(row.user)}})});
        want = Concat({want, EncodeAttributes({{32, ToBytes("nas-7")}})});
        const std::vector<Attribute> parsed = ParseAttributes(q);
        const Bytes* stamp = FindFirst(parsed, 55);
        ASSERT_NE(stamp, nullptr);
        if (row.attrs == timed.a) {
            want = Concat({want, EncodeAttributes({{55, Int(1700000000)}, {41, Int(9)}})});
        } else {
            EXPECT_GE(Integer(*stamp), t0);
            EXPECT_LE(Integer(*stamp), t1);
            want = Concat(
                {want, EncodeAttributes({{55, *stamp}, {41, Int(0)}}), FromHex(row.expected)});
        }
        EXPECT_EQ(Hex(Bytes(q.begin() + 20, q.end())), Hex(want)) << row.status;
    }
    // Identifiers come from a process-wide sequence: consecutive records never share one.
    const std::vector<Bytes> got = r.Received();
    for (std::size_t i = 1; i < got.size(); ++i) EXPECT_NE(got[i][1], got[i - 1][1]);
}

// Replies that must not end an accounting call, each alone within a short timeout: the call
// times out. Then the same server signing with a Message-Authenticator is acknowledged.
TEST(Accounting, RepliesThatMustNotCount) {
    const auto forged = [](const Bytes& q) -> std::vector<Datagram> {
        return {{SignedReply(q, ToBytes("another-secret"), 5, {}), 0}};
    };
    const auto accept = [](const Bytes& q) -> std::vector<Datagram> {
        return {{SignedReply(q, ToBytes(kSecret), 2, {}), 0}};  // an Access-Accept, signed
    };
    const auto proxied = [](const Bytes& q) -> std::vector<Datagram> {
        return {{SignedReply(q, ToBytes(kSecret), 5, EncodeAttributes({{33, ToBytes("x")}})), 0}};
    };
    const auto badMac = [](const Bytes& q) -> std::vector<Datagram> {
        Bytes reply = SignedReplyWithMessageAuthenticator(q, ToBytes(kSecret), 5, {});
        reply[25] ^= 1;
        Resign(reply, q, ToBytes(kSecret));
        return {{reply, 0}};
    };
    const auto unverifiedRequest = [](const Bytes& q) -> std::vector<Datagram> {
        // A responder that signs its reply right, but over a request authenticator of its own
        // invention (a server that took the Access-Request's rules): not a reply to ours.
        Bytes other = q;
        other[4] ^= 0x55;
        Bytes reply = SignedReply(other, ToBytes(kSecret), 5, {});
        return {{reply, 0}};
    };
    const LoopbackResponder::Script scripts[] = {forged, accept, proxied, badMac,
                                                 unverifiedRequest};
    for (std::size_t i = 0; i < sizeof scripts / sizeof scripts[0]; ++i) {
        LoopbackResponder r(scripts[i]);
        Client c({r.Port()}, 1000, 1);
        EXPECT_EQ(qvrad_acct_send(c.c, QVRAD_ACCT_START, "s", nullptr, nullptr), QVRAD_E_TIMEOUT)
            << "row " << i;
        EXPECT_EQ(r.ReceivedCount(), 1u) << "row " << i;
        // The words say what the server did: one reply, discarded, and why.
        const std::string detail = qvrad_error_detail();
        EXPECT_NE(detail.find("no verified Accounting-Response in time: server 1"),
                  std::string::npos)
            << detail;
        EXPECT_NE(detail.find("1 reply discarded"), std::string::npos) << detail;
    }
    LoopbackResponder good([](const Bytes& q) -> std::vector<Datagram> {
        return {{SignedReplyWithMessageAuthenticator(q, ToBytes(kSecret), 5, {}), 0}};
    });
    Client c({good.Port()}, 1000, 1);
    EXPECT_EQ(qvrad_acct_send(c.c, QVRAD_ACCT_START, "s", nullptr, nullptr), QVRAD_OK);
}

// RFC 5080 section 2.2.1: a retransmission to one server is the same bytes (Identifier,
// Acct-Delay-Time and all); another server with another secret gets a new Identifier and its
// own Request Authenticator.
TEST(Accounting, RetransmissionAndFailover) {
    LoopbackResponder dropFirst(DropFirst(1, Acknowledge()));
    {
        Client c({dropFirst.Port()}, 5000);
        EXPECT_EQ(qvrad_acct_send(c.c, QVRAD_ACCT_STOP, "s-9", "bob", nullptr), QVRAD_OK);
        const std::vector<Bytes> got = dropFirst.Received();
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(Hex(got[0]), Hex(got[1]));
    }
    LoopbackResponder silent(Silent());
    LoopbackResponder second(Acknowledge("second-secret"));
    Client c({silent.Port(), second.Port()}, 2000, 5, {kSecret, "second-secret"});
    EXPECT_EQ(qvrad_acct_send(c.c, QVRAD_ACCT_START, "s-10", nullptr, nullptr), QVRAD_OK);
    const std::vector<Bytes> first = silent.Received(), then = second.Received();
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(then.size(), 1u);
    EXPECT_NE(first[0][1], then[0][1]);
    EXPECT_EQ(RequestAuthenticatorOf(first[0]), ExpectedAccountingAuthenticator(first[0], kSecret));
    EXPECT_EQ(RequestAuthenticatorOf(then[0]),
              ExpectedAccountingAuthenticator(then[0], "second-secret"));
    // Nothing but the header differs: the same record.
    EXPECT_EQ(Hex(Bytes(first[0].begin() + 20, first[0].end())),
              Hex(Bytes(then[0].begin() + 20, then[0].end())));
}

// The caller's attributes in a login: after the library's own, the NAS address last; the
// refusals of the adders and of the calls, each with its reason, and nothing sent for them.
TEST(Accounting, LoginAttributesAndRefusals) {
    LoopbackResponder r([](const Bytes& q) -> std::vector<Datagram> {
        return {{SignedReplyWithMessageAuthenticator(q, ToBytes(kSecret), 2, {}), 0}};
    });
    qvrad_client* c = nullptr;
    ASSERT_EQ(qvrad_client_new(&c), QVRAD_OK);
    ASSERT_EQ(qvrad_client_add_server(c, "127.0.0.1", r.Port(), kSecret), QVRAD_OK);
    ASSERT_EQ(qvrad_client_set_text(c, QVRAD_OPT_NAS_IDENTIFIER, ""), QVRAD_OK);
    ASSERT_EQ(qvrad_client_set_text(c, QVRAD_OPT_NAS_IP_ADDRESS, "127.0.0.9"), QVRAD_OK);
    Attrs every;
    AddEveryKind(every.a);
    qvrad_login* l = nullptr;
    ASSERT_EQ(qvrad_login_pap_attrs(c, "alice", "pw", every.a, &l), QVRAD_OK);
    EXPECT_EQ(qvrad_login_code(l), QVRAD_CODE_ACCEPT);
    qvrad_login_free(l);
    const std::vector<Bytes> got = r.Received();
    ASSERT_EQ(got.size(), 1u);
    const std::vector<Attribute> parsed = ParseAttributes(got[0]);
    ASSERT_EQ(parsed.size(), 3u + 6u + 1u);  // Message-Authenticator, User-Name, User-Password
    EXPECT_EQ(parsed[0].first, 80);
    EXPECT_EQ(parsed[1].first, 1);
    EXPECT_EQ(parsed[2].first, 2);
    Bytes caller;
    for (std::size_t i = 3; i < 9; ++i) caller = Concat({caller, EncodeAttributes({parsed[i]})});
    EXPECT_EQ(Hex(caller), kEveryKindHex);
    EXPECT_EQ(parsed[9].first, 4);
    EXPECT_EQ(Hex(parsed[9].second), "7f000009");
    // The Message-Authenticator covers the caller's attributes too.
    EXPECT_EQ(Hex(Bytes(got[0].begin() + 22, got[0].begin() + 38)),
              Hex(ExpectedRequestMessageAuthenticator(got[0], ToBytes(kSecret), 22)));

    Attrs a;
    const std::string v253(253, 'v'), v254(254, 'v'), v247(247, 'w'), v248(248, 'w');
    const struct {
        int got;
        int want;
        const char* reason;  // a word the detail must hold
    } rows[] = {
        {qvrad_attrs_add_text(a.a, 1, "bob"), QVRAD_E_ARGUMENT, "User-Name"},
        {qvrad_attrs_add_text(a.a, 2, "pw"), QVRAD_E_ARGUMENT, "User-Password"},
        {qvrad_attrs_add_int(a.a, 4, 1), QVRAD_E_ARGUMENT, "NAS-IP-Address"},
        {qvrad_attrs_add_octets(a.a, 24, "s", 1), QVRAD_E_ARGUMENT, "State"},
        {qvrad_attrs_add_text(a.a, 32, "n"), QVRAD_E_ARGUMENT, "NAS-Identifier"},
        {qvrad_attrs_add_octets(a.a, 33, "p", 1), QVRAD_E_ARGUMENT, "Proxy-State"},
        {qvrad_attrs_add_octets(a.a, 79, "e", 1), QVRAD_E_ARGUMENT, "EAP-Message"},
        {qvrad_attrs_add_octets(a.a, 80, "m", 1), QVRAD_E_ARGUMENT, "Message-Authenticator"},
        {qvrad_attrs_add_ipv6(a.a, 95, "::1"), QVRAD_E_ARGUMENT, "NAS-IPv6-Address"},
        {qvrad_attrs_add_octets(a.a, 3, "c", 1), QVRAD_E_ARGUMENT, "CHAP-Password"},
        {qvrad_attrs_add_octets(a.a, 26, "v", 1), QVRAD_E_ARGUMENT, "Vendor-Specific"},
        {qvrad_attrs_add_int(a.a, 0, 1), QVRAD_E_ARGUMENT, "1 to 255"},
        {qvrad_attrs_add_int(a.a, 256, 1), QVRAD_E_ARGUMENT, "1 to 255"},
        {qvrad_attrs_add_text(a.a, 18, ""), QVRAD_E_ARGUMENT, "1 to 253"},
        {qvrad_attrs_add_text(a.a, 18, v254.c_str()), QVRAD_E_ARGUMENT, "253"},
        {qvrad_attrs_add_octets(a.a, 25, v254.data(), 254), QVRAD_E_ARGUMENT, "253"},
        {qvrad_attrs_add_ipv4(a.a, 8, "::1"), QVRAD_E_ARGUMENT, "IPv4"},
        {qvrad_attrs_add_ipv4(a.a, 8, "localhost"), QVRAD_E_ARGUMENT, "IPv4"},
        {qvrad_attrs_add_ipv6(a.a, 168, "192.0.2.1"), QVRAD_E_ARGUMENT, "IPv6"},
        {qvrad_attrs_add_vendor(a.a, 0, 1, "v", 1), QVRAD_E_ARGUMENT, "vendor id"},
        {qvrad_attrs_add_vendor(a.a, 0x1000000, 1, "v", 1), QVRAD_E_ARGUMENT, "vendor id"},
        {qvrad_attrs_add_vendor(a.a, 9, 0, "v", 1), QVRAD_E_ARGUMENT, "vendor type"},
        {qvrad_attrs_add_vendor(a.a, 9, 1, v248.data(), 248), QVRAD_E_ARGUMENT, "247"},
        {qvrad_attrs_add_text(nullptr, 18, "x"), QVRAD_E_ARGUMENT, "list"},
        // The limits themselves pass.
        {qvrad_attrs_add_text(a.a, 18, v253.c_str()), QVRAD_OK, ""},
        {qvrad_attrs_add_vendor(a.a, 0xFFFFFF, 255, v247.data(), 247), QVRAD_OK, ""},
    };
    for (std::size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        EXPECT_EQ(rows[i].got, rows[i].want) << "row " << i;
        (void)rows[i].reason;
    }
    // Reasons, checked one call at a time (the detail is the thread's last).
    EXPECT_EQ(qvrad_attrs_add_text(a.a, 2, "x"), QVRAD_E_ARGUMENT);
    EXPECT_NE(std::string(qvrad_error_detail()).find("User-Password"), std::string::npos);
    EXPECT_EQ(qvrad_attrs_add_vendor(a.a, 9, 1, v248.data(), 248), QVRAD_E_ARGUMENT);
    EXPECT_NE(std::string(qvrad_error_detail()).find("247"), std::string::npos);

    // A list may fill a packet's 4076 octets of attributes, not one more; a login with it is
    // refused (its own attributes no longer fit) and sends nothing.
    Attrs full;
    std::size_t used = 0;
    while (used + 255 <= 4076) {
        ASSERT_EQ(qvrad_attrs_add_octets(full.a, 25, v253.data(), 253), QVRAD_OK);
        used += 255;
    }
    const std::size_t rest = 4076 - used;  // 4076 = 15 * 255 + 251
    EXPECT_EQ(qvrad_attrs_add_octets(full.a, 25, v253.data(), rest - 1), QVRAD_E_ARGUMENT);
    ASSERT_EQ(qvrad_attrs_add_octets(full.a, 25, v253.data(), rest - 2), QVRAD_OK);
    EXPECT_EQ(qvrad_attrs_add_octets(full.a, 25, "x", 1), QVRAD_E_ARGUMENT);
    EXPECT_NE(std::string(qvrad_error_detail()).find("4096"), std::string::npos);
    l = reinterpret_cast<qvrad_login*>(&c);
    EXPECT_EQ(qvrad_login_pap_attrs(c, "alice", "pw", full.a, &l), QVRAD_E_ARGUMENT);
    EXPECT_EQ(l, nullptr);
    EXPECT_EQ(r.ReceivedCount(), 1u);
    qvrad_client_free(c);

    // Accounting's own refusals.
    Client ac({r.Port()});
    EXPECT_EQ(qvrad_client_set_acct_port(ac.c, 1, 1813), QVRAD_E_ARGUMENT);  // no such server
    EXPECT_EQ(qvrad_client_set_acct_port(ac.c, 0, 0), QVRAD_E_ARGUMENT);
    EXPECT_EQ(qvrad_client_set_acct_port(ac.c, 0, 65536), QVRAD_E_ARGUMENT);
    Attrs own;
    ASSERT_EQ(qvrad_attrs_add_int(own.a, 40, 1), QVRAD_OK);
    EXPECT_EQ(qvrad_acct_send(ac.c, 4, "s", nullptr, nullptr), QVRAD_E_ARGUMENT);
    EXPECT_EQ(qvrad_acct_send(ac.c, QVRAD_ACCT_START, nullptr, nullptr, nullptr), QVRAD_E_ARGUMENT);
    EXPECT_EQ(qvrad_acct_send(ac.c, QVRAD_ACCT_STOP, "", nullptr, nullptr), QVRAD_E_ARGUMENT);
    EXPECT_EQ(qvrad_acct_send(ac.c, QVRAD_ACCT_STOP, "s", " ", nullptr), QVRAD_E_ARGUMENT);
    EXPECT_EQ(qvrad_acct_send(ac.c, QVRAD_ACCT_STOP, "s", nullptr, own.a), QVRAD_E_ARGUMENT);
    EXPECT_NE(std::string(qvrad_error_detail()).find("Acct-Status-Type"), std::string::npos);
    EXPECT_EQ(qvrad_acct_send(ac.c, QVRAD_ACCT_STOP, "s", nullptr, full.a), QVRAD_E_ARGUMENT);
    EXPECT_EQ(qvrad_acct_flush(ac.c, nullptr, nullptr), QVRAD_E_ARGUMENT);  // no spool
    EXPECT_EQ(qvrad_client_set_acct_port(ac.c, 0, 1813), QVRAD_E_BUSY);     // frozen by the calls
    EXPECT_EQ(r.ReceivedCount(), 1u);
}

#ifndef _WIN32

// A private folder of the test's own, removed with what is left in it.
struct SpoolDir {
    std::string path;
    SpoolDir() {
        char tmpl[] = "/tmp/qvrad-spool-XXXXXX";
        const char* made = ::mkdtemp(tmpl);
        EXPECT_NE(made, nullptr);
        path = made != nullptr ? made : "";
    }
    ~SpoolDir() {
        for (const std::string& name : Names()) std::remove((path + "/" + name).c_str());
        ::rmdir(path.c_str());
    }
    std::vector<std::string> Names() const {
        std::vector<std::string> out;
        if (DIR* d = ::opendir(path.c_str())) {
            for (dirent* e = ::readdir(d); e != nullptr; e = ::readdir(d))
                if (e->d_name[0] != '.' || (e->d_name[1] != '\0' && e->d_name[1] != '.'))
                    out.push_back(e->d_name);
            ::closedir(d);
        }
        std::sort(out.begin(), out.end());
        return out;
    }
};

struct SpoolClient : Client {
    SpoolClient(std::uint16_t port, const std::string& dir, std::int64_t timeoutMs = 1000)
        : Client({port}, timeoutMs, 1) {
        EXPECT_EQ(qvrad_client_set_text(c, QVRAD_OPT_SPOOL_DIR, dir.c_str()), QVRAD_OK)
            << qvrad_error_detail();
    }
};

std::string SessionOf(const Bytes& request) {
    const std::vector<Attribute> parsed = ParseAttributes(request);
    const Bytes* id = FindFirst(parsed, 44);
    return id != nullptr ? std::string(id->begin(), id->end()) : "";
}

// Records spooled while the server is silent, then flushed: each received once, oldest first,
// with its first Event-Timestamp, a grown Acct-Delay-Time and a new Identifier; files not ours
// left alone with the reason; a folder others can write to refused.
TEST(Accounting, SpoolKeepsAndFlushes) {
    SpoolDir dir;
    LoopbackResponder silent(Silent());
    {
        SpoolClient c(silent.Port(), dir.path);
        for (const char* session : {"a", "b", "c"})
            EXPECT_EQ(qvrad_acct_send(c.c, QVRAD_ACCT_START, session, "u", nullptr),
                      QVRAD_E_TIMEOUT);
    }
    ASSERT_EQ(dir.Names().size(), 3u);
    for (const std::string& name : dir.Names()) {
        struct stat st;
        ASSERT_EQ(::stat((dir.path + "/" + name).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
    }
    const std::vector<Bytes> first = silent.Received();
    ASSERT_EQ(first.size(), 3u);
    // Not ours: a file named as a record whose bytes are not one.
    const std::string forged = "acct-0000000000000000-0000000000000000.rec";
    {
        std::FILE* f = std::fopen((dir.path + "/" + forged).c_str(), "w");
        std::fputs("QVRADACC", f);
        std::fclose(f);
    }

    LoopbackResponder r(Acknowledge());
    SpoolClient c(r.Port(), dir.path);
    std::size_t sent = 0, left = 9;
    EXPECT_EQ(qvrad_acct_flush(c.c, &sent, &left), QVRAD_OK);
    EXPECT_EQ(sent, 3u);
    EXPECT_EQ(left, 0u);
    EXPECT_NE(std::string(qvrad_error_detail()).find(forged), std::string::npos)
        << qvrad_error_detail();
    const std::vector<Bytes> then = r.Received();
    ASSERT_EQ(then.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(SessionOf(then[i]), SessionOf(first[i]));  // oldest first, each once
        const std::vector<Attribute> a = ParseAttributes(first[i]), b = ParseAttributes(then[i]);
        EXPECT_EQ(Hex(*FindFirst(a, 55)), Hex(*FindFirst(b, 55)));
        EXPECT_EQ(Integer(*FindFirst(a, 41)), 0u);
        // The first waited through the two calls after it (1 s each) at least.
        EXPECT_GE(Integer(*FindFirst(b, 41)), i == 0 ? 2u : 0u);
        EXPECT_LE(Integer(*FindFirst(b, 41)), 60u);
        EXPECT_NE(then[i][1], first[i][1]);
        EXPECT_EQ(RequestAuthenticatorOf(then[i]),
                  ExpectedAccountingAuthenticator(then[i], kSecret));
    }
    EXPECT_EQ(dir.Names(), (std::vector<std::string>{forged}));

    // One record left by an outage goes with the next acknowledged call, after it.
    {
        SpoolClient down(silent.Port(), dir.path);
        EXPECT_EQ(qvrad_acct_send(down.c, QVRAD_ACCT_STOP, "d", nullptr, nullptr), QVRAD_E_TIMEOUT);
    }
    EXPECT_EQ(qvrad_acct_send(c.c, QVRAD_ACCT_START, "e", nullptr, nullptr), QVRAD_OK);
    const std::vector<Bytes> after = r.Received();
    ASSERT_EQ(after.size(), 5u);
    EXPECT_EQ(SessionOf(after[3]), "e");
    EXPECT_EQ(SessionOf(after[4]), "d");
    EXPECT_EQ(dir.Names().size(), 1u);
    // Any other file is left alone too, and named.
    {
        std::FILE* f = std::fopen((dir.path + "/notes.txt").c_str(), "w");
        std::fputs("x", f);
        std::fclose(f);
    }
    EXPECT_EQ(qvrad_acct_flush(c.c, &sent, &left), QVRAD_OK);
    EXPECT_EQ(sent, 0u);
    EXPECT_EQ(r.ReceivedCount(), 5u);
    EXPECT_NE(std::string(qvrad_error_detail()).find("notes.txt"), std::string::npos);
    EXPECT_EQ(dir.Names().size(), 2u);

    // Others may write to it: refused, and nothing is sent.
    ASSERT_EQ(::chmod(dir.path.c_str(), 0770), 0);
    qvrad_client* open = nullptr;
    ASSERT_EQ(qvrad_client_new(&open), QVRAD_OK);
    EXPECT_EQ(qvrad_client_set_text(open, QVRAD_OPT_SPOOL_DIR, dir.path.c_str()), QVRAD_E_SPOOL);
    EXPECT_NE(std::string(qvrad_error_detail()).find("others can write"), std::string::npos);
    qvrad_client_free(open);
    EXPECT_EQ(qvrad_acct_send(c.c, QVRAD_ACCT_START, "f", nullptr, nullptr), QVRAD_E_SPOOL);
    EXPECT_EQ(r.ReceivedCount(), 5u);
    ASSERT_EQ(::chmod(dir.path.c_str(), 0700), 0);
}

// A process killed (SIGKILL) after it spooled its record and before any reply: the next flush,
// by another process, sends that record, but not while another sender holds its lock.
TEST(Accounting, KilledAfterSpooling) {
    SpoolDir dir;
    LoopbackResponder silent(Silent());
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        qvrad_client* c = nullptr;
        qvrad_client_new(&c);
        qvrad_client_add_server(c, "127.0.0.1", 1, kSecret);
        qvrad_client_set_acct_port(c, 0, silent.Port());
        qvrad_client_set_int(c, QVRAD_OPT_TIMEOUT_MS, 30000);
        qvrad_client_set_text(c, QVRAD_OPT_SPOOL_DIR, dir.path.c_str());
        qvrad_acct_send(c, QVRAD_ACCT_STOP, "killed", "u", nullptr);
        ::_exit(3);  // never reached within the test: killed first
    }
    // Killed once its request reached the server: the record was on disk before that.
    for (int i = 0; i < 1000 && silent.ReceivedCount() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status));
    ASSERT_EQ(silent.ReceivedCount(), 1u);
    ASSERT_EQ(dir.Names().size(), 1u);
    LoopbackResponder r(Acknowledge());
    SpoolClient c(r.Port(), dir.path);
    std::size_t sent = 0, left = 0;
    // Another sender holds the record (its lock): a flush leaves it to that sender.
    {
        platform::FolderHandle folder = platform::kInvalidFolder;
        ASSERT_EQ(platform::FolderOpenPrivate(dir.path.c_str(), &folder),
                  platform::FolderCheck::kOk);
        bool busy = false;
        const platform::FileHandle held =
            platform::FileOpenLocked(folder, dir.Names()[0].c_str(), &busy);
        ASSERT_NE(held, platform::kInvalidFile);
        EXPECT_EQ(qvrad_acct_flush(c.c, &sent, &left), QVRAD_OK);
        EXPECT_EQ(sent, 0u);
        EXPECT_EQ(r.ReceivedCount(), 0u);
        platform::FileClose(held);
        platform::FolderClose(folder);
    }
    EXPECT_EQ(qvrad_acct_flush(c.c, &sent, &left), QVRAD_OK);
    EXPECT_EQ(sent, 1u);
    ASSERT_EQ(r.ReceivedCount(), 1u);
    EXPECT_EQ(SessionOf(r.Received()[0]), "killed");
    EXPECT_TRUE(dir.Names().empty());
}

#endif  // !_WIN32

}  // namespace
