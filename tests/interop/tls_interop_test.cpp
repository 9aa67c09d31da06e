// RADIUS over TLS through the shared library alone (qvrad.h, and auth with the settings read at
// load): logins to the TLS listeners of FreeRADIUS 3.2.1 and 3.2.7, and the peers of tests/tls
// that a client must refuse, each for its own reason, with nothing accepted, in time.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#if defined(QVRAD_FR_SCRIPT)
#include <sys/wait.h>
#endif

#include "fr_server.h"
#include "qvRadClient.h"
#include "qvrad.h"

namespace {

const char kNetworkFail[] = "6040#0#ERR_NETWORK_FAIL";
const char kInvalidInput[] = "6007#0#INVALID_INPUT_ERR";
// The RADIUS secret a tls:// entry is added with: unused on the wire (RFC 6614 section 2.3:
// "radsec" there), it only has to differ from the PSK.
const char kUnusedSecret[] = "not-the-psk-secret";

// As interop_test.cpp: answered logins take milliseconds, the bound only tells them from a
// deadline on a busy machine; one that must wait out its deadline waits the whole of it, and
// not much longer.
constexpr int kAnsweredTimeoutMs = 5000;
constexpr int kLostTimeoutMs = 1000;
constexpr double kAnsweredWithin = 3.0;
constexpr double kLostAtLeast = 0.9;
constexpr double kLostWithin = 3.0;

// The TLS settings of a client: certificates, or the PSK for TLS 1.3 or (by the explicit
// setting) TLS 1.2.
enum class Keys { kCertificate, kPsk13, kPsk12 };

const char* KeysName(Keys keys) {
    return keys == Keys::kCertificate ? "certificates"
           : keys == Keys::kPsk13     ? "PSK 1.3"
                                      : "PSK 1.2";
}

struct Outcome {
    int status = QVRAD_E_INTERNAL;
    int code = 0;
    std::string message;  // the first Reply-Message
    std::string detail;   // qvrad_error_detail() after the call
    double seconds = 0;
};

// -1 where the descriptors are not this process's alone (Wine's /proc/self/fd).
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

class TlsInterop : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(LoadServerFrom(QVRAD_FR_ENV_FILE, &fr321, &error)) << error;
        ASSERT_FALSE(fr321.Get("QVRAD_FR_TLS_PORT_CERT").empty())
            << "the server was started without --tls";
        has327 = LoadServerFrom(QVRAD_FR327_ENV_FILE, &fr327, &error);
        if (!has327) std::printf("3.2.7 rows not run: %s\n", error.c_str());
        ASSERT_TRUE(ReadEnvFile(QVRAD_TLS_PEERS_ENV_FILE, &peers, &error)) << error;
    }

    int PeerPort(const std::string& name) {
        return std::atoi(peers["QVRAD_PEER_PORT_" + name].c_str());
    }

    // A client with one server per entry, in order, the keys' TLS options set before the first.
    qvrad_client* Client(Keys keys, int timeoutMs, const std::string& serverName = "",
                         const std::string& nasIdentifier = "") {
        qvrad_client* c = nullptr;
        EXPECT_EQ(qvrad_client_new(&c), QVRAD_OK);
        if (c == nullptr) return nullptr;
        EXPECT_EQ(qvrad_client_set_int(c, QVRAD_OPT_TIMEOUT_MS, timeoutMs), QVRAD_OK);
        if (!nasIdentifier.empty()) {
            EXPECT_EQ(qvrad_client_set_text(c, QVRAD_OPT_NAS_IDENTIFIER, nasIdentifier.c_str()),
                      QVRAD_OK);
        }
        const auto text = [&](int option, const std::string& value) {
            EXPECT_EQ(qvrad_client_set_text(c, option, value.c_str()), QVRAD_OK) << option;
        };
        if (keys == Keys::kCertificate) {
            text(QVRAD_OPT_TLS_CA_FILE, fr321.Get("QVRAD_FR_TLS_CA"));
            text(QVRAD_OPT_TLS_CERT_FILE, fr321.Get("QVRAD_FR_TLS_CLIENT_CERT"));
            text(QVRAD_OPT_TLS_KEY_FILE, fr321.Get("QVRAD_FR_TLS_CLIENT_KEY"));
        } else {
            text(QVRAD_OPT_TLS_PSK_IDENTITY, fr321.Get("QVRAD_FR_TLS_PSK_IDENTITY"));
            text(QVRAD_OPT_TLS_PSK_FILE, fr321.Get("QVRAD_FR_TLS_PSK_KEY_FILE"));
            EXPECT_EQ(
                qvrad_client_set_int(c, QVRAD_OPT_TLS_PSK_TLS12, keys == Keys::kPsk12 ? 1 : 0),
                QVRAD_OK);
        }
        if (!serverName.empty()) text(QVRAD_OPT_TLS_SERVER_NAME, serverName);
        return c;
    }

  public:
    // One login, timed, with its detail; the login kept in *keep when asked for, else freed.
    static Outcome Login(qvrad_client* c, const std::string& user, const std::string& password,
                         qvrad_login** keep = nullptr) {
        Outcome out;
        qvrad_login* l = nullptr;
        const auto start = std::chrono::steady_clock::now();
        out.status = qvrad_login_pap(c, user.c_str(), password.c_str(), &l);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        out.seconds = took.count();
        out.detail = qvrad_error_detail();
        if (out.status != QVRAD_OK) {
            EXPECT_EQ(l, nullptr) << "a failed login handed out a login";
        }
        out.code = qvrad_login_code(l);
        if (qvrad_login_message_count(l) > 0) out.message = qvrad_login_message(l, 0);
        if (keep != nullptr)
            *keep = l;
        else
            qvrad_login_free(l);
        return out;
    }

  protected:
    FrServer fr321, fr327;
    bool has327 = false;
    std::map<std::string, std::string> peers;
};

