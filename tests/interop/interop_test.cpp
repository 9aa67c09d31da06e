// qvRadClient against a real FreeRADIUS 3.2: every users.tsv row, the shared-secret lengths both
// ends take, lost and refused exchanges, and the server's own log of the password we hid.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "fr_server.h"
#include "qvRadClient.h"
#include "qvrad.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

const char kInvalidInput[] = "6007#0#INVALID_INPUT_ERR";
const char kNetworkFail[] = "6040#0#ERR_NETWORK_FAIL";
const char kInvalidFormat[] = "6041#0#ERR_INVALID_RADIUS_FORMAT";

// Answered exchanges take milliseconds; the bound only has to tell them from a timeout (5 s)
// on a busy machine. Lost ones must wait out their 1-second timeout, and not much longer.
const char kAnsweredTimeout[] = "5";
const char kLostTimeout[] = "1";
constexpr double kAnsweredWithin = 3.0;
constexpr double kLostAtLeast = 0.9;
constexpr double kLostWithin = 3.0;

struct Outcome {
    std::string text;
    double seconds;
};

// The returned buffer is shared by every call, so it is copied at once.
Outcome Auth(const std::string& host, const std::string& port, const std::string& secret,
             const std::string& user, const std::string& password, const char* timeout) {
    const auto start = std::chrono::steady_clock::now();
    const char* text =
        auth(host.c_str(), port.c_str(), secret.c_str(), user.c_str(), password.c_str(), timeout);
    Outcome outcome{text == nullptr ? std::string("<null>") : std::string(text), 0.0};
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    outcome.seconds = took.count();
    return outcome;
}

const std::vector<FrUser>& UsersTable() {
    static std::string error;
    static const std::vector<FrUser> rows = ReadUsersTable(&error);
    return rows;
}

const FrUser* FindRow(const std::string& key) {
    for (const FrUser& row : UsersTable())
        if (row.key == key) return &row;
    return nullptr;
}

// -1 where descriptors are not what the process holds: Wine shows its own files in
// /proc/self/fd, and they come and go (the build defines QVRAD_NO_DESCRIPTOR_COUNT there).
int OpenDescriptors() {
#ifdef QVRAD_NO_DESCRIPTOR_COUNT
    return -1;
#endif
    std::error_code error;
    const std::filesystem::path fds("/proc/self/fd");
    if (!std::filesystem::is_directory(fds, error)) return -1;
    int count = 0;
    for (std::filesystem::directory_iterator it(fds, error), end; !error && it != end;
         it.increment(error))
        ++count;
    return count;
}

// How a row names the server: its IPv4 address, or ::1 bare or in brackets (the library takes
// an IPv6 literal in either form).
enum class Via { kIPv4, kIPv6, kIPv6Bracketed };

class FreeRadius : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        const bool loaded = LoadServer(&server, &error);
        if (!server.Get("QVRAD_FR_UNAVAILABLE").empty()) GTEST_SKIP() << error;
        ASSERT_TRUE(loaded) << error;
    }

    Outcome Login(const std::string& listener, const std::string& user, const std::string& password,
                  const char* timeout = kAnsweredTimeout) {
        return Auth(server.Host(), server.Port(listener), server.Secret(listener), user, password,
                    timeout);
    }

    // The server argument for a row to listener over via. False where the server could not
    // listen on ::1 (IPv6 disabled here): that row is skipped, saying why, and the others run.
    bool HostFor(Via via, const std::string& listener, std::string* host) {
        if (via == Via::kIPv4) {
            *host = server.Host();
            return true;
        }
        if (server.Host6().empty()) {
            std::printf("IPv6 row to %s not run: the server has no ::1 listener (%s)\n",
                        listener.c_str(), server.NoIPv6().c_str());
            return false;
        }
        EXPECT_TRUE(server.Listens6(listener)) << listener << " does not listen on ::1";
        *host = via == Via::kIPv6 ? server.Host6() : "[" + server.Host6() + "]";
        return true;
    }

    FrServer server;
};

// ---- every users.tsv row through auth -------------------------------------------------------

