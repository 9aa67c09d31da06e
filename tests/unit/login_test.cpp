// The structured interface (qvrad.h) against scripted loopback servers: codes, every reply
// attribute, Access-Challenge answered to the server that sent it, limits and long waits.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "login/client_config.h"
#include "login/error_detail.h"
#include "qvrad.h"
#include "support/responder.h"
#include "support/tls_peer.h"

namespace {

const char kSecret[] = "login-secret";

Bytes Text(const std::string& s) {
    return ToBytes(s);
}

// A client on these servers (loopback ports), with options set: one shared secret, or each
// server the secret of its place in secrets.
struct Client {
    qvrad_client* c = nullptr;
    explicit Client(std::vector<std::uint16_t> ports, std::int64_t timeoutMs = 2000,
                    std::vector<std::string> secrets = {}) {
        EXPECT_EQ(qvrad_client_new(&c), QVRAD_OK);
        for (std::size_t i = 0; i < ports.size(); ++i) {
            const char* secret = i < secrets.size() ? secrets[i].c_str() : kSecret;
            EXPECT_EQ(qvrad_client_add_server(c, "127.0.0.1", ports[i], secret), QVRAD_OK);
        }
        EXPECT_EQ(qvrad_client_set_int(c, QVRAD_OPT_TIMEOUT_MS, timeoutMs), QVRAD_OK);
    }
    ~Client() { qvrad_client_free(c); }
};

struct Login {
    qvrad_login* l = nullptr;
    ~Login() { qvrad_login_free(l); }
};

// The rows a login hands out, as "vendor/type=value" texts, and its messages joined by '|'.
std::vector<std::string> Rows(const qvrad_login* l) {
    std::vector<std::string> out;
    for (size_t i = 0; i < qvrad_login_attribute_count(l); ++i) {
        uint32_t vendor = 0, type = 0;
        const unsigned char* value = nullptr;
        size_t length = 0;
        EXPECT_EQ(qvrad_login_attribute(l, i, &vendor, &type, &value, &length), QVRAD_OK);
        // A row's value lies inside the packet: never more than 4096 octets.
        EXPECT_LE(length, 4096u) << "row " << i;
        if (length > 4096) length = 0;
        out.push_back(std::to_string(vendor) + "/" + std::to_string(type) + "=" +
                      Hex(Bytes(value, value + length)));
    }
    return out;
}
std::string Messages(const qvrad_login* l) {
    std::string out;
    for (size_t i = 0; i < qvrad_login_message_count(l); ++i)
        out += (i ? "|" : "") + std::string(qvrad_login_message(l, i));
    return out;
}

LoopbackResponder::Script Signed(std::uint8_t code, std::vector<Attribute> attributes) {
    const Bytes key = ToBytes(kSecret);
    const Bytes encoded = EncodeAttributes(attributes);
    return [key, code, encoded](const Bytes& request) -> std::vector<Datagram> {
        return {{SignedReplyWithMessageAuthenticator(request, key, code, encoded), 0}};
    };
}

TEST(Login, ReplyAttributesAndMessages) {
    // Vendor 9 with two sub-attributes, vendor 311 (two octets of enterprise code) with one;
    // whole, as one raw row: a sub-attribute running past the value, enterprise code 0, a
    // Vendor-Id whose high octet is not 0, a sub-attribute whose Length octet is 1 (RFC 2865
    // section 5.26).
    const Bytes vsa = FromHex(
        "00000009"
        "0105616263"
        "02047879");
    const Bytes vendor311 = FromHex("000001370105616263");
    const Bytes bad = FromHex("000001370109616263");       // sub-attribute past the value
    const Bytes reserved = FromHex("000000000105616263");  // enterprise code 0: whole
    const Bytes highOctet = FromHex("010000090105616263");
    const Bytes lengthOne = FromHex("00000009010102");  // Length 1, then one of Length 2
    LoopbackResponder r(Signed(2, {{18, Text("first")},
                                   {25, Text("group=a")},
                                   {18, Bytes{'s', 'e', 0, 'x'}},  // a NUL ends the text
                                   {26, vsa},
                                   {26, vendor311},
                                   {26, bad},
                                   {26, reserved},
                                   {26, highOctet},
                                   {26, lengthOne},
                                   {18, Text("third")}}));
    Client c({r.Port()});
    Login l;
    ASSERT_EQ(qvrad_login_pap(c.c, "alice", "pw", &l.l), QVRAD_OK);
    EXPECT_EQ(qvrad_login_code(l.l), QVRAD_CODE_ACCEPT);
    EXPECT_EQ(Messages(l.l), "first|se|third");
    const std::vector<std::string> rows = Rows(l.l);
    // Message-Authenticator, 3 texts, Class, 2 + 1 vendor rows and 4 whole Vendor-Specifics.
    ASSERT_EQ(rows.size(), 12u);
    EXPECT_EQ(rows[1], "0/18=" + Hex(Text("first")));
    EXPECT_EQ(rows[2], "0/25=" + Hex(Text("group=a")));
    EXPECT_EQ(rows[3], "0/18=73650078");
    EXPECT_EQ(rows[4], "9/1=616263");
    EXPECT_EQ(rows[5], "9/2=7879");
    EXPECT_EQ(rows[6], "311/1=616263");
    EXPECT_EQ(rows[7], "0/26=" + Hex(bad));
    EXPECT_EQ(rows[8], "0/26=" + Hex(reserved));
    EXPECT_EQ(rows[9], "0/26=" + Hex(highOctet));
    EXPECT_EQ(rows[10], "0/26=" + Hex(lengthOne));
    EXPECT_EQ(rows[11], "0/18=" + Hex(Text("third")));
    // The walk is bounded by what was received.
    uint32_t vendor = 0, type = 0;
    const unsigned char* value = nullptr;
    size_t length = 0;
    EXPECT_EQ(qvrad_login_attribute(l.l, 12, &vendor, &type, &value, &length), QVRAD_E_ARGUMENT);
    EXPECT_EQ(qvrad_login_message(l.l, 3), nullptr);
    EXPECT_EQ(qvrad_login_answer(l.l, "123456"), QVRAD_E_NOT_CHALLENGED);
    EXPECT_EQ(qvrad_login_prompt_echo(l.l), 0);
    // Each login's first Identifier is drawn at random, not 0 every time: a server's duplicate
    // detection (source address, port, Identifier) took a login on a reused ephemeral port for
    // an earlier one's retransmission. Sixteen logins drawing one value would be 1 in 2^120.
    for (int i = 0; i < 16; ++i) {
        Login again;
        ASSERT_EQ(qvrad_login_pap(c.c, "alice", "pw", &again.l), QVRAD_OK);
    }
    std::set<std::uint8_t> identifiers;
    for (const Bytes& request : r.Received()) identifiers.insert(request[1]);
    EXPECT_GT(identifiers.size(), 1u);
}

// A scripted multi-factor server: a request without State gets an Access-Challenge (with the
// State given, if any, and a Prompt), one with it and the code "123456" an Accept, any other a
// Reject. Every request is kept.
struct ChallengeServer {
    Bytes state;
    std::vector<Attribute> extra;  // added to each challenge
    int challengeAlways = 0;       // challenge this many answers again
    std::string secret = kSecret;
    Bytes prompt = {0, 0, 0, 1};  // the challenge's Prompt (RFC 2869 section 5.10): Echo
    std::shared_ptr<std::atomic<int>> answered = std::make_shared<std::atomic<int>>(0);