// How a row names the server: 127.0.0.1, ::1 bare or in brackets, or localhost (a DNS-ID and
// the SNI instead of an IP-ID).
enum class Via { kIPv4, kIPv6, kIPv6Bracketed, kLocalhost };

// ---- accepted and rejected, over every listener --------------------------------------------

// Each TLS listener with the keys it takes: certificates (TLS 1.3) on both; the PSK over TLS 1.2
// by the explicit setting on 3.2.1, over TLS 1.3 on 3.2.7. alice accepted, then rejected; the
// server's log shows both requests arriving at its TLS port. QVRAD_TLS_ONE_ROW (the Win32 run
// under emulation) keeps the first row alone.
TEST_F(TlsInterop, AcceptedAndRejectedOverEachListener) {
    const struct {
        bool backports;
        const char* listener;  // CERT or PSK
        Keys keys;
        Via via;
        const char* serverName;  // QVRAD_OPT_TLS_SERVER_NAME, or "" for the host as written
    } rows[] = {
        {false, "CERT", Keys::kCertificate, Via::kIPv4, ""},
        {false, "CERT", Keys::kCertificate, Via::kIPv6, ""},
        {false, "CERT", Keys::kCertificate, Via::kIPv6Bracketed, ""},
        {false, "CERT", Keys::kCertificate, Via::kLocalhost, ""},
        {false, "CERT", Keys::kCertificate, Via::kIPv4, "localhost"},
        // RFC 6066 section 3: the trailing dot is no part of the name, in SNI or in the check.
        {false, "CERT", Keys::kCertificate, Via::kIPv4, "localhost."},
        {false, "PSK", Keys::kPsk12, Via::kIPv4, ""},
        {false, "PSK", Keys::kPsk12, Via::kIPv6, ""},
        {true, "CERT", Keys::kCertificate, Via::kIPv4, ""},
        {true, "CERT", Keys::kCertificate, Via::kIPv6, ""},
        {true, "PSK", Keys::kPsk13, Via::kIPv4, ""},
        {true, "PSK", Keys::kPsk13, Via::kIPv6, ""},
    };
    const bool oneRow = std::getenv("QVRAD_TLS_ONE_ROW") != nullptr;
    for (const auto& row : rows) {
        const FrServer& fr = row.backports ? fr327 : fr321;
        if (row.backports && !has327) continue;
        if ((row.via == Via::kIPv6 || row.via == Via::kIPv6Bracketed) && fr.Host6().empty()) {
            std::printf("IPv6 row not run: the server has no ::1 listener (%s)\n",
                        fr.NoIPv6().c_str());
            continue;
        }
        const std::string host = row.via == Via::kIPv4            ? fr.Host()
                                 : row.via == Via::kIPv6          ? fr.Host6()
                                 : row.via == Via::kIPv6Bracketed ? "[" + fr.Host6() + "]"
                                                                  : "localhost";
        const std::string port = fr.Get(std::string("QVRAD_FR_TLS_PORT_") + row.listener);
        SCOPED_TRACE(fr.Get("QVRAD_FR_VERSION") + " " + row.listener + " listener, " +
                     KeysName(row.keys) + ", tls://" + host + ":" + port +
                     (row.serverName[0] ? std::string(", named ") + row.serverName : ""));
        // Which requests are this row's, in the server's log.
        const std::string nas = "tls-row-" + UniqueToken(16);
        qvrad_client* c = Client(row.keys, kAnsweredTimeoutMs, row.serverName, nas);
        ASSERT_NE(c, nullptr);
        ASSERT_EQ(qvrad_client_add_server(c, ("tls://" + host).c_str(), std::atoi(port.c_str()),
                                          kUnusedSecret),
                  QVRAD_OK)
            << qvrad_error_detail();
        const Outcome accepted = Login(c, "alice", "alice-pass");
        EXPECT_EQ(accepted.status, QVRAD_OK) << accepted.detail;
        EXPECT_EQ(accepted.code, QVRAD_CODE_ACCEPT);
        EXPECT_EQ(accepted.message, "Welcome, alice");
        EXPECT_LT(accepted.seconds, kAnsweredWithin);
        const Outcome rejected = Login(c, "alice", "wrong-pass");
        EXPECT_EQ(rejected.status, QVRAD_OK) << rejected.detail;
        EXPECT_EQ(rejected.code, QVRAD_CODE_REJECT);
        EXPECT_EQ(rejected.message, "Access denied");
        qvrad_client_free(c);
        // Both arrived at the TLS port.
        const std::string log = fr.Get("QVRAD_FR_LOG");
        ASSERT_TRUE(LogCountReaches(log, nas, 2, 3000));
        const std::vector<std::string> routes = RequestRoutes(log, nas);
        ASSERT_EQ(routes.size(), 2u);
        for (const std::string& route : routes) {
            EXPECT_EQ(route.substr(route.size() - port.size() - 1), ":" + port) << route;
        }
        if (oneRow) break;
    }
}

