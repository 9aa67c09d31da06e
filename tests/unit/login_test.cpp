// The structured interface (qvrad.h) against scripted loopback servers: codes, every reply
// attribute, Access-Challenge answered to the server that sent it, limits and long waits.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "qvrad.h"
#include "support/responder.h"

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
    EXPECT_EQ(qvrad_login_code(l.l), 0);
    EXPECT_EQ(qvrad_login_message_count(l.l), 0u);
    EXPECT_EQ(qvrad_login_answer(l.l, "3"), QVRAD_E_NOT_CHALLENGED);
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
    EXPECT_EQ(qvrad_login_answer(q.l, "123456"), QVRAD_E_TIMEOUT);
    EXPECT_EQ(qvrad_login_answer(q.l, "123456"), QVRAD_E_NOT_CHALLENGED);
}

// Arguments are refused before anything is sent; the first login freezes the client.
TEST(Login, ArgumentsAndFreezing) {
    LoopbackResponder r(Signed(3, {}));
    qvrad_client* c = nullptr;
    ASSERT_EQ(qvrad_client_new(&c), QVRAD_OK);
    const std::string longHost(256, 'h'), secret257(257, 's'), user254(254, 'u'),
        password129(129, 'p');
    const struct {
        int got;
        int want;
    } rows[] = {
        {qvrad_client_new(nullptr), QVRAD_E_ARGUMENT},
        {qvrad_client_add_server(nullptr, "127.0.0.1", 1812, "s"), QVRAD_E_ARGUMENT},
        {qvrad_client_add_server(c, nullptr, 1812, "s"), QVRAD_E_ARGUMENT},
        {qvrad_client_add_server(c, "", 1812, "s"), QVRAD_E_ARGUMENT},
        {qvrad_client_add_server(c, longHost.c_str(), 1812, "s"), QVRAD_E_ARGUMENT},
        {qvrad_client_add_server(c, "127.0.0.1,127.0.0.2", 1812, "s"), QVRAD_E_ARGUMENT},
        {qvrad_client_add_server(c, "127.0.0.1", 0, "s"), QVRAD_E_ARGUMENT},
        {qvrad_client_add_server(c, "127.0.0.1", 65536, "s"), QVRAD_E_ARGUMENT},
        {qvrad_client_add_server(c, "127.0.0.1", 1812, ""), QVRAD_E_ARGUMENT},
        {qvrad_client_add_server(c, "127.0.0.1", 1812, secret257.c_str()), QVRAD_E_ARGUMENT},
        {qvrad_client_set_int(c, QVRAD_OPT_TIMEOUT_MS, 999), QVRAD_E_ARGUMENT},
        {qvrad_client_set_int(c, QVRAD_OPT_TIMEOUT_MS, 300001), QVRAD_E_ARGUMENT},
        {qvrad_client_set_int(c, QVRAD_OPT_MAX_TRANSMISSIONS, 6), QVRAD_E_ARGUMENT},
        {qvrad_client_set_int(c, QVRAD_OPT_REQUIRE_MESSAGE_AUTHENTICATOR, 3), QVRAD_E_ARGUMENT},
        {qvrad_client_set_int(c, 999, 1), QVRAD_E_ARGUMENT},
        {qvrad_client_set_text(c, QVRAD_OPT_NAS_IP_ADDRESS, "not an address"), QVRAD_E_ARGUMENT},
        {qvrad_client_add_server(c, "127.0.0.1", r.Port(), kSecret), QVRAD_OK},
        {qvrad_login_pap(c, "alice", "pw", nullptr), QVRAD_E_ARGUMENT},
    };
    for (std::size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i)
        EXPECT_EQ(rows[i].got, rows[i].want) << "row " << i;
    const struct {
        const char* user;
        const char* password;
    } refused[] = {{nullptr, "pw"},         {"", "pw"},         {" \t", "pw"},
                   {user254.c_str(), "pw"}, {"alice", nullptr}, {"alice", password129.c_str()}};
    for (const auto& k : refused) {
        qvrad_login* l = reinterpret_cast<qvrad_login*>(&c);  // must come back NULL
        EXPECT_EQ(qvrad_login_pap(c, k.user, k.password, &l), QVRAD_E_ARGUMENT);
        EXPECT_EQ(l, nullptr);
    }
    EXPECT_EQ(r.ReceivedCount(), 0u);
    Login l;
    ASSERT_EQ(qvrad_login_pap(c, "alice", "pw", &l.l), QVRAD_OK);
    EXPECT_EQ(qvrad_login_code(l.l), QVRAD_CODE_REJECT);
    EXPECT_EQ(qvrad_client_add_server(c, "127.0.0.1", 1, "s"), QVRAD_E_BUSY);
    EXPECT_EQ(qvrad_client_set_int(c, QVRAD_OPT_TIMEOUT_MS, 2000), QVRAD_E_BUSY);
    EXPECT_EQ(qvrad_client_set_text(c, QVRAD_OPT_NAS_IDENTIFIER, "x"), QVRAD_E_BUSY);
    EXPECT_EQ(qvrad_login_answer(nullptr, "1"), QVRAD_E_ARGUMENT);
    EXPECT_EQ(qvrad_login_code(nullptr), 0);
    EXPECT_STREQ(qvrad_strerror(12345), "unknown status");
    qvrad_login_free(nullptr);
    qvrad_client_free(nullptr);
    qvrad_login_free(l.l);
    l.l = nullptr;
    qvrad_client_free(c);
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