// What the server of a nas-echo row answers the library from localAddress with, for the settings
// as CTest gave them to this process (the library read them at load, the DLL at process attach):
// QVRAD_NAS_IDENTIFIER, else the host name as the system names it (cut to 253 bytes; empty:
// none, which the server rejects), and QVRAD_NAS_IP_ADDRESS (auto: the address the request
// leaves from; any other value is given here as the server prints it).
std::string NasEcho(const std::string& localAddress) {
    std::string identifier;
    if (const char* set = std::getenv("QVRAD_NAS_IDENTIFIER")) {
        identifier = std::string(set).substr(0, 253);
    } else {
        char name[256] = "";
#ifdef _WIN32
        DWORD size = sizeof name;
        if (!GetComputerNameExA(ComputerNameDnsHostname, name, &size)) name[0] = '\0';
#else
        if (gethostname(name, sizeof name) != 0) name[0] = '\0';
#endif
        identifier = name;
    }
    if (identifier.empty()) return "Access denied";
    const char* address = std::getenv("QVRAD_NAS_IP_ADDRESS");
    const std::string shown = address == nullptr               ? "none"
                              : std::string(address) == "auto" ? localAddress
                                                               : address;
    return "NAS-Identifier " + identifier + "; NAS address " + shown;
}

// What the library must return for what the row makes the server do.
struct Expected {
    std::string text;
    bool lost;  // the server never answers
};

Expected ExpectedFor(const FrUser& row) {
    if (row.kind == "nas-echo") return {NasEcho("127.0.0.1"), false};
    if (row.kind == "drop") return {kNetworkFail, true};
    // RFC 2865 section 4.4: an Access-Challenge is neither Accept nor Reject (auth sends no State,
    // so a challenge-otp row stops at its first step).
    if (row.kind == "challenge" || row.kind == "challenge-otp") return {kInvalidFormat, false};
    // The first Reply-Message (RFC 2865 section 5.18) is the text; none, or an empty one, is 6041.
    if (row.replies.empty() || row.replies[0].empty()) return {kInvalidFormat, false};
    return {row.replies[0], false};
}

// The cases this suite exists to cover; the table may grow, but none of these may go.
TEST(UsersTable, HoldsEveryRequiredCase) {
    std::string error;
    ASSERT_FALSE(ReadUsersTable(&error).empty()) << error;
    const struct {
        const char* key;
        std::size_t userLength;  // 0: not checked
        std::size_t passwordLength;
        std::size_t replyLength;
    } required[] = {
        {"alice", 0, 0, 0},
        {"alice-wrong", 0, 0, 0},
        {"bob", 0, 0, 0},
        {"challenge", 0, 0, 0},
        {"two-replies", 0, 0, 0},
        {"reply-253", 0, 0, 253},
        {"pass-1", 0, 1, 0},
        {"pass-15", 0, 15, 0},
        {"pass-16", 0, 16, 0},
        {"pass-17", 0, 17, 0},
        {"pass-31", 0, 31, 0},
        {"pass-32", 0, 32, 0},
        {"pass-127", 0, 127, 0},
        {"pass-128", 0, 128, 0},
        {"user-253", 253, 0, 0},
        {"utf8", 0, 0, 0},
        {"raw-high", 0, 128, 0},
        {"spaced", 8, 0, 0},
        {"spaced-trimmed", 6, 0, 0},
        {"reject-quiet", 0, 0, 0},
        {"drop", 0, 0, 0},
        {"nas", 0, 0, 0},
    };
    for (const auto& r : required) {
        SCOPED_TRACE(r.key);
        const FrUser* row = FindRow(r.key);
        ASSERT_NE(row, nullptr);
        if (r.userLength) {
            EXPECT_EQ(row->user.size(), r.userLength);
        }
        if (r.passwordLength) {
            EXPECT_EQ(row->password.size(), r.passwordLength);
        }
        if (r.replyLength) {
            ASSERT_FALSE(row->replies.empty());
            EXPECT_EQ(row->replies[0].size(), r.replyLength);
        }
    }
    // The shapes the expectations rest on.
    EXPECT_EQ(FindRow("two-replies")->replies.size(), 2u);
    EXPECT_TRUE(FindRow("bob")->replies.empty());
    EXPECT_TRUE(FindRow("reject-quiet")->replies.empty());
    EXPECT_FALSE(FindRow("challenge")->replies.empty());
    EXPECT_EQ(FindRow("spaced")->user, " spaced ");
    EXPECT_EQ(FindRow("raw-high")->password.front(), '\x80');
    EXPECT_EQ(FindRow("raw-high")->password.back(), '\xff');
}