// ---- refused ---------------------------------------------------------------------------------

// Every server a client must refuse ends the entry for its own reason: QVRAD_E_TLS, no login,
// the reason in qvrad_error_detail. A refusal the handshake shows ends the call at once; a peer
// that never finishes the handshake holds it to the entry's share (here the whole timeout) and
// no longer. The peers that finish a handshake would answer with an Access-Accept.
TEST_F(TlsInterop, RefusedForTheirReasonWithNothingAccepted) {
    const struct {
        const char* peer;  // a peer of tests/tls, or CERT/PSK of a FreeRADIUS server
        bool backports;    // for a FreeRADIUS row: 3.2.7
        Keys keys;
        const char* serverName;
        const char* reason;  // in qvrad_error_detail()
        bool deadline;       // only the deadline ends it
    } rows[] = {
        {"OTHER_CA", false, Keys::kCertificate, "", "is not signed by the CA file", false},
        {"CLIENT_OTHER_CA", false, Keys::kCertificate, "", "this client's certificate", false},
        {"CN_ONLY", false, Keys::kCertificate, "",
         "the name 127.0.0.1 is not in the server certificate's subjectAltName: it has none, and "
         "its Common Name is never used",
         false},
        {"WRONG_NAME", false, Keys::kCertificate, "",
         "the name 127.0.0.1 is not in the server certificate's subjectAltName", false},
        {"EXPIRED", false, Keys::kCertificate, "", "the server's certificate has expired", false},
        {"PSK13_WRONG_KEY", false, Keys::kPsk13, "", "did not accept the PSK identity or key",
         false},
        {"PSK12_WRONG_KEY", false, Keys::kPsk12, "", "did not accept the PSK identity or key",
         false},
        // Certificates only: it never selects a PSK.
        {"CERT_ONLY", false, Keys::kPsk13, "", "did not accept the PSK identity or key", false},
        {"CERT_ONLY", false, Keys::kPsk12, "", "did not accept the PSK identity or key", false},
        {"SILENT", false, Keys::kCertificate, "",
         "the handshake did not finish before the deadline", true},
        {"PLAIN", false, Keys::kCertificate, "", "the handshake did not finish before the deadline",
         true},
        // A real server: its name is not the one asked for; a PSK of the other TLS version
        // (RFC 9813: one PSK never serves both).
        {"CERT", false, Keys::kCertificate, "radius.invalid",
         "the name radius.invalid is not in the server certificate's subjectAltName", false},
        {"PSK", false, Keys::kPsk13, "",
         "the server closed the connection during the handshake: it refused this client's PSK "
         "identity or key",
         false},
        {"PSK", true, Keys::kPsk12, "",
         "the server closed the connection during the handshake: it refused this client's PSK "
         "identity or key",
         false},
        // Certificates to a PSK listener: it closes as it does for a refused key.
        {"PSK", false, Keys::kCertificate, "",
         "the server closed the connection during the handshake: it refused this client's "
         "certificate",
         false},
    };
    for (const auto& row : rows) {
        const std::string name = row.peer;
        const bool fromServer = name == "CERT" || name == "PSK";
        if (row.backports && !has327) continue;
        const FrServer& fr = row.backports ? fr327 : fr321;
        const int port =
            fromServer ? std::atoi(fr.Get("QVRAD_FR_TLS_PORT_" + name).c_str()) : PeerPort(name);
        SCOPED_TRACE(name + (fromServer ? " of " + fr.Get("QVRAD_FR_VERSION") : "") + ", " +
                     KeysName(row.keys));
        ASSERT_GT(port, 0);
        qvrad_client* c =
            Client(row.keys, row.deadline ? kLostTimeoutMs : kAnsweredTimeoutMs, row.serverName);
        ASSERT_NE(c, nullptr);
        ASSERT_EQ(qvrad_client_add_server(c, "tls://127.0.0.1", port, kUnusedSecret), QVRAD_OK);
        const Outcome got = Login(c, "alice", "alice-pass");
        qvrad_client_free(c);
        EXPECT_EQ(got.status, QVRAD_E_TLS);
        EXPECT_EQ(got.code, 0);
        EXPECT_NE(got.detail.find(row.reason), std::string::npos) << got.detail;
        if (row.deadline) {
            EXPECT_GE(got.seconds, kLostAtLeast);
            EXPECT_LT(got.seconds, kLostWithin);
        } else {
            EXPECT_LT(got.seconds, kAnsweredWithin);
        }
    }
}