    LoopbackResponder::Script Script() const {
        const Bytes key = ToBytes(secret);
        const Bytes s = state;
        const Bytes p = prompt;
        const std::vector<Attribute> more = extra;
        const int again = challengeAlways;
        auto count = answered;
        return [key, s, p, more, again, count](const Bytes& request) -> std::vector<Datagram> {
            const std::vector<Attribute> got = ParseAttributes(request);
            const Bytes* password = FindFirst(got, 2);
            if (password == nullptr) return {};
            const Bytes plain = RevealPassword(*password, key, RequestAuthenticatorOf(request));
            const std::string text(plain.begin(), std::find(plain.begin(), plain.end(), 0));
            std::vector<Attribute> attributes = {{18, Text("Enter the code")}, {76, p}};
            if (!s.empty()) attributes.push_back({24, s});
            attributes.insert(attributes.end(), more.begin(), more.end());
            std::uint8_t code = 11;
            if (FindFirst(got, 24) != nullptr || (s.empty() && text != "pw")) {
                const int n = count->fetch_add(1);
                if (n >= again) {
                    code = text == "123456" ? 2 : 3;
                    attributes = {{25, Text("group=otp")}};
                }
            }
            return {{SignedReplyWithMessageAuthenticator(request, key, code,
                                                         EncodeAttributes(attributes)),
                     0}};
        };
    }
};

// Challenges answered: the State echoed byte for byte (none when the challenge had none), the
// Prompt read (echo only for 1), the answer sent only to the server that challenged and hidden
// with its own secret, in every round, and the limits.
TEST(Login, ChallengeAnswered) {
    const Bytes longState(253, 0xA5);
    const Bytes echo = {0, 0, 0, 1}, noEcho = {0, 0, 0, 0};
    const struct {
        const char* name;
        Bytes state;
        Bytes prompt;
        int rounds;  // challenges before the verdict
        const char* answer;
        int wantCode;
    } rows[] = {
        {"state", Text("s-1"), echo, 1, "123456", QVRAD_CODE_ACCEPT},
        {"long_state", longState, echo, 1, "123456", QVRAD_CODE_ACCEPT},
        {"wrong_code_prompt_no_echo", Text("s-1"), noEcho, 1, "000000", QVRAD_CODE_REJECT},
        {"no_state", Bytes(), echo, 1, "123456", QVRAD_CODE_ACCEPT},
        {"second_round", Text("s-2"), echo, 2, "123456", QVRAD_CODE_ACCEPT},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ChallengeServer mfa;
        mfa.state = row.state;
        mfa.prompt = row.prompt;
        mfa.challengeAlways = row.rounds - 1;
        mfa.secret = "second-server-secret";  // the first server's is another
        LoopbackResponder first(Silent());
        LoopbackResponder second(mfa.Script());
        Client c({first.Port(), second.Port()}, 2000, {kSecret, mfa.secret});
        Login l;
        ASSERT_EQ(qvrad_login_pap(c.c, "alice", "pw", &l.l), QVRAD_OK);
        const std::size_t toFirst = first.ReceivedCount();
        for (int round = 1; round <= row.rounds; ++round) {
            EXPECT_EQ(qvrad_login_code(l.l), QVRAD_CODE_CHALLENGE) << "round " << round;
            EXPECT_EQ(Messages(l.l), "Enter the code");
            EXPECT_EQ(qvrad_login_prompt_echo(l.l), row.prompt == echo ? 1 : 0);
            ASSERT_EQ(qvrad_login_answer(l.l, round < row.rounds ? "1" : row.answer), QVRAD_OK)
                << "round " << round;
        }
        EXPECT_EQ(qvrad_login_code(l.l), row.wantCode);
        EXPECT_EQ(qvrad_login_prompt_echo(l.l), 0);
        EXPECT_EQ(first.ReceivedCount(), toFirst);  // the answers stayed on the second server
        const std::vector<Bytes> got = second.Received();
        ASSERT_EQ(got.size(), static_cast<std::size_t>(row.rounds) + 1);
        EXPECT_EQ(FindFirst(ParseAttributes(got[0]), 24), nullptr);  // a new login carries none
        for (std::size_t i = 1; i < got.size(); ++i) {
            const std::vector<Attribute> answer = ParseAttributes(got[i]);
            const Bytes* state = FindFirst(answer, 24);
            EXPECT_EQ(state != nullptr ? Hex(*state) : "none",
                      row.state.empty() ? "none" : Hex(row.state));
            EXPECT_NE(got[i - 1][1], got[i][1]);  // a new Identifier
            // RFC 2865 section 5.2, with the second server's secret.
            const Bytes* hidden = FindFirst(answer, 2);
            ASSERT_NE(hidden, nullptr);
            const Bytes plain =
                RevealPassword(*hidden, Text(mfa.secret), RequestAuthenticatorOf(got[i]));
            EXPECT_EQ(std::string(plain.begin(), std::find(plain.begin(), plain.end(), 0)),
                      i < got.size() - 1 ? "1" : row.answer);
        }
        EXPECT_EQ(qvrad_login_answer(l.l, "123456"), QVRAD_E_NOT_CHALLENGED);
    }
}

// Each server is held to the reply-signing rule that was set when it was added (RFC 3579
// section 3.2, CVE-2024-3596): an unsigned Accept from the second server is discarded when it
// must sign, though the first need not, and taken when only the first must.
TEST(Login, EachServerItsOwnSigningRule) {
    const struct {
        const char* name;
        int first, second;
        int status;
    } rows[] = {
        {"second_must_sign", QVRAD_REQUIRE_NO, QVRAD_REQUIRE_YES, QVRAD_E_TIMEOUT},
        {"first_must_sign", QVRAD_REQUIRE_YES, QVRAD_REQUIRE_NO, QVRAD_OK},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        LoopbackResponder first(Silent());
        LoopbackResponder second(AnswerWith(kSecret, 2, {{18, Text("unsigned")}}));
        qvrad_client* c = nullptr;
        ASSERT_EQ(qvrad_client_new(&c), QVRAD_OK);
        EXPECT_EQ(qvrad_client_set_int(c, QVRAD_OPT_TIMEOUT_MS, 2000), QVRAD_OK);
        EXPECT_EQ(qvrad_client_set_int(c, QVRAD_OPT_REQUIRE_MESSAGE_AUTHENTICATOR, row.first),
                  QVRAD_OK);
        EXPECT_EQ(qvrad_client_add_server(c, "127.0.0.1", first.Port(), kSecret), QVRAD_OK);
        EXPECT_EQ(qvrad_client_set_int(c, QVRAD_OPT_REQUIRE_MESSAGE_AUTHENTICATOR, row.second),
                  QVRAD_OK);
        EXPECT_EQ(qvrad_client_add_server(c, "127.0.0.1", second.Port(), kSecret), QVRAD_OK);
        Login l;
        EXPECT_EQ(qvrad_login_pap(c, "alice", "pw", &l.l), row.status);
        EXPECT_EQ(Messages(l.l), row.status == QVRAD_OK ? "unsigned" : "");
        EXPECT_EQ(second.ReceivedCount(), 1u);  // the second server was asked
        qvrad_login_free(l.l);
        l.l = nullptr;
        qvrad_client_free(c);
    }
}

// Challenges that are discarded, or that never end, or a server that falls silent.
TEST(Login, ChallengeLimits) {
    // A challenge with two States, one with an empty State, and one whose Message-Authenticator
    // does not verify: all discarded (RFC 2865 sections 5.44 and 5.24, RFC 3579 section 3.2), so
    // no reply within the timeout.
    const Bytes key = ToBytes(kSecret);
    LoopbackResponder twoStates(Signed(11, {{24, Text("a")}, {24, Text("b")}}));
    LoopbackResponder emptyState(Signed(11, {{24, Bytes()}}));
    LoopbackResponder badSignature([key](const Bytes& request) -> std::vector<Datagram> {
        Bytes reply = SignedReplyWithMessageAuthenticator(request, key, 11,
                                                          EncodeAttributes({{24, Text("a")}}));
        reply[22] ^= 1;  // the Message-Authenticator's first octet
        Resign(reply, request, key);
        return {{reply, 0}};
    });
    for (LoopbackResponder* r : {&twoStates, &emptyState, &badSignature}) {
        Client c({r->Port()}, 1000);
        Login l;
        EXPECT_EQ(qvrad_login_pap(c.c, "alice", "pw", &l.l), QVRAD_E_TIMEOUT);
        EXPECT_EQ(l.l, nullptr);
    }
    // A server that challenges every answer: MAX_CHALLENGES of them reach the caller, the next
    // ends the login.
    ChallengeServer forever;
    forever.state = Text("again");
    forever.challengeAlways = 100;
    LoopbackResponder endless(forever.Script());
    Client c({endless.Port()}, 1000);
    ASSERT_EQ(qvrad_client_set_int(c.c, QVRAD_OPT_MAX_CHALLENGES, 2), QVRAD_OK);
    Login l;
    ASSERT_EQ(qvrad_login_pap(c.c, "alice", "pw", &l.l), QVRAD_OK);
    EXPECT_EQ(qvrad_login_answer(l.l, "1"), QVRAD_OK);
    EXPECT_EQ(qvrad_login_code(l.l), QVRAD_CODE_CHALLENGE);
    EXPECT_EQ(qvrad_login_answer(l.l, "2"), QVRAD_E_TOO_MANY_CHALLENGES);
    EXPECT_STREQ(qvrad_error_detail(),
                 "the server sent Access-Challenge number 3; QVRAD_OPT_MAX_CHALLENGES allows 2");
    EXPECT_EQ(qvrad_login_code(l.l), 0);
    EXPECT_EQ(qvrad_login_message_count(l.l), 0u);
    EXPECT_EQ(qvrad_login_answer(l.l, "3"), QVRAD_E_NOT_CHALLENGED);
    EXPECT_NE(std::string(qvrad_error_detail()).find("login: not waiting for an answer"),
              std::string::npos);
    // An answer that gets no reply ends the challenge too.
    ChallengeServer once;
    once.state = Text("s");
    auto first = std::make_shared<std::atomic<bool>>(true);
    const LoopbackResponder::Script challenge = once.Script();
    LoopbackResponder thenSilent([challenge, first](const Bytes& request) {
        return first->exchange(false) ? challenge(request) : std::vector<Datagram>{};
    });
    Client quiet({thenSilent.Port()}, 1000);
    Login q;
    ASSERT_EQ(qvrad_login_pap(quiet.c, "alice", "pw", &q.l), QVRAD_OK);
    // A refused answer leaves the challenge standing; its detail tells the answer's length only.
    const std::string longAnswer(129, '7');
    EXPECT_EQ(qvrad_login_answer(q.l, longAnswer.c_str()), QVRAD_E_ARGUMENT);
    EXPECT_STREQ(qvrad_error_detail(),
                 "answer: 129 octets; an answer goes as a password: 1 to 128 octets (RFC 2865 "
                 "section 5.2)");
    EXPECT_EQ(qvrad_login_answer(q.l, ""), QVRAD_E_ARGUMENT);
    EXPECT_NE(std::string(qvrad_error_detail()).find("answer: empty"), std::string::npos);
    EXPECT_EQ(qvrad_login_answer(q.l, "123456"), QVRAD_E_TIMEOUT);
    EXPECT_NE(std::string(qvrad_error_detail()).find("): silent after "), std::string::npos)
        << qvrad_error_detail();
    EXPECT_EQ(qvrad_login_answer(q.l, "123456"), QVRAD_E_NOT_CHALLENGED);
}

// Arguments are refused before anything is sent, each with a detail naming the argument, its
// rule and the value's length, never the octets of a secret or password; the first login freezes
// the client, and a call that succeeds clears the detail.
TEST(Login, ArgumentsAndFreezing) {
    LoopbackResponder r(Signed(3, {}));
    qvrad_client* c = nullptr;
    ASSERT_EQ(qvrad_client_new(&c), QVRAD_OK);
    const std::string longHost(256, 'h'), secret257(257, 's'), user254(254, 'u'),
        password129(129, 'p'), password2100(2100, 'q'), identity129(129, 'i');
    // A refused login sets *login to NULL, whatever it held.
    const auto pap = [&c](const char* user, const char* password) {
        qvrad_login* l = reinterpret_cast<qvrad_login*>(&c);
        const int status = qvrad_login_pap(c, user, password, &l);
        EXPECT_EQ(l, nullptr);
        return status;
    };
    struct Row {
        std::function<int()> call;
        int want;
        const char* words;   // in qvrad_error_detail() after the call
        const char* hidden;  // never in it: octets of the value refused
    } rows[] = {
        {[] { return qvrad_client_new(nullptr); }, QVRAD_E_ARGUMENT, "client: NULL", ""},
        {[] { return qvrad_client_add_server(nullptr, "127.0.0.1", 1812, "s"); }, QVRAD_E_ARGUMENT,
         "client: NULL", ""},
        {[&] { return qvrad_client_add_server(c, nullptr, 1812, "s"); }, QVRAD_E_ARGUMENT,
         "host: NULL", ""},
        {[&] { return qvrad_client_add_server(c, "", 1812, "s"); }, QVRAD_E_ARGUMENT, "host: empty",
         ""},
        {[&] { return qvrad_client_add_server(c, longHost.c_str(), 1812, "s"); }, QVRAD_E_ARGUMENT,
         "host: 256 octets; at most 255", ""},
        {[&] { return qvrad_client_add_server(c, "127.0.0.1,127.0.0.2", 1812, "s"); },
         QVRAD_E_ARGUMENT, "host: holds a comma", ""},
        {[&] { return qvrad_client_add_server(c, "127.0.0.1", 0, "s"); }, QVRAD_E_ARGUMENT,
         "port: 0; 1 to 65535", ""},
        {[&] { return qvrad_client_add_server(c, "127.0.0.1", 65536, "s"); }, QVRAD_E_ARGUMENT,
         "port: 65536; 1 to 65535", ""},
        {[&] { return qvrad_client_add_server(c, "127.0.0.1", 1812, ""); }, QVRAD_E_ARGUMENT,
         "secret: empty; 1 to 256 octets", ""},
        {[&] { return qvrad_client_add_server(c, "127.0.0.1", 1812, secret257.c_str()); },
         QVRAD_E_ARGUMENT, "secret: 257 octets; at most 256", "ssssssss"},
        {[&] { return qvrad_client_add_server(c, "tls://", 2083, "s"); }, QVRAD_E_ARGUMENT,
         "host: tls:// names no host", ""},
        {[&] { return qvrad_client_set_int(c, QVRAD_OPT_TIMEOUT_MS, 999); }, QVRAD_E_ARGUMENT,
         "QVRAD_OPT_TIMEOUT_MS: 999; 1000 to 300000 ms", ""},
        {[&] { return qvrad_client_set_int(c, QVRAD_OPT_TIMEOUT_MS, 300001); }, QVRAD_E_ARGUMENT,
         "QVRAD_OPT_TIMEOUT_MS: 300001; 1000 to 300000 ms", ""},
        {[&] { return qvrad_client_set_int(c, QVRAD_OPT_MAX_TRANSMISSIONS, 6); }, QVRAD_E_ARGUMENT,
         "QVRAD_OPT_MAX_TRANSMISSIONS: 6; 1 to 5", ""},
        {[&] { return qvrad_client_set_int(c, QVRAD_OPT_REQUIRE_MESSAGE_AUTHENTICATOR, 3); },
         QVRAD_E_ARGUMENT, "QVRAD_OPT_REQUIRE_MESSAGE_AUTHENTICATOR: 3; -1 to 2", ""},
        {[&] { return qvrad_client_set_int(c, 999, 1); }, QVRAD_E_ARGUMENT,
         "option: no QVRAD_OPT_* option of qvrad_client_set_int", ""},
        {[&] { return qvrad_client_set_int(c, QVRAD_OPT_NAS_IDENTIFIER, 1); }, QVRAD_E_ARGUMENT,
         "QVRAD_OPT_NAS_IDENTIFIER takes a text: set it with qvrad_client_set_text", ""},
        {[&] { return qvrad_client_set_text(c, QVRAD_OPT_NAS_IP_ADDRESS, "not an address"); },
         QVRAD_E_ARGUMENT, "QVRAD_OPT_NAS_IP_ADDRESS: not an IPv4 or IPv6 address", ""},
        {[&] { return qvrad_client_set_text(c, QVRAD_OPT_TLS_PSK_IDENTITY, identity129.c_str()); },
         QVRAD_E_ARGUMENT, "QVRAD_OPT_TLS_PSK_IDENTITY: 129 octets; at most 128", "iiiiiiii"},
        {[&] { return pap("alice", "pw"); }, QVRAD_E_ARGUMENT, "client: has no server", ""},
        {[&] { return qvrad_client_add_server(c, "127.0.0.1", r.Port(), kSecret); }, QVRAD_OK, "",
         ""},
        {[&] { return qvrad_login_pap(c, "alice", "pw", nullptr); }, QVRAD_E_ARGUMENT,
         "login: NULL", ""},
        {[&] { return pap(nullptr, "pw"); }, QVRAD_E_ARGUMENT, "user: NULL", ""},
        {[&] { return pap("", "pw"); }, QVRAD_E_ARGUMENT,
         "user: empty; a User-Name holds 1 to 253 octets", ""},
        {[&] { return pap(" \t", "pw"); }, QVRAD_E_ARGUMENT, "user: white space only", ""},
        {[&] { return pap(user254.c_str(), "pw"); }, QVRAD_E_ARGUMENT,
         "user: 254 octets; a User-Name holds 1 to 253 octets", "uuuuuuuu"},
        {[&] { return pap("alice", nullptr); }, QVRAD_E_ARGUMENT, "password: NULL", ""},
        {[&] { return pap("alice", password129.c_str()); }, QVRAD_E_ARGUMENT,
         "password: 129 octets; a PAP password is 1 to 128 octets", "pppppppp"},
        {[&] { return pap("alice", password2100.c_str()); }, QVRAD_E_ARGUMENT,
         "password: 2048 octets or more", "qqqqqqqq"},
        {[&] { return qvrad_login_answer(nullptr, "1"); }, QVRAD_E_ARGUMENT, "login: NULL", ""},
    };
    for (std::size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        SCOPED_TRACE("row " + std::to_string(i));
        SetErrorDetail("an earlier reason");  // every call sets the detail anew
        EXPECT_EQ(rows[i].call(), rows[i].want);
        const std::string detail = qvrad_error_detail();
        if (rows[i].words[0] == '\0') {
            EXPECT_EQ(detail, "");
        } else {
            EXPECT_NE(detail.find(rows[i].words), std::string::npos) << detail;
        }
        if (rows[i].hidden[0] != '\0') {
            EXPECT_EQ(detail.find(rows[i].hidden), std::string::npos) << detail;
        }
    }
    EXPECT_EQ(r.ReceivedCount(), 0u);
    Login l;
    ASSERT_EQ(qvrad_login_pap(c, "alice", "pw", &l.l), QVRAD_OK);
    EXPECT_STREQ(qvrad_error_detail(), "");
    EXPECT_EQ(qvrad_login_code(l.l), QVRAD_CODE_REJECT);
    EXPECT_EQ(qvrad_client_add_server(c, "127.0.0.1", 1, "s"), QVRAD_E_BUSY);
    EXPECT_NE(std::string(qvrad_error_detail()).find("client: frozen by its first login"),
              std::string::npos);
    EXPECT_EQ(qvrad_client_set_int(c, QVRAD_OPT_TIMEOUT_MS, 2000), QVRAD_E_BUSY);
    EXPECT_EQ(qvrad_client_set_text(c, QVRAD_OPT_NAS_IDENTIFIER, "x"), QVRAD_E_BUSY);
    EXPECT_EQ(qvrad_login_code(nullptr), 0);
    EXPECT_STREQ(qvrad_strerror(12345), "unknown status");
    qvrad_login_free(nullptr);
    qvrad_client_free(nullptr);
    qvrad_login_free(l.l);
    l.l = nullptr;
    qvrad_client_free(c);
}

// A name service stand-in: "nowhere.test" fails with a code of the system's kind, any other
// name with kResolveNoAddress. Nothing reaches the real resolver.
constexpr int kFakeResolverCode = -2;  // glibc's EAI_NONAME
int FakeResolve(const char*, const char*, platform::IpAddress* first4,
                platform::IpAddress* first6) {
    *first4 = platform::IpAddress();
    *first6 = platform::IpAddress();
    return kFakeResolverCode;
}
const ClientNetwork kFakeNetwork = {FakeResolve, kPlatformNetwork.openSocket};

// A login without a verified reply says what each server did: silent after its transmissions,
// replies discarded with the first one's reason, a name that did not resolve in the name
// service's words. Under each status the detail of the entries, in the client's order.
TEST(Login, FailedLoginsSayWhatEachServerDid) {
    const Bytes key = ToBytes(kSecret);
    LoopbackResponder silent(Silent());
    LoopbackResponder wrongSecret(AnswerWith("another-secret", 2, {}));
    LoopbackResponder unsignedReply(AnswerWith(kSecret, 2, {}));
    const std::string resolverWords = platform::ResolverWords(kFakeResolverCode);
    ASSERT_NE(resolverWords, platform::ResolverWords(platform::kResolveNoAddress));
    const auto at = [](const LoopbackResponder& r) { return "127.0.0.1 port " + r.PortText(); };
    const struct {
        const char* name;
        std::vector<std::pair<std::string, std::uint16_t>> servers;
        bool requireSigned;
        int status;
        std::vector<std::string> words;  // in this order
    } rows[] = {
        {"silent",
         {{"127.0.0.1", silent.Port()}},
         false,
         QVRAD_E_TIMEOUT,
         {"no verified reply within 1 s: server 1 (" + at(silent) + "): silent after "}},
        {"wrong secret",
         {{"127.0.0.1", wrongSecret.Port()}},
         false,
         QVRAD_E_TIMEOUT,
         {"server 1 (" + at(wrongSecret) + "): ", " discarded",
          "bad Response Authenticator (wrong secret?)"}},
        {"unsigned",
         {{"127.0.0.1", unsignedReply.Port()}},
         true,
         QVRAD_E_TIMEOUT,
         {"discarded", "missing Message-Authenticator, which this server must send"}},
        {"unresolved",
         {{"nowhere.test", 1812}},
         false,
         QVRAD_E_RESOLVE,
         {"no server could be resolved or reached: server 1 (nowhere.test port 1812): the name "
          "did not resolve: " +
          resolverWords}},
        {"no host name",
         {{"[::1", 1812}},
         false,
         QVRAD_E_RESOLVE,
         {"server 1 ([::1 port 1812): not an IP address, and no host name"}},
        {"a list",
         {{"nowhere.test", 1812}, {"127.0.0.1", silent.Port()}},
         false,
         QVRAD_E_TIMEOUT,
         {"server 1 (nowhere.test port 1812): the name did not resolve",
          "; server 2 (" + at(silent) + "): silent after "}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        qvrad_client* c = nullptr;
        ASSERT_EQ(qvrad_client_new(&c), QVRAD_OK);
        c->network = &kFakeNetwork;
        ASSERT_EQ(qvrad_client_set_int(c, QVRAD_OPT_TIMEOUT_MS, 1000), QVRAD_OK);
        if (row.requireSigned) {
            ASSERT_EQ(
                qvrad_client_set_int(c, QVRAD_OPT_REQUIRE_MESSAGE_AUTHENTICATOR, QVRAD_REQUIRE_YES),
                QVRAD_OK);
        }
        for (const auto& server : row.servers)
            ASSERT_EQ(qvrad_client_add_server(c, server.first.c_str(), server.second, kSecret),
                      QVRAD_OK);
        Login l;
        EXPECT_EQ(qvrad_login_pap(c, "alice", "pw", &l.l), row.status);
        const std::string detail = qvrad_error_detail();
        std::size_t from = 0;
        for (const std::string& word : row.words) {
            const std::size_t found = detail.find(word, from);
            EXPECT_NE(found, std::string::npos) << "\"" << word << "\" in " << detail;
            if (found != std::string::npos) from = found + word.size();
        }
        EXPECT_EQ(detail.find(kSecret), std::string::npos) << detail;
        qvrad_client_free(c);
    }
    // A TLS failure's reason is gone from the detail once a later call is refused, and once a
    // later call succeeds.
    if (!TlsBuiltIn()) return;
    TempFile psk("00112233445566778899aabbccddeeff\n");
    std::uint16_t closed = 0;
    {
        TcpListener gone;
        closed = gone.port;
    }
    qvrad_client* c = nullptr;
    ASSERT_EQ(qvrad_client_new(&c), QVRAD_OK);
    ASSERT_EQ(qvrad_client_set_text(c, QVRAD_OPT_TLS_PSK_IDENTITY, "nas-1"), QVRAD_OK);
    ASSERT_EQ(qvrad_client_set_text(c, QVRAD_OPT_TLS_PSK_FILE, psk.path.c_str()), QVRAD_OK);
    ASSERT_EQ(qvrad_client_add_server(c, "tls://127.0.0.1", closed, kSecret), QVRAD_OK);
    Login failed;
    EXPECT_EQ(qvrad_login_pap(c, "alice", "pw", &failed.l), QVRAD_E_TLS);
    EXPECT_NE(std::string(qvrad_error_detail()).find("refused"), std::string::npos)
        << qvrad_error_detail();
    EXPECT_EQ(qvrad_login_pap(c, "", "pw", &failed.l), QVRAD_E_ARGUMENT);
    EXPECT_STREQ(qvrad_error_detail(),
                 "user: empty; a User-Name holds 1 to 253 octets (RFC 2865 section 5.1)");
    EXPECT_EQ(qvrad_login_pap(c, "alice", "pw", &failed.l), QVRAD_E_TLS);
    qvrad_client_free(c);
    LoopbackResponder answering(Signed(2, {}));
    Client ok({answering.Port()});
    Login l;
    ASSERT_EQ(qvrad_login_pap(ok.c, "alice", "pw", &l.l), QVRAD_OK);
    EXPECT_STREQ(qvrad_error_detail(), "");
}

// A push approval may take most of a minute: a server that holds its reply 45 s is sent the same
// bytes five times at most (about 0, 2, 6, 14 and 30 s), then waited for.
TEST(Login, LongWaitForAHeldReply) {
    const Bytes key = ToBytes(kSecret);
    auto seen = std::make_shared<std::atomic<int>>(0);
    LoopbackResponder held([key, seen](const Bytes& request) -> std::vector<Datagram> {
        if (seen->fetch_add(1) != 4) return {};  // the fifth copy is answered 15 s later
        return {{SignedReplyWithMessageAuthenticator(request, key, 2, {}), 15000}};
    });
    Client c({held.Port()}, 60000);
    Login l;
    ASSERT_EQ(qvrad_login_pap(c.c, "alice", "pw", &l.l), QVRAD_OK);
    EXPECT_EQ(qvrad_login_code(l.l), QVRAD_CODE_ACCEPT);
    const std::vector<Bytes> got = held.Received();
    const std::vector<double> at = held.ReceivedTimes();
    ASSERT_EQ(got.size(), 5u);
    for (std::size_t i = 1; i < got.size(); ++i) EXPECT_EQ(Hex(got[i]), Hex(got[0]));
    EXPECT_NEAR(at[4] - at[0], 30.0, 3.5);  // RFC 5080's doubling, +-10 %, at most 16 s
}

}  // namespace