class UsersRow : public FreeRadius, public ::testing::WithParamInterface<FrUser> {};

TEST_P(UsersRow, GivesTheResultOfWhatTheServerSent) {
    const FrUser& row = GetParam();
    const Expected want = ExpectedFor(row);
    const Outcome got =
        Login("MAIN", row.user, row.password, want.lost ? kLostTimeout : kAnsweredTimeout);
    EXPECT_EQ(got.text, want.text) << "kind " << row.kind;
    if (want.lost) {
        EXPECT_GE(got.seconds, kLostAtLeast);
        EXPECT_LT(got.seconds, kLostWithin);
    } else {
        EXPECT_LT(got.seconds, kAnsweredWithin);
    }
}

std::string RowName(const ::testing::TestParamInfo<FrUser>& info) {
    std::string name;
    for (char c : info.param.key) {
        const bool alnum =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        name.push_back(alnum ? c : '_');
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(FreeRadius, UsersRow, ::testing::ValuesIn(UsersTable()), RowName);

// ---- shared secrets -------------------------------------------------------------------------

// FreeRADIUS 3.2.1 reads secrets of up to 8182 bytes from its configuration; the library takes
// up to 256 and refuses longer ones before sending anything.
TEST_F(FreeRadius, SecretLengthsBothEndsTake) {
    const struct {
        const char* listener;
        std::size_t length;
        Via via;
    } cases[] = {{"S1", 1, Via::kIPv4},
                 {"S16", 16, Via::kIPv4},
                 {"S64", 64, Via::kIPv4},
                 {"S256", 256, Via::kIPv4},
                 {"MAIN", 10, Via::kIPv4},
                 {"MAIN", 10, Via::kIPv6},
                 {"MAIN", 10, Via::kIPv6Bracketed},
                 {"S256", 256, Via::kIPv6}};
    for (const auto& k : cases) {
        std::string host;
        if (!HostFor(k.via, k.listener, &host)) continue;
        SCOPED_TRACE(std::string(k.listener) + " at " + host);
        const std::string port = server.Port(k.listener), secret = server.Secret(k.listener);
        ASSERT_EQ(secret.size(), k.length);
        const Outcome accepted = Auth(host, port, secret, "alice", "alice-pass", kAnsweredTimeout);
        EXPECT_EQ(accepted.text, "Welcome, alice");
        EXPECT_LT(accepted.seconds, kAnsweredWithin);
        // A Reject proves the reply was verified with this secret too, not just the Accept.
        EXPECT_EQ(Auth(host, port, secret, "alice", "wrong-pass", kAnsweredTimeout).text,
                  "Access denied");
    }
}

TEST_F(FreeRadius, SecretsLongerThanTheLibraryTakesAreRefusedUnsent) {
    const std::string smax = server.Secret("SMAX");
    ASSERT_EQ(smax.size(), 8182u);
    const std::string s257 = server.Secret("S256") + "x";
    const struct {
        const char* listener;
        std::string secret;
    } cases[] = {{"SMAX", smax}, {"S256", s257}};
    for (const auto& k : cases) {
        SCOPED_TRACE(k.secret.size());
        const Outcome got = Auth(server.Host(), server.Port(k.listener), k.secret, "alice",
                                 "alice-pass", kAnsweredTimeout);
        EXPECT_EQ(got.text, kInvalidInput);
        EXPECT_LT(got.seconds, 0.5);  // refused before any datagram is sent
    }
}

// FreeRADIUS drops a request whose Message-Authenticator does not verify with its secret
// (RFC 3579 section 3.2), so a wrong secret gets no reply at all.
TEST_F(FreeRadius, WrongSecretTimesOut) {
    std::string s256 = server.Secret("S256");
    s256.back() = s256.back() == 'a' ? 'b' : 'a';  // only the last of 256 bytes differs
    const struct {
        const char* listener;
        std::string secret;
        Via via;
    } cases[] = {{"MAIN", "testing12", Via::kIPv4},
                 {"S1", server.Secret("S1") == "y" ? "z" : "y", Via::kIPv4},
                 {"S256", s256, Via::kIPv4},
                 {"MAIN", "testing12", Via::kIPv6},
                 {"S256", s256, Via::kIPv6Bracketed}};
    const std::string log = server.Get("QVRAD_FR_LOG");
    const char kDropped[] = "invalid Message-Authenticator!  (Shared secret is incorrect.)";
    const int droppedBefore = LogCount(log, kDropped);
    int sent = 0;
    for (const auto& k : cases) {
        std::string host;
        if (!HostFor(k.via, k.listener, &host)) continue;
        SCOPED_TRACE(std::string(k.listener) + " at " + host);
        const Outcome got =
            Auth(host, server.Port(k.listener), k.secret, "alice", "alice-pass", kLostTimeout);
        EXPECT_EQ(got.text, kNetworkFail);
        EXPECT_GE(got.seconds, kLostAtLeast);
        EXPECT_LT(got.seconds, kLostWithin);
        ++sent;
    }
    // The server's reason: each of ours was dropped for its Message-Authenticator.
    EXPECT_TRUE(LogCountReaches(log, kDropped, droppedBefore + sent, 2000));
}

// ---- addresses ------------------------------------------------------------------------------

TEST_F(FreeRadius, PortWhereNothingListensTimesOut) {
    const std::string closed = server.Get("QVRAD_FR_PORT_CLOSED");
    ASSERT_FALSE(closed.empty());
    const Outcome got =
        Auth(server.Host(), closed, server.Secret("MAIN"), "alice", "alice-pass", kLostTimeout);
    EXPECT_EQ(got.text, kNetworkFail);
    EXPECT_LT(got.seconds, kLostWithin);
}

TEST_F(FreeRadius, LocalhostResolves) {
    const Outcome got = Auth("localhost", server.Port("MAIN"), server.Secret("MAIN"), "alice",
                             "alice-pass", kAnsweredTimeout);
    EXPECT_EQ(got.text, "Welcome, alice");
}

// ---- the server's own view ------------------------------------------------------------------

// A password seen nowhere else, rejected, must show up in FreeRADIUS's debug log exactly as we
// hid it (RFC 2865 section 5.2): every block boundary, and the longest secret as well.
TEST_F(FreeRadius, ServerRevealsExactlyThePasswordWeHid) {
    const struct {
        const char* listener;
        std::size_t length;
    } cases[] = {{"MAIN", 1},  {"MAIN", 15},  {"MAIN", 16},  {"MAIN", 17},
                 {"MAIN", 31}, {"MAIN", 32},  {"MAIN", 127}, {"MAIN", 128},
                 {"S256", 17}, {"S256", 128}, {"S1", 33},    {"MSGAUTH", 64}};
    for (const auto& k : cases) {
        SCOPED_TRACE(std::string(k.listener) + " " + std::to_string(k.length));
        const std::string password = UniqueToken(k.length);
        EXPECT_EQ(Login(k.listener, "alice", password).text, "Access denied");
        EXPECT_TRUE(LogContains(server.Get("QVRAD_FR_LOG"),
                                "User-Password = \"" + password + "\"\n", 3000));
    }
}

// require_message_authenticator = yes: the server drops requests without one, so these
// answers show ours is present and right.
TEST_F(FreeRadius, ListenerRequiringMessageAuthenticatorAnswers) {
    EXPECT_EQ(Login("MSGAUTH", "alice", "alice-pass").text, "Welcome, alice");
    EXPECT_EQ(Login("MSGAUTH", "alice", "wrong-pass").text, "Access denied");
    EXPECT_EQ(Login("MSGAUTH", "bob", "bob-pass").text, kInvalidFormat);
}

// ---- the setting read at load -------------------------------------------------------------

// QVRAD_REQUIRE_MESSAGE_AUTHENTICATOR as CTest set it for this process (the library read it at
// load, the DLL at process attach): yes refuses 3.2.1's unsigned replies, never 3.2.7's.
TEST_F(FreeRadius, ReplySigningSettingReadAtLoad) {
    const char* setting = std::getenv("QVRAD_REQUIRE_MESSAGE_AUTHENTICATOR");
    const bool required = setting != nullptr && std::string(setting) == "yes";
    const bool signs = server.Get("QVRAD_FR_VERSION") != "3.2.1";
    const Outcome got = Login("MAIN", "alice", "alice-pass", kLostTimeout);
    if (required && !signs) {
        EXPECT_EQ(got.text, kNetworkFail);
        EXPECT_GE(got.seconds, kLostAtLeast);
    } else {
        EXPECT_EQ(got.text, "Welcome, alice");
    }
    EXPECT_LT(got.seconds, kLostWithin);
}

// RFC 2865 section 4.1: the server decoded the NAS identification of the settings read at load,
// over IPv4 and IPv6 (NAS-IP-Address, NAS-IPv6-Address under auto).
TEST_F(FreeRadius, ServerSeesTheNasIdentification) {
    const FrUser* row = FindRow("nas");
    ASSERT_NE(row, nullptr);
    for (const Via via : {Via::kIPv4, Via::kIPv6}) {
        std::string host;
        if (!HostFor(via, "MAIN", &host)) continue;
        const Outcome got = Auth(host, server.Port("MAIN"), server.Secret("MAIN"), row->user,
                                 row->password, kAnsweredTimeout);
        EXPECT_EQ(got.text, NasEcho(host)) << "to " << host;
    }
}

// ---- many calls -----------------------------------------------------------------------------

TEST_F(FreeRadius, TwoHundredCallsInARow) {
    const int before = OpenDescriptors();
    const auto start = std::chrono::steady_clock::now();
    int wrong = 0;
    for (int i = 0; i < 200; ++i) {
        // Accepts and Rejects alternate, so a stale result from the call before shows.
        const bool accept = i % 2 == 0;
        const Outcome got = Login("MAIN", "alice", accept ? "alice-pass" : "wrong-pass");
        if (got.text != (accept ? "Welcome, alice" : "Access denied")) {
            ++wrong;
            ADD_FAILURE() << "call " << i << ": " << got.text;
            if (wrong >= 5) break;
        }
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(wrong, 0);
    EXPECT_LT(took.count(), 30.0);
    if (before >= 0) {
        EXPECT_EQ(OpenDescriptors(), before);
    }
    RecordProperty("seconds_for_200", std::to_string(took.count()));
}

// ---- the structured interface (qvrad.h) ----------------------------------------------------

// otto's two-step login: an Access-Challenge with the server's State and its message, the code
// sent back with that State, then an Accept with its Class and a Cisco-AVPair (vendor 9, type 1),
// or a Reject for a wrong code. Over IPv4 and IPv6.
TEST_F(FreeRadius, ChallengeAnsweredThroughTheStructuredInterface) {
    const FrUser* row = FindRow("challenge-otp");
    ASSERT_NE(row, nullptr);
    ASSERT_EQ(row->replies.size(), 5u);  // prompt, code, welcome, Class, Cisco-AVPair
    for (const Via via : {Via::kIPv4, Via::kIPv6}) {
        std::string host;
        if (!HostFor(via, "MAIN", &host)) continue;
        for (const bool right : {true, false}) {
            SCOPED_TRACE(host + (right ? ", the right code" : ", a wrong code"));
            qvrad_client* c = nullptr;
            ASSERT_EQ(qvrad_client_new(&c), QVRAD_OK);
            ASSERT_EQ(
                qvrad_client_add_server(c, host.c_str(), std::atoi(server.Port("MAIN").c_str()),
                                        server.Secret("MAIN").c_str()),
                QVRAD_OK);
            qvrad_login* l = nullptr;
            ASSERT_EQ(qvrad_login_pap(c, row->user.c_str(), row->password.c_str(), &l), QVRAD_OK);
            EXPECT_EQ(qvrad_login_code(l), QVRAD_CODE_CHALLENGE);
            ASSERT_EQ(qvrad_login_message_count(l), 1u);
            EXPECT_EQ(qvrad_login_message(l, 0), row->replies[0]);
            ASSERT_EQ(qvrad_login_answer(l, right ? row->replies[1].c_str() : "000000"), QVRAD_OK);
            EXPECT_EQ(qvrad_login_code(l), right ? QVRAD_CODE_ACCEPT : QVRAD_CODE_REJECT);
            std::string found;
            for (size_t i = 0; i < qvrad_login_attribute_count(l); ++i) {
                uint32_t vendor = 0, type = 0;
                const unsigned char* value = nullptr;
                size_t length = 0;
                ASSERT_EQ(qvrad_login_attribute(l, i, &vendor, &type, &value, &length), QVRAD_OK);
                const std::string text(reinterpret_cast<const char*>(value), length);
                if (vendor == 0 && type == 25) found += "Class=" + text + ";";
                if (vendor == 9 && type == 1) found += "Cisco-AVPair=" + text + ";";
            }
            EXPECT_EQ(
                found,
                right ? "Class=" + row->replies[3] + ";Cisco-AVPair=" + row->replies[4] + ";" : "");
            if (right) {
                EXPECT_EQ(qvrad_login_message_count(l) > 0 ? qvrad_login_message(l, 0) : "",
                          row->replies[2]);
            }
            EXPECT_EQ(qvrad_login_answer(l, "123456"), QVRAD_E_NOT_CHALLENGED);
            qvrad_login_free(l);
            qvrad_client_free(c);
        }
    }
}

}  // namespace

// ---- the caller's attributes and accounting (RFC 2866) -----------------------------------------

namespace {

// The records of the server's detail file that carry token (a unique Acct-Session-Id), each as
// its text; read until count of them are there, for at most timeoutMs.
std::vector<std::string> DetailRecords(const std::string& path, const std::string& token,
                                       std::size_t count, int timeoutMs) {
    std::vector<std::string> found;
    for (int waited = 0; waited <= timeoutMs; waited += 50) {
        found.clear();
        std::ifstream in(path);
        std::string line, record;
        while (std::getline(in, line)) {
            if (line.empty()) {
                if (record.find(token) != std::string::npos) found.push_back(record);
                record.clear();
            } else {
                record += line + "\n";
            }
        }
        if (record.find(token) != std::string::npos) found.push_back(record);
        if (found.size() >= count) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return found;
}

}  // namespace

// A login with Calling-Station-Id and a vendor attribute (Cisco-AVPair, vendor 9 type 1): the
// server's policy echoes both into the Accept's Reply-Messages.
TEST_F(FreeRadius, LoginCarriesTheCallersAttributes) {
    const FrUser* row = FindRow("alice");
    ASSERT_NE(row, nullptr);
    qvrad_client* c = nullptr;
    ASSERT_EQ(qvrad_client_new(&c), QVRAD_OK);
    ASSERT_EQ(
        qvrad_client_add_server(c, server.Host().c_str(), std::atoi(server.Port("MAIN").c_str()),
                                server.Secret("MAIN").c_str()),
        QVRAD_OK);
    qvrad_attrs* a = nullptr;
    ASSERT_EQ(qvrad_attrs_new(&a), QVRAD_OK);
    ASSERT_EQ(qvrad_attrs_add_text(a, 31, "198.51.100.7"), QVRAD_OK);
    ASSERT_EQ(qvrad_attrs_add_vendor(a, 9, 1, "shell:priv-lvl=1", 16), QVRAD_OK);
    qvrad_login* l = nullptr;
    ASSERT_EQ(qvrad_login_pap_attrs(c, row->user.c_str(), row->password.c_str(), a, &l), QVRAD_OK);
    EXPECT_EQ(qvrad_login_code(l), QVRAD_CODE_ACCEPT);
    std::string messages;
    for (size_t i = 0; i < qvrad_login_message_count(l); ++i)
        messages += std::string(qvrad_login_message(l, i)) + "|";
    EXPECT_NE(messages.find("Calling-Station-Id 198.51.100.7|"), std::string::npos) << messages;
    EXPECT_NE(messages.find("Cisco-AVPair shell:priv-lvl=1|"), std::string::npos) << messages;
    qvrad_login_free(l);
    qvrad_attrs_free(a);
    qvrad_client_free(c);
}

// Start, Interim-Update and Stop of one session, then Accounting-On and -Off, each acknowledged
// and recorded once by the detail module with the caller's attributes; then a record spooled
// while the accounting port is silent, flushed to it and recorded once with its first
// Event-Timestamp.
TEST_F(FreeRadius, AccountingRecordedOnceEach) {
    const std::string detail = server.Get("QVRAD_FR_DETAIL");
    if (detail.empty()) GTEST_SKIP() << "this server has no accounting listener";
    const std::string session = "qvrad-" + UniqueToken(12);
    const auto makeClient = [&](const std::string& port) {
        qvrad_client* c = nullptr;
        EXPECT_EQ(qvrad_client_new(&c), QVRAD_OK);
        EXPECT_EQ(qvrad_client_add_server(c, server.Host().c_str(),
                                          std::atoi(server.Port("MAIN").c_str()),
                                          server.Secret("MAIN").c_str()),
                  QVRAD_OK);
        EXPECT_EQ(qvrad_client_set_acct_port(c, 0, std::atoi(port.c_str())), QVRAD_OK);
        EXPECT_EQ(qvrad_client_set_int(c, QVRAD_OPT_TIMEOUT_MS, 1000), QVRAD_OK);
        EXPECT_EQ(qvrad_client_set_text(c, QVRAD_OPT_NAS_IDENTIFIER, session.c_str()), QVRAD_OK);
        return c;
    };
    qvrad_client* c = makeClient(server.Get("QVRAD_FR_PORT_ACCT"));
    qvrad_attrs* a = nullptr;
    ASSERT_EQ(qvrad_attrs_new(&a), QVRAD_OK);
    ASSERT_EQ(qvrad_attrs_add_text(a, 31, "198.51.100.7"), QVRAD_OK);
    ASSERT_EQ(qvrad_attrs_add_int(a, 46, 42), QVRAD_OK);  // Acct-Session-Time
    const struct {
        int status;
        const char* name;
    } rows[] = {{QVRAD_ACCT_START, "Start"},
                {QVRAD_ACCT_INTERIM_UPDATE, "Interim-Update"},
                {QVRAD_ACCT_STOP, "Stop"},
                {QVRAD_ACCT_ON, "Accounting-On"},
                {QVRAD_ACCT_OFF, "Accounting-Off"}};
    for (const auto& row : rows) {
        const bool onOff = row.status == QVRAD_ACCT_ON || row.status == QVRAD_ACCT_OFF;
        EXPECT_EQ(qvrad_acct_send(c, row.status, onOff ? nullptr : session.c_str(),
                                  onOff ? nullptr : "alice", onOff ? nullptr : a),
                  QVRAD_OK)
            << row.name << ": " << qvrad_error_detail();
    }
    // The NAS-Identifier carries the token in every record, the session id in the first three.
    const std::vector<std::string> records = DetailRecords(detail, session, 5, 5000);
    ASSERT_EQ(records.size(), 5u);
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_NE(records[i].find("Acct-Status-Type = " + std::string(rows[i].name) + "\n"),
                  std::string::npos)
            << records[i];
        if (i < 3) {
            EXPECT_NE(records[i].find("Acct-Session-Id = \"" + session + "\""), std::string::npos);
            EXPECT_NE(records[i].find("Calling-Station-Id = \"198.51.100.7\""), std::string::npos);
            EXPECT_NE(records[i].find("Acct-Session-Time = 42"), std::string::npos);
            EXPECT_NE(records[i].find("User-Name = \"alice\""), std::string::npos);
        }
    }
    qvrad_client_free(c);

#ifndef _WIN32
    // The spool: kept while nothing listens, then flushed to the server.
    char folder[] = "/tmp/qvrad-interop-spool-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string spooled = session + "-spooled";
    qvrad_client* down = makeClient(server.Port("CLOSED"));
    ASSERT_EQ(qvrad_client_set_text(down, QVRAD_OPT_SPOOL_DIR, folder), QVRAD_OK);
    EXPECT_EQ(qvrad_acct_send(down, QVRAD_ACCT_STOP, spooled.c_str(), "alice", a), QVRAD_E_TIMEOUT);
    qvrad_client_free(down);
    qvrad_client* up = makeClient(server.Get("QVRAD_FR_PORT_ACCT"));
    ASSERT_EQ(qvrad_client_set_text(up, QVRAD_OPT_SPOOL_DIR, folder), QVRAD_OK);
    size_t sent = 0, left = 1;
    EXPECT_EQ(qvrad_acct_flush(up, &sent, &left), QVRAD_OK);
    EXPECT_EQ(sent, 1u);
    EXPECT_EQ(left, 0u);
    qvrad_client_free(up);
    rmdir(folder);  // empty once flushed
    const std::vector<std::string> flushed = DetailRecords(detail, spooled, 1, 5000);
    ASSERT_EQ(flushed.size(), 1u);
    EXPECT_NE(flushed[0].find("Acct-Status-Type = Stop"), std::string::npos);
    EXPECT_EQ(flushed[0].find("Acct-Delay-Time = 0\n"), std::string::npos) << flushed[0];
#endif
    qvrad_attrs_free(a);
}