// ---- lists and challenges ------------------------------------------------------------------

// A tls:// entry that never finishes its handshake, then 3.2.1 over UDP: the TLS entry has its
// share (half of the 2 s), the UDP one answers within its own.
TEST_F(TlsInterop, ListGoesOnToUdpAfterASilentTlsServer) {
    qvrad_client* c = Client(Keys::kCertificate, 2000);
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(qvrad_client_add_server(c, "tls://127.0.0.1", PeerPort("SILENT"), kUnusedSecret),
              QVRAD_OK);
    ASSERT_EQ(
        qvrad_client_add_server(c, fr321.Host().c_str(), std::atoi(fr321.Port("MAIN").c_str()),
                                fr321.Secret("MAIN").c_str()),
        QVRAD_OK);
    const Outcome got = Login(c, "alice", "alice-pass");
    qvrad_client_free(c);
    EXPECT_EQ(got.status, QVRAD_OK) << got.detail;
    EXPECT_EQ(got.code, QVRAD_CODE_ACCEPT);
    EXPECT_EQ(got.message, "Welcome, alice");
    EXPECT_GE(got.seconds, kLostAtLeast);  // the TLS entry's share, 1 s
    EXPECT_LT(got.seconds, kLostWithin);
}

// otto's two-step login over TLS, against each server with the keys its PSK listener does not
// need: the challenge, then the code sent over the same connection (RFC 6614: the server sees
// both requests from one client port) and the Accept with its Class.
TEST_F(TlsInterop, ChallengeAnsweredOverItsConnection) {
    std::string error;
    const std::vector<FrUser> users = ReadUsersTable(&error);
    const auto otto = std::find_if(users.begin(), users.end(),
                                   [](const FrUser& u) { return u.kind == "challenge-otp"; });
    ASSERT_NE(otto, users.end()) << error;
    ASSERT_EQ(otto->replies.size(), 5u);  // prompt, code, welcome, Class, Cisco-AVPair
    const struct {
        bool backports;
        const char* listener;
        Keys keys;
    } rows[] = {{false, "CERT", Keys::kCertificate}, {true, "PSK", Keys::kPsk13}};
    for (const auto& row : rows) {
        if (row.backports && !has327) continue;
        const FrServer& fr = row.backports ? fr327 : fr321;
        SCOPED_TRACE(fr.Get("QVRAD_FR_VERSION") + " " + row.listener);
        const std::string port = fr.Get(std::string("QVRAD_FR_TLS_PORT_") + row.listener);
        const std::string nas = "tls-otp-" + UniqueToken(16);
        qvrad_client* c = Client(row.keys, kAnsweredTimeoutMs, "", nas);
        ASSERT_NE(c, nullptr);
        ASSERT_EQ(qvrad_client_add_server(c, ("tls://" + fr.Host()).c_str(),
                                          std::atoi(port.c_str()), kUnusedSecret),
                  QVRAD_OK);
        qvrad_login* l = nullptr;
        const Outcome challenged = Login(c, otto->user, otto->password, &l);
        ASSERT_EQ(challenged.status, QVRAD_OK) << challenged.detail;
        EXPECT_EQ(challenged.code, QVRAD_CODE_CHALLENGE);
        EXPECT_EQ(challenged.message, otto->replies[0]);
        ASSERT_EQ(qvrad_login_answer(l, otto->replies[1].c_str()), QVRAD_OK)
            << qvrad_error_detail();
        EXPECT_EQ(qvrad_login_code(l), QVRAD_CODE_ACCEPT);
        std::string klass;
        for (size_t i = 0; i < qvrad_login_attribute_count(l); ++i) {
            uint32_t vendor = 0, type = 0;
            const unsigned char* value = nullptr;
            size_t length = 0;
            ASSERT_EQ(qvrad_login_attribute(l, i, &vendor, &type, &value, &length), QVRAD_OK);
            if (vendor == 0 && type == 25)
                klass.assign(reinterpret_cast<const char*>(value), length);
        }
        EXPECT_EQ(klass, otto->replies[3]);
        qvrad_login_free(l);
        qvrad_client_free(c);
        const std::string log = fr.Get("QVRAD_FR_LOG");
        ASSERT_TRUE(LogCountReaches(log, nas, 2, 3000));
        const std::vector<std::string> routes = RequestRoutes(log, nas);
        ASSERT_EQ(routes.size(), 2u);
        EXPECT_EQ(routes[0], routes[1]) << "the answer came from another connection";
        EXPECT_EQ(routes[0].substr(routes[0].size() - port.size() - 1), ":" + port);
    }
}

// ---- many logins ---------------------------------------------------------------------------

// Twenty logins in a row over each kind of connection and over UDP, Accepts and Rejects in
// turn: each right (all but the first over the connection kept from it), no descriptor left
// behind once the client is freed. The median time of each goes to the test's output
// (docs/performance.md).
TEST_F(TlsInterop, LoginsInARowCloseTheirConnections) {
    const struct {
        const char* what;
        bool backports;
        const char* listener;  // "" for UDP (MAIN)
        Keys keys;
    } rows[] = {
        {"udp_3.2.1", false, "", Keys::kCertificate},
        {"tls13_certificates_3.2.1", false, "CERT", Keys::kCertificate},
        {"tls12_psk_3.2.1", false, "PSK", Keys::kPsk12},
        {"udp_3.2.7", true, "", Keys::kCertificate},
        {"tls13_certificates_3.2.7", true, "CERT", Keys::kCertificate},
        {"tls13_psk_3.2.7", true, "PSK", Keys::kPsk13},
    };
    constexpr int kLogins = 20;
    const int before = OpenDescriptors();
    for (const auto& row : rows) {
        if (row.backports && !has327) continue;
        SCOPED_TRACE(row.what);
        const FrServer& fr = row.backports ? fr327 : fr321;
        const bool udp = row.listener[0] == '\0';
        qvrad_client* c = Client(row.keys, kAnsweredTimeoutMs);
        ASSERT_NE(c, nullptr);
        const std::string host = udp ? fr.Host() : "tls://" + fr.Host();
        const std::string port =
            udp ? fr.Port("MAIN") : fr.Get(std::string("QVRAD_FR_TLS_PORT_") + row.listener);
        ASSERT_EQ(qvrad_client_add_server(c, host.c_str(), std::atoi(port.c_str()),
                                          udp ? fr.Secret("MAIN").c_str() : kUnusedSecret),
                  QVRAD_OK);
        std::vector<double> seconds;
        int wrong = 0;
        for (int i = 0; i < kLogins && wrong < 3; ++i) {
            const bool accept = i % 2 == 0;
            const Outcome got = Login(c, "alice", accept ? "alice-pass" : "wrong-pass");
            if (got.status != QVRAD_OK ||
                got.code != (accept ? QVRAD_CODE_ACCEPT : QVRAD_CODE_REJECT)) {
                ++wrong;
                ADD_FAILURE() << "login " << i << ": status " << got.status << ", code " << got.code
                              << ", " << got.detail;
            }
            seconds.push_back(got.seconds);
        }
        qvrad_client_free(c);
        EXPECT_EQ(wrong, 0);
        std::sort(seconds.begin(), seconds.end());
        const double median = seconds[seconds.size() / 2] * 1000;
        std::printf("login_ms_median %s %.2f (max %.2f)\n", row.what, median,
                    seconds.back() * 1000);
        RecordProperty(std::string("login_ms_median_") + row.what, std::to_string(median));
    }
    if (before >= 0) {
        EXPECT_EQ(OpenDescriptors(), before);
    }
}

// ---- kept connections -----------------------------------------------------------------------

// The TLS listeners on ::1, with FreeRADIUS's stock limit of 16 connections per client: one
// client's 8 threads log in 50 times each over its kept connections, every login accepted (a
// connection per login ran into the limit within the first few dozen: "Ignoring new connection
// due to client max_connections (16)").
TEST_F(TlsInterop, ThreadsShareKeptConnectionsWithinTheStockLimit) {
    const struct {
        bool backports;
        const char* listener;
        Keys keys;
    } rows[] = {
        {false, "CERT", Keys::kCertificate},
        {false, "PSK", Keys::kPsk12},
        {true, "CERT", Keys::kCertificate},
        {true, "PSK", Keys::kPsk13},
    };
    constexpr int kThreads = 8;
    constexpr int kLoginsEach = 50;
    for (const auto& row : rows) {
        if (row.backports && !has327) continue;
        const FrServer& fr = row.backports ? fr327 : fr321;
        SCOPED_TRACE(fr.Get("QVRAD_FR_VERSION") + " " + KeysName(row.keys));
        ASSERT_EQ(fr.Get("QVRAD_FR_TLS_MAX_CONNECTIONS"), "16");
        if (fr.Host6().empty()) {
            std::printf("not run: no ::1 here (%s)\n", fr.NoIPv6().c_str());
            continue;
        }
        qvrad_client* c = Client(row.keys, kAnsweredTimeoutMs);
        ASSERT_NE(c, nullptr);
        const std::string host = "tls://" + fr.Host6();
        const int port =
            std::atoi(fr.Get(std::string("QVRAD_FR_TLS_PORT_") + row.listener).c_str());
        ASSERT_EQ(qvrad_client_add_server(c, host.c_str(), port, kUnusedSecret), QVRAD_OK);
        std::atomic<int> accepted{0};
        std::mutex lock;
        std::string firstFailure;
        std::vector<std::thread> threads;
        const auto start = std::chrono::steady_clock::now();
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&] {
                for (int i = 0; i < kLoginsEach; ++i) {
                    qvrad_login* l = nullptr;
                    const int status = qvrad_login_pap(c, "alice", "alice-pass", &l);
                    if (status == QVRAD_OK && qvrad_login_code(l) == QVRAD_CODE_ACCEPT) {
                        ++accepted;
                    } else {
                        std::lock_guard<std::mutex> hold(lock);
                        if (firstFailure.empty())
                            firstFailure =
                                "status " + std::to_string(status) + ": " + qvrad_error_detail();
                    }
                    qvrad_login_free(l);
                }
            });
        }
        for (std::thread& t : threads) t.join();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        qvrad_client_free(c);
        EXPECT_EQ(accepted.load(), kThreads * kLoginsEach) << firstFailure;
        std::printf("kept_connections %s %s: %d logins in %.2f s\n",
                    fr.Get("QVRAD_FR_VERSION").c_str(), KeysName(row.keys), kThreads * kLoginsEach,
                    took.count());
    }
}

// A kept connection the server closed for idleness (its idle_timeout, short in the fixture) is
// noticed before the next login's request goes on it: that login is accepted at once, over a new
// connection, on both servers (one wait for both).
TEST_F(TlsInterop, LoginAfterTheServerClosedAnIdleConnection) {
    std::vector<std::pair<qvrad_client*, const FrServer*>> clients;
    for (const FrServer* fr : {&fr321, &fr327}) {
        if (fr == &fr327 && !has327) continue;
        qvrad_client* c = Client(Keys::kCertificate, kAnsweredTimeoutMs);
        ASSERT_NE(c, nullptr);
        const std::string host = "tls://" + fr->Host();
        ASSERT_EQ(qvrad_client_add_server(c, host.c_str(),
                                          std::atoi(fr->Get("QVRAD_FR_TLS_PORT_CERT").c_str()),
                                          kUnusedSecret),
                  QVRAD_OK);
        const Outcome first = Login(c, "alice", "alice-pass");
        EXPECT_EQ(first.code, QVRAD_CODE_ACCEPT) << first.detail;
        clients.emplace_back(c, fr);
    }
    const int idle = std::atoi(fr321.Get("QVRAD_FR_TLS_IDLE_TIMEOUT").c_str());
    ASSERT_GT(idle, 0);
    // FreeRADIUS looks at idle connections about once a second: a second and a half beyond.
    std::this_thread::sleep_for(std::chrono::milliseconds(idle * 1000 + 1500));
    for (auto& [c, fr] : clients) {
        SCOPED_TRACE(fr->Get("QVRAD_FR_VERSION"));
        const Outcome second = Login(c, "alice", "alice-pass");
        EXPECT_EQ(second.status, QVRAD_OK) << second.detail;
        EXPECT_EQ(second.code, QVRAD_CODE_ACCEPT);
        EXPECT_LT(second.seconds, 1.0);
        qvrad_client_free(c);
    }
}

#if defined(QVRAD_FR_SCRIPT)
// A server restarted in the middle of a series of logins over a kept connection (a server of the
// test's own, the fixture's being shared): the logins before it are accepted; while it is away
// and while its reconnections back off (0.5 s, then doubling with jitter) they may fail, at once;
// once it is back, every login is accepted again. Both versions at once.
TEST(TlsRestart, OnlyLoginsWhileTheServerIsAwayMayFail) {
    const auto run = [](bool backports) {
        const std::string dir =
            std::string(QVRAD_RESTART_DIR) + (backports ? "/server-3.2.7" : "/server-3.2.1");
        const std::string script = std::string("bash '") + QVRAD_FR_SCRIPT + "'";
        std::string start = script + " start '" + dir + "' --tls '" + QVRAD_TLS_CERTS + "'";
        if (backports) start += std::string(" --backports '") + QVRAD_FR_BACKPORTS + "'";
        const int started = std::system((start + " >/dev/null").c_str());
        if (backports && WIFEXITED(started) && WEXITSTATUS(started) == 77) {
            std::printf("3.2.7 not run: its package could not be fetched\n");
            return;
        }
        ASSERT_EQ(started, 0) << start;
        FrServer fr;
        std::string error;
        ASSERT_TRUE(LoadServerFrom(dir + "/ports.env", &fr, &error)) << error;
        qvrad_client* c = nullptr;
        ASSERT_EQ(qvrad_client_new(&c), QVRAD_OK);
        EXPECT_EQ(qvrad_client_set_int(c, QVRAD_OPT_TIMEOUT_MS, 2000), QVRAD_OK);
        EXPECT_EQ(
            qvrad_client_set_text(c, QVRAD_OPT_TLS_CA_FILE, fr.Get("QVRAD_FR_TLS_CA").c_str()),
            QVRAD_OK);
        EXPECT_EQ(qvrad_client_set_text(c, QVRAD_OPT_TLS_CERT_FILE,
                                        fr.Get("QVRAD_FR_TLS_CLIENT_CERT").c_str()),
                  QVRAD_OK);
        EXPECT_EQ(qvrad_client_set_text(c, QVRAD_OPT_TLS_KEY_FILE,
                                        fr.Get("QVRAD_FR_TLS_CLIENT_KEY").c_str()),
                  QVRAD_OK);
        const std::string host = "tls://" + fr.Host();
        EXPECT_EQ(qvrad_client_add_server(c, host.c_str(),
                                          std::atoi(fr.Get("QVRAD_FR_TLS_PORT_CERT").c_str()),
                                          kUnusedSecret),
                  QVRAD_OK);
        using Clock = std::chrono::steady_clock;
        struct Try {
            Clock::time_point at;
            bool accepted;
            std::string detail;
        };
        std::vector<Try> tries;
        std::atomic<bool> stop{false};
        Clock::time_point away, back;
        std::thread series([&] {
            for (int i = 0; i < 400 && !stop; ++i) {
                const Clock::time_point at = Clock::now();
                const Outcome got = TlsInterop::Login(c, "alice", "alice-pass");
                tries.push_back(
                    {at, got.status == QVRAD_OK && got.code == QVRAD_CODE_ACCEPT, got.detail});
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        away = Clock::now();
        const int restarted = std::system((script + " restart '" + dir + "' >/dev/null").c_str());
        back = Clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(5000));
        stop = true;
        series.join();
        qvrad_client_free(c);
        std::system((script + " stop '" + dir + "'").c_str());
        ASSERT_EQ(restarted, 0);
        // Reconnections back off 0.5 s, 1 s, 2 s (each up to half again): three failures in a
        // row at most while the server is away for a second or two.
        const Clock::time_point settled = back + std::chrono::milliseconds(3500);
        int before = 0, after = 0, failedOutside = 0;
        for (const Try& t : tries) {
            if (t.at < away) ++before;
            if (t.at >= settled) ++after;
            if ((t.at < away || t.at >= settled) && !t.accepted) {
                if (failedOutside++ == 0)
                    ADD_FAILURE() << "a login outside the restart failed: " << t.detail;
            }
        }
        EXPECT_GT(before, 5);
        EXPECT_GT(after, 5);
        EXPECT_EQ(failedOutside, 0);
        std::printf("restart %s: %zu logins, away %.2f s\n", backports ? "3.2.7" : "3.2.1",
                    tries.size(), std::chrono::duration<double>(back - away).count());
    };
    std::thread newer([&] { run(true); });
    run(false);
    newer.join();
}
#endif

// ---- auth, with the settings read at load --------------------------------------------------

// auth("tls://...") with the QVRAD_TLS_* settings CTest gave this process (the library read
// them at load, the DLL at process attach): certificates against both servers, the PSK against
// the server of its TLS version and refused by the other (6040); a refusing peer gives 6040 at
// once. Without any setting, tls:// is refused before anything is sent (6007).
TEST(TlsAuth, SettingsReadAtLoad) {
    std::string error;
    FrServer fr321, fr327;
    ASSERT_TRUE(LoadServerFrom(QVRAD_FR_ENV_FILE, &fr321, &error)) << error;
    const bool has327 = LoadServerFrom(QVRAD_FR327_ENV_FILE, &fr327, &error);
    std::map<std::string, std::string> peers;
    ASSERT_TRUE(ReadEnvFile(QVRAD_TLS_PEERS_ENV_FILE, &peers, &error)) << error;
    const auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr && value[0] != '\0';
    };
    const bool certificates = set("QVRAD_TLS_CA_FILE");
    const bool psk = set("QVRAD_TLS_PSK_IDENTITY");
    const bool psk12 = psk && set("QVRAD_TLS_PSK_TLS12");
    // CTest names the keys it gave, so that settings lost on the way fail rather than pass as
    // the run without any.
    if (const char* keys = std::getenv("QVRAD_TLS_TEST_KEYS")) {
        ASSERT_EQ(std::string(keys), certificates ? "certificates"
                                     : psk12      ? "psk12"
                                     : psk        ? "psk13"
                                                  : "none");
    }
    if (psk) {
        ASSERT_EQ(std::string(std::getenv("QVRAD_TLS_PSK_IDENTITY")),
                  fr321.Get("QVRAD_FR_TLS_PSK_IDENTITY"))
            << "the PSK identity CTest sets is not the servers' (tests/tls/make-certs.sh)";
    }
    const auto call = [](const std::string& host, const std::string& port, const char* password) {
        const auto start = std::chrono::steady_clock::now();
        const char* text = auth(host.c_str(), port.c_str(), kUnusedSecret, "alice", password, "5");
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        EXPECT_LT(took.count(), kAnsweredWithin) << host << ":" << port;
        return std::string(text == nullptr ? "<null>" : text);
    };
    if (!certificates && !psk) {
        EXPECT_EQ(call("tls://127.0.0.1", fr321.Get("QVRAD_FR_TLS_PORT_CERT"), "alice-pass"),
                  kInvalidInput);
        return;
    }
    for (const FrServer* fr : {&fr321, &fr327}) {
        if (fr == &fr327 && !has327) continue;
        const bool is321 = fr == &fr321;
        // 3.2.1's PSK listener speaks TLS 1.2 only, 3.2.7's TLS 1.3 only.
        const bool takes = certificates || (psk12 == is321);
        const std::string port =
            fr->Get(certificates ? "QVRAD_FR_TLS_PORT_CERT" : "QVRAD_FR_TLS_PORT_PSK");
        for (const std::string& host : {fr->Host(), fr->Host6()}) {
            if (host.empty()) continue;
            SCOPED_TRACE(fr->Get("QVRAD_FR_VERSION") + " at tls://" + host);
            EXPECT_EQ(call("tls://" + host, port, "alice-pass"),
                      takes ? "Welcome, alice" : kNetworkFail);
            if (takes) {
                EXPECT_EQ(call("tls://" + host, port, "wrong-pass"), "Access denied");
            }
        }
    }
    // A hundred calls in a row over auth's process-wide kept connections, every one accepted
    // (within the server's stock limit of 16 connections, on ::1), and quickly on the whole.
    {
        const FrServer& fr = psk && !psk12 && has327 ? fr327 : fr321;
        if ((certificates || psk12 || has327) && !fr.Host6().empty()) {
            const std::string host = "tls://" + fr.Host6();
            const std::string port =
                fr.Get(certificates ? "QVRAD_FR_TLS_PORT_CERT" : "QVRAD_FR_TLS_PORT_PSK");
            int accepted = 0;
            const auto start = std::chrono::steady_clock::now();
            for (int i = 0; i < 100; ++i)
                accepted += call(host, port, "alice-pass") == "Welcome, alice" ? 1 : 0;
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
            EXPECT_EQ(accepted, 100);
            std::printf("auth_kept %s: 100 calls in %.2f s\n", fr.Get("QVRAD_FR_VERSION").c_str(),
                        took.count());
        }
    }
    const std::string refusing = certificates ? "OTHER_CA"
                                 : psk12      ? "PSK12_WRONG_KEY"
                                              : "PSK13_WRONG_KEY";
    EXPECT_EQ(call("tls://127.0.0.1", peers["QVRAD_PEER_PORT_" + refusing], "alice-pass"),
              kNetworkFail)
        << refusing;
}

}  // namespace
