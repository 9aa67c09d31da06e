// RADIUS over TLS: the settings' modes and reasons, subjectAltName matching, the PSK file, the
// stream framing, the calendar hook, sessions against loopback listeners that read the ClientHello
// and hang up, never answer, or refuse, and structured logins against an OpenSSL server in this
// process that answers as a row scripts it. Handshakes with real servers are the interop tests'.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "platform/platform.h"
#include "qvrad.h"
#include "radius/packet.h"
#include "radius/server_health.h"
#include "support/responder.h"
#include "support/tls_peer.h"
#include "support/tls_server.h"
#include "tls/tls_framing.h"
#include "tls/tls_names.h"
#include "tls/tls_psk.h"
#include "tls/tls_session.h"
#include "tls/tls_settings.h"

#if defined(QVRAD_HAVE_TLS) && !defined(QVRAD_TLS_SYSTEM_MBEDTLS)
extern "C" struct tm* mbedtls_platform_gmtime_r(const long long* seconds, struct tm* out);
#endif

namespace {

void SetVariable(const char* name, const char* value) {
#if defined(_WIN32)
    SetEnvironmentVariableA(name, value);
#else
    if (value == nullptr)
        unsetenv(name);
    else
        setenv(name, value, 1);
#endif
}

const char* const kTlsVariables[] = {
    "QVRAD_TLS_CA_FILE",      "QVRAD_TLS_CERT_FILE", "QVRAD_TLS_KEY_FILE", "QVRAD_TLS_SERVER_NAME",
    "QVRAD_TLS_PSK_IDENTITY", "QVRAD_TLS_PSK_FILE",  "QVRAD_TLS_PSK_TLS12"};

TlsSettings Settings(const char* ca, const char* cert, const char* key, const char* pskFile,
                     const char* identity, PskTls12 tls12 = PskTls12::kOff,
                     std::uint8_t tooLong = 0) {
    TlsSettings s;
    std::strncpy(s.caFile, ca, kMaxTlsPathLength);
    std::strncpy(s.certFile, cert, kMaxTlsPathLength);
    std::strncpy(s.keyFile, key, kMaxTlsPathLength);
    std::strncpy(s.pskFile, pskFile, kMaxTlsPathLength);
    s.pskIdentityLength = static_cast<std::uint8_t>(std::strlen(identity));
    std::memcpy(s.pskIdentity, identity, s.pskIdentityLength);
    s.pskTls12 = tls12;
    s.tooLong = tooLong;
    return s;
}

CRadSecret Secret(const char* text) {
    CRadSecret s;
    s.Assign(text, std::strlen(text));
    return s;
}

TEST(TlsSettings, ModesAndTheReasonForEachMissingSetting) {
    struct Row {
        TlsSettings settings;
        TlsMode mode;
        const char* reasonStart;
    } rows[] = {
        {Settings("", "", "", "", ""), TlsMode::kIncomplete, "no TLS setting"},
        {Settings("ca", "crt", "key", "", ""), TlsMode::kCertificate, ""},
        {Settings("", "crt", "key", "", ""), TlsMode::kIncomplete, "QVRAD_TLS_CA_FILE is not set"},
        {Settings("ca", "", "key", "", ""), TlsMode::kIncomplete, "QVRAD_TLS_CERT_FILE is not set"},
        {Settings("ca", "crt", "", "", ""), TlsMode::kIncomplete, "QVRAD_TLS_KEY_FILE is not set"},
        {Settings("", "", "", "psk", "nas"), TlsMode::kPsk, ""},
        {Settings("", "", "", "psk", "nas", PskTls12::kOn), TlsMode::kPsk, ""},
        {Settings("", "", "", "", "nas"), TlsMode::kIncomplete, "QVRAD_TLS_PSK_FILE is not set"},
        {Settings("", "", "", "psk", ""), TlsMode::kIncomplete,
         "QVRAD_TLS_PSK_IDENTITY is not set"},
        {Settings("", "", "", "psk", "nas", PskTls12::kInvalid), TlsMode::kIncomplete,
         "QVRAD_TLS_PSK_TLS12 is neither"},
        // The TLS 1.2 switch is a PSK setting: certificates negotiate 1.2 or 1.3 anyway.
        {Settings("ca", "crt", "key", "", "", PskTls12::kInvalid), TlsMode::kCertificate, ""},
        {Settings("ca", "crt", "key", "psk", "nas"), TlsMode::kIncomplete, "both certificate"},
        {Settings("ca", "", "", "", "nas"), TlsMode::kIncomplete, "both certificate"},
        {Settings("", "crt", "key", "", "", PskTls12::kOff, kTlsCaFileBit), TlsMode::kIncomplete,
         "QVRAD_TLS_CA_FILE is longer than 1023 bytes"},
        {Settings("", "", "", "psk", "", PskTls12::kOff, kTlsPskIdentityBit), TlsMode::kIncomplete,
         "QVRAD_TLS_PSK_IDENTITY is longer than 128 octets"},
        {Settings("ca", "crt", "key", "", "", PskTls12::kOff, kTlsServerNameBit),
         TlsMode::kIncomplete, "QVRAD_TLS_SERVER_NAME is longer"},
    };
    for (const Row& row : rows) {
        const char* reason = nullptr;
        EXPECT_EQ(CheckTlsSettings(row.settings, &reason), row.mode) << row.reasonStart;
        ASSERT_NE(reason, nullptr);
        EXPECT_EQ(std::strncmp(reason, row.reasonStart, std::strlen(row.reasonStart)), 0) << reason;
        EXPECT_EQ(reason[0] == '\0', row.mode != TlsMode::kIncomplete) << reason;
    }
}

TEST(TlsSettings, EnvironmentReadKeepsLimitsAndNeverCuts) {
    const std::string path1023(1023, 'p'), path1024(1024, 'p');
    const std::string identity128(128, 'i'), identity129(129, 'i');
    struct Row {
        const char* variable;
        const char* value;
        std::uint8_t tooLong;
        PskTls12 tls12;
    } rows[] = {
        {"QVRAD_TLS_CA_FILE", path1023.c_str(), 0, PskTls12::kOff},
        {"QVRAD_TLS_CA_FILE", path1024.c_str(), kTlsCaFileBit, PskTls12::kOff},
        {"QVRAD_TLS_KEY_FILE", path1024.c_str(), kTlsKeyFileBit, PskTls12::kOff},
        {"QVRAD_TLS_PSK_IDENTITY", identity128.c_str(), 0, PskTls12::kOff},
        {"QVRAD_TLS_PSK_IDENTITY", identity129.c_str(), kTlsPskIdentityBit, PskTls12::kOff},
        {"QVRAD_TLS_SERVER_NAME", path1024.c_str(), kTlsServerNameBit, PskTls12::kOff},
        {"QVRAD_TLS_PSK_TLS12", "YES", 0, PskTls12::kOn},
        {"QVRAD_TLS_PSK_TLS12", "no", 0, PskTls12::kOff},
        {"QVRAD_TLS_PSK_TLS12", "", 0, PskTls12::kOff},
        {"QVRAD_TLS_PSK_TLS12", "maybe", 0, PskTls12::kInvalid},
        {"QVRAD_TLS_PSK_TLS12", "yes-please", 0, PskTls12::kInvalid},
    };
    for (const char* name : kTlsVariables) SetVariable(name, nullptr);
    for (const Row& row : rows) {
        SetVariable(row.variable, row.value);
        TlsSettings s;
        ReadTlsSettingsFromEnvironment(&s);
        SetVariable(row.variable, nullptr);
        EXPECT_EQ(s.tooLong, row.tooLong) << row.variable << " of " << std::strlen(row.value);
        EXPECT_EQ(s.pskTls12, row.tls12) << row.variable << "=" << row.value;
        const std::size_t kept = row.tooLong != 0 ? 0 : std::strlen(row.value);
        const std::string name = row.variable;
        const char* field = name == "QVRAD_TLS_CA_FILE"       ? s.caFile
                            : name == "QVRAD_TLS_KEY_FILE"    ? s.keyFile
                            : name == "QVRAD_TLS_SERVER_NAME" ? s.serverName
                                                              : nullptr;
        if (field != nullptr) {
            EXPECT_EQ(std::strlen(field), kept) << name;
        }
        if (name == "QVRAD_TLS_PSK_IDENTITY") {
            EXPECT_EQ(s.pskIdentityLength, kept);
            EXPECT_EQ(std::memcmp(s.pskIdentity, row.value, kept), 0);
        }
    }
}

TEST(TlsNames, SubjectAltNameEntriesAgainstTheReference) {
    const std::uint8_t v4[] = {127, 0, 0, 1};
    const std::uint8_t v4Other[] = {127, 0, 0, 2};
    std::uint8_t v6[16] = {};
    v6[15] = 1;
    struct Row {
        const char* reference;
        const char* dns;  // a dNSName entry, or null for the address below
        const std::uint8_t* address;
        std::size_t addressLength;
        bool match;
    } rows[] = {
        {"radius.example.com", "radius.example.com", nullptr, 0, true},
        {"RADIUS.Example.COM", "radius.example.com", nullptr, 0, true},
        {"radius.example.com.", "radius.example.com", nullptr, 0, true},
        {"radius.example.com", "radius.example.co", nullptr, 0, false},
        {"radius.example.co", "radius.example.com", nullptr, 0, false},
        {"a.example.com", "*.example.com", nullptr, 0, true},
        {"a.b.example.com", "*.example.com", nullptr, 0, false},
        {"example.com", "*.example.com", nullptr, 0, false},
        {".example.com", "*.example.com", nullptr, 0, false},
        {"x.com", "*.com", nullptr, 0, false},
        {"ab.example.com", "a*.example.com", nullptr, 0, false},
        {"a.b.example.com", "a.*.example.com", nullptr, 0, false},
        {"127.0.0.1", "127.0.0.1", nullptr, 0, false},  // an address is never a DNS-ID
        {"127.0.0.1", nullptr, v4, 4, true},
        {"127.0.0.1", nullptr, v4Other, 4, false},
        {"::1", nullptr, v6, 16, true},
        {"::1", nullptr, v4, 4, false},
        {"radius.example.com", nullptr, v4, 4, false},
    };
    for (const Row& row : rows) {
        const bool got =
            row.dns != nullptr
                ? DnsIdMatches(row.reference, reinterpret_cast<const std::uint8_t*>(row.dns),
                               std::strlen(row.dns))
                : IpIdMatches(row.reference, row.address, row.addressLength);
        EXPECT_EQ(got, row.match) << row.reference << " vs " << (row.dns ? row.dns : "an address");
    }
    // A NUL inside an entry: not the name it prints as.
    const char withNul[] = "radius.example.com\0.evil.test";
    EXPECT_FALSE(DnsIdMatches("radius.example.com", reinterpret_cast<const std::uint8_t*>(withNul),
                              sizeof withNul - 1));
    EXPECT_TRUE(IsAddressLiteral("127.0.0.1"));
    EXPECT_TRUE(IsAddressLiteral("::1"));
    EXPECT_FALSE(IsAddressLiteral("radius.example.com"));
    EXPECT_FALSE(IsAddressLiteral("127.0.0"));
}

TEST(TlsPsk, HexFilesAndTheSharedSecret) {
    const std::string key16 = "00112233445566778899aabbccddeeff";
    const std::string key64(128, 'a');
    struct Row {
        std::string content;  // null-like "-" : no file at all
        const char* secret;
        int rc;
        std::size_t octets;
        const char* reasonPart;
    } rows[] = {
        {key16 + "\n", "testing123", 0, 16, ""},
        {"  \t" + std::string("00112233445566778899AABBCCDDEEFF") + "\r\n", "testing123", 0, 16,
         ""},
        {key64, "testing123", 0, 64, ""},
        {key64 + "aa", "testing123", -1, 0, "holds no key in hex of at most 64 octets"},
        {"00112233445566778899aabbccddee", "testing123", -1, 0, "shorter than 16 octets"},
        {"0011223344556677 8899aabbccddeeff", "testing123", -1, 0, "holds no key in hex"},
        {key16 + "0", "testing123", -1, 0, "holds no key in hex"},
        {"zz112233445566778899aabbccddeeff", "testing123", -1, 0, "holds no key in hex"},
        {"", "testing123", -1, 0, "shorter than 16 octets"},
        {std::string(600, '0'), "testing123", -1, 0, "larger than"},
        // Equal to the secret as octets, or as the hex text itself.
        {"74657374696e673132337465737469", "testing123testi", -1, 0, "shorter than 16"},
        {"74657374696e67313233746573746967", "testing123testig", -1, 0,
         "is the RADIUS shared secret"},
        {key16, key16.c_str(), -1, 0, "is the RADIUS shared secret"},
        {"-", "testing123", -1, 0, "cannot be read"},
    };
    for (const Row& row : rows) {
        TempFile file(row.content);
        std::uint8_t psk[kMaxPskLength];
        std::memset(psk, 0x5A, sizeof psk);
        std::size_t length = 99;
        const char* reason = nullptr;
        const std::string path = row.content == "-" ? file.path + ".none" : file.path;
        const int rc = LoadPsk(path.c_str(), Secret(row.secret).octets, Secret(row.secret).length,
                               psk, &length, &reason);
        EXPECT_EQ(rc, row.rc) << row.content;
        EXPECT_EQ(length, row.octets) << row.content;
        ASSERT_NE(reason, nullptr);
        EXPECT_NE(std::strstr(reason, row.reasonPart), nullptr) << reason;
        if (rc != 0) {
            // A refused key leaves nothing behind in the caller's buffer.
            for (std::uint8_t octet : psk) EXPECT_EQ(octet, 0) << row.content;
        } else if (row.octets == 16) {
            EXPECT_EQ(psk[0], 0x00);
            EXPECT_EQ(psk[10], 0xAA);
            EXPECT_EQ(psk[15], 0xFF);
        }
    }
}

TEST(TlsFraming, LengthFieldAgainstWhatArrived) {
    // The first octets of a stream: Code, Identifier, Length (network order), then the rest.
    auto Stream = [](std::uint16_t length, std::size_t count) {
        Bytes b(count, 0xA5);
        if (count > 0) b[0] = 2;
        if (count > 2) b[2] = static_cast<std::uint8_t>(length >> 8);
        if (count > 3) b[3] = static_cast<std::uint8_t>(length & 0xFF);
        return b;
    };
    struct Row {
        std::uint16_t length;
        std::size_t count;
        int rc;
        std::uint16_t packetLength;
    } rows[] = {
        {20, 0, 0, 0},
        {20, 3, 0, 0},
        {20, 4, 0, 20},
        {20, 19, 0, 20},
        {20, 20, 1, 20},
        {19, 4, -1, 0},
        {0, 20, -1, 0},
        {4096, 100, 0, 4096},
        {4096, 4096, 1, 4096},
        {4097, 4097, -1, 0},
        {0xFFFF, 4, -1, 0},
        // Two packets back to back: the first is whole, the rest waits for the next call.
        {20, 40, 1, 20},
        {44, 4096, 1, 44},
    };
    for (const Row& row : rows) {
        const Bytes stream = Stream(row.length, row.count);
        std::uint16_t packetLength = 0xBEEF;
        EXPECT_EQ(RadiusStreamFrame(stream.data(), stream.size(), &packetLength), row.rc)
            << row.length << "/" << row.count;
        EXPECT_EQ(packetLength, row.packetLength) << row.length << "/" << row.count;
    }
    // The second of two packets is framed on its own from where the first ended.
    Bytes two = Stream(20, 20);
    const Bytes second = Stream(30, 30);
    two.insert(two.end(), second.begin(), second.end());
    std::uint16_t packetLength = 0;
    ASSERT_EQ(RadiusStreamFrame(two.data(), two.size(), &packetLength), 1);
    EXPECT_EQ(
        RadiusStreamFrame(two.data() + packetLength, two.size() - packetLength, &packetLength), 1);
    EXPECT_EQ(packetLength, 30);
}

#if defined(QVRAD_HAVE_TLS) && !defined(QVRAD_TLS_SYSTEM_MBEDTLS)
TEST(TlsLibrary, CalendarOfCertificateDatesMatchesUtc) {
    struct Row {
        long long seconds;
        int year, month, day, hour, minute, second;
    } rows[] = {
        {0, 1970, 1, 1, 0, 0, 0},
        {-1, 1969, 12, 31, 23, 59, 59},
        {951782400, 2000, 2, 29, 0, 0, 0},
        {951868799, 2000, 2, 29, 23, 59, 59},
        {2147483648LL, 2038, 1, 19, 3, 14, 8},
        {4107542400LL, 2100, 3, 1, 0, 0, 0},         // 2100 is no leap year
        {253402300799LL, 9999, 12, 31, 23, 59, 59},  // X.509's GeneralizedTime limit
        {-2208988800LL, 1900, 1, 1, 0, 0, 0},
    };
    for (const Row& row : rows) {
        struct tm t;
        ASSERT_NE(mbedtls_platform_gmtime_r(&row.seconds, &t), nullptr);
        EXPECT_EQ(t.tm_year + 1900, row.year) << row.seconds;
        EXPECT_EQ(t.tm_mon + 1, row.month) << row.seconds;
        EXPECT_EQ(t.tm_mday, row.day) << row.seconds;
        EXPECT_EQ(t.tm_hour * 3600 + t.tm_min * 60 + t.tm_sec,
                  row.hour * 3600 + row.minute * 60 + row.second)
            << row.seconds;
    }
#if !defined(_WIN32)
    // Every 40 hours and 7 seconds from 1901 to 2200 against the C library's own calendar.
    for (long long s = -2147483648LL; s < 7258118400LL; s += 144007) {
        const time_t c = static_cast<time_t>(s);
        struct tm mine, theirs;
        ASSERT_NE(mbedtls_platform_gmtime_r(&s, &mine), nullptr);
        ASSERT_NE(gmtime_r(&c, &theirs), nullptr);
        ASSERT_EQ(std::memcmp(&mine.tm_sec, &theirs.tm_sec, 6 * sizeof(int)), 0) << s;
    }
#endif
}
#endif

// The extensions of a ClientHello record (RFC 8446 section 4.1.2), by type; also its suites and
// compression methods. Empty when the bytes are no ClientHello.
struct ClientHello {
    std::vector<std::uint16_t> suites;
    Bytes compression;
    std::vector<std::pair<std::uint16_t, Bytes>> extensions;
    const Bytes* Find(std::uint16_t type) const {
        for (const auto& e : extensions)
            if (e.first == type) return &e.second;
        return nullptr;
    }
};

bool ParseClientHello(const Bytes& record, ClientHello* out) {
    std::size_t at = 0;
    auto Take = [&](std::size_t n) {
        const std::size_t from = at;
        at += n;
        return at <= record.size() ? from : record.size();
    };
    auto U8 = [&]() {
        const std::size_t i = Take(1);
        return i < record.size() ? record[i] : 0;
    };
    auto U16 = [&]() {
        const unsigned high = U8();  // two statements: the order of the reads is fixed
        return static_cast<std::uint16_t>((high << 8) | U8());
    };
    if (U8() != 22) return false;  // handshake record
    Take(4);                       // version, length
    if (U8() != 1) return false;   // ClientHello
    Take(3 + 2 + 32);              // length, legacy_version, random
    Take(U8());                    // legacy_session_id
    for (std::size_t n = U16() / 2; n > 0; --n) out->suites.push_back(U16());
    for (std::size_t n = U8(); n > 0; --n)
        out->compression.push_back(static_cast<std::uint8_t>(U8()));
    const std::size_t extensionsLength = U16();
    const std::size_t end = at + extensionsLength;
    while (at + 4 <= end && end <= record.size()) {
        const std::uint16_t type = U16();
        const std::size_t length = U16();
        const std::size_t from = Take(length);
        if (at > record.size()) return false;
        out->extensions.push_back({type, Bytes(record.begin() + from, record.begin() + at)});
    }
    return at == end && end <= record.size();
}

const platform::IpAddress kLoopback = platform::IPv4Address(platform::ParseIPv4("127.0.0.1"));
constexpr char kPskHex[] = "00112233445566778899aabbccddeeff\n";

TEST(TlsSession, BuildsWithoutTlsRefuseEveryServerAtOnce) {
    if (TlsBuiltIn()) GTEST_SKIP() << "this build has TLS";
    TcpListener listener;
    CRadTlsSession session;
    EXPECT_EQ(OpenTls(session, kLoopback, listener.port, "localhost", TlsSettings(), Secret("s"),
                      platform::MonotonicMillis() + 1000),
              -1);
    EXPECT_EQ(session.Failure(), TlsFailure::kUnavailable);
    EXPECT_NE(std::strstr(session.FailureReason(), "no TLS"), nullptr);
    EXPECT_FALSE(listener.Waiting(0));
}

TEST(TlsSession, ClientHelloOffersOnlyWhatTheModeAllows) {
    if (!TlsBuiltIn()) GTEST_SKIP() << "this build has no TLS";
    TempFile psk(kPskHex), ca(kTestCaPem), cert(kTestClientCertPem), key(kTestClientKeyPem);
    const TlsSettings certificates =
        Settings(ca.path.c_str(), cert.path.c_str(), key.path.c_str(), "", "");
    const TlsSettings psk13 = Settings("", "", "", psk.path.c_str(), "nas-1");
    const TlsSettings psk12 = Settings("", "", "", psk.path.c_str(), "nas-1", PskTls12::kOn);
    // TLS 1.2 suites allowed to appear (RFC 5289, RFC 7905), TLS 1.3 ones (RFC 8446 B.4), and
    // the renegotiation SCSV (RFC 5746 section 3.3), which says "no renegotiation" here.
    const std::vector<std::uint16_t> tls12Suites = {0xC02B, 0xC02C, 0xCCA9, 0xC02F, 0xC030, 0xCCA8};
    const std::vector<std::uint16_t> tls13Suites = {0x1301, 0x1302, 0x1303};
    struct Row {
        const TlsSettings* settings;
        const char* host;
        const char* sni;                      // null: none sent
        std::vector<std::uint16_t> versions;  // supported_versions; empty: no such extension
        std::vector<std::uint16_t> suites;    // exactly these, in any order, SCSV aside
        bool pskDheOnly;                      // psk_key_exchange_modes = [psk_dhe_ke]
    } rows[] = {
        {&certificates,
         "radius.example.com",
         "radius.example.com",
         {0x0304, 0x0303},
         {0x1301, 0x1302, 0x1303, 0xC02B, 0xC02C, 0xCCA9, 0xC02F, 0xC030, 0xCCA8},
         false},
        {&certificates,
         "127.0.0.1",
         nullptr,
         {0x0304, 0x0303},
         {0x1301, 0x1302, 0x1303, 0xC02B, 0xC02C, 0xCCA9, 0xC02F, 0xC030, 0xCCA8},
         false},
        {&psk13, "radius.example.com", "radius.example.com", {0x0304}, {0x1301, 0x1303}, true},
        {&psk13, "::1", nullptr, {0x0304}, {0x1301, 0x1303}, true},
        {&psk12, "radius.example.com", "radius.example.com", {}, {0xCCAC}, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.host);
        RecordCatcher catcher;
        ASSERT_NE(catcher.Port(), 0);
        CRadTlsSession session;
        EXPECT_EQ(OpenTls(session, kLoopback, catcher.Port(), row.host, *row.settings,
                          Secret("testing123"), platform::MonotonicMillis() + 10000),
                  -1);
        // The catcher hung up after the ClientHello: the handshake ends there.
        EXPECT_EQ(session.Failure(), TlsFailure::kClosed) << session.FailureReason();
        catcher.Join();
        ASSERT_EQ(catcher.Records().size(), 1u);
        ClientHello hello;
        ASSERT_TRUE(ParseClientHello(catcher.Records()[0], &hello));
        EXPECT_EQ(hello.compression, Bytes{0});  // null compression only (RFC 8446 4.1.2)
        std::vector<std::uint16_t> suites;
        for (std::uint16_t s : hello.suites)
            if (s != 0x00FF) suites.push_back(s);
        std::sort(suites.begin(), suites.end());
        std::vector<std::uint16_t> want = row.suites;
        std::sort(want.begin(), want.end());
        EXPECT_EQ(suites, want);
        // ALPN (RFC 7301 section 3.1): one protocol, radius/1.0.
        const Bytes* alpn = hello.Find(16);
        const Bytes wantAlpn = {0, 11, 10, 'r', 'a', 'd', 'i', 'u', 's', '/', '1', '.', '0'};
        ASSERT_NE(alpn, nullptr);
        EXPECT_EQ(*alpn, wantAlpn);
        // SNI (RFC 6066 section 3): the host name alone, never for an address.
        const Bytes* sni = hello.Find(0);
        if (row.sni == nullptr) {
            EXPECT_EQ(sni, nullptr);
        } else {
            ASSERT_NE(sni, nullptr);
            const std::size_t n = std::strlen(row.sni);
            ASSERT_EQ(sni->size(), n + 5);
            EXPECT_EQ(std::string(sni->begin() + 5, sni->end()), row.sni);
            EXPECT_EQ((*sni)[2], 0);  // host_name
        }
        const Bytes* versions = hello.Find(43);
        if (row.versions.empty()) {
            EXPECT_EQ(versions, nullptr);
        } else {
            ASSERT_NE(versions, nullptr);
            std::vector<std::uint16_t> got;
            for (std::size_t i = 1; i + 1 < versions->size(); i += 2)
                got.push_back(
                    static_cast<std::uint16_t>(((*versions)[i] << 8) | (*versions)[i + 1]));
            EXPECT_EQ(got, row.versions);
        }
        EXPECT_EQ(hello.Find(42), nullptr);  // no early_data: no 0-RTT
        const Bytes* modes = hello.Find(45);
        const Bytes* offeredPsk = hello.Find(41);
        if (row.pskDheOnly) {
            ASSERT_NE(modes, nullptr);
            EXPECT_EQ(*modes, (Bytes{1, 1}));  // psk_dhe_ke alone (RFC 8446 section 4.2.9)
            ASSERT_NE(offeredPsk, nullptr);    // identities: length, then "nas-1"
            ASSERT_GE(offeredPsk->size(), 9u);
            EXPECT_EQ(std::string(offeredPsk->begin() + 4, offeredPsk->begin() + 9), "nas-1");
        } else {
            EXPECT_EQ(offeredPsk, nullptr);
        }
    }
}

TEST(TlsSession, DeadlinesAndRefusals) {
    if (!TlsBuiltIn()) GTEST_SKIP() << "this build has no TLS";
    TempFile psk(kPskHex), ca(kTestCaPem), cert(kTestClientCertPem), key(kTestClientKeyPem);
    const TlsSettings settings = Settings("", "", "", psk.path.c_str(), "nas-1");
    // A listener that never accepts: the kernel completes the TCP handshake, nobody answers.
    {
        TcpListener silent;
        CRadTlsSession session;
        const std::int64_t start = platform::MonotonicMillis();
        EXPECT_EQ(OpenTls(session, kLoopback, silent.port, "radius.example.com", settings,
                          Secret("testing123"), start + 300),
                  -1);
        const std::int64_t took = platform::MonotonicMillis() - start;
        EXPECT_EQ(session.Failure(), TlsFailure::kTimeout);
        EXPECT_STREQ(session.FailureReason(), "the handshake did not finish before the deadline");
        EXPECT_GE(took, 300);
        EXPECT_LT(took, 10000);
        EXPECT_FALSE(session.IsOpen());
    }
    // A listener that answers the ClientHello with a stream of records the TLS library reads and
    // ignores (warning alerts), for as long as the client reads: the handshake still ends at its
    // deadline (it once went on for as long as the stream did, ten times the timeout).
    for (const TlsSettings& flooded :
         {settings, Settings(ca.path.c_str(), cert.path.c_str(), key.path.c_str(), "", "")}) {
        RecordCatcher flooder(1, 6000);
        CRadTlsSession session;
        const std::int64_t start = platform::MonotonicMillis();
        EXPECT_EQ(OpenTls(session, kLoopback, flooder.Port(), "radius.example.com", flooded,
                          Secret("testing123"), start + 500),
                  -1);
        const std::int64_t took = platform::MonotonicMillis() - start;
        EXPECT_EQ(session.Failure(), TlsFailure::kTimeout) << session.FailureReason();
        EXPECT_GE(took, 500);
        EXPECT_LT(took, 1500);
        session.Close();  // the flooder stops when the client goes
        flooder.Join();
    }
    // A port nobody listens on any more.
    std::uint16_t closedPort = 0;
    {
        TcpListener gone;
        closedPort = gone.port;
    }
    CRadTlsSession session;
    EXPECT_EQ(OpenTls(session, kLoopback, closedPort, "radius.example.com", settings,
                      Secret("testing123"), platform::MonotonicMillis() + 10000),
              -1);
    EXPECT_EQ(session.Failure(), TlsFailure::kConnect);
    EXPECT_NE(std::strstr(session.FailureReason(), "refused"), nullptr) << session.FailureReason();
    // A session that failed sends and receives nothing.
    std::uint8_t packet[20] = {1, 0, 0, 20};
    EXPECT_EQ(session.Send(packet, 20, platform::MonotonicMillis() + 100), -1);
    EXPECT_EQ(session.Receive(packet, 20, platform::MonotonicMillis() + 100), -1);
}

TEST(TlsSession, SettingsAndKeyFilesFailBeforeAnyConnection) {
    if (!TlsBuiltIn()) GTEST_SKIP() << "this build has no TLS";
    TempFile secretPsk("74657374696e67313233313233343536\n");  // "testing123123456"
    TempFile ca(kTestCaPem), cert(kTestClientCertPem), key(kTestClientKeyPem),
        otherKey(kTestOtherKeyPem), junk("not a certificate\n");
    const std::string missing = ca.path + ".none";
    struct Row {
        TlsSettings settings;
        TlsFailure failure;
        const char* reasonPart;
    } rows[] = {
        {Settings("", "", "", "", ""), TlsFailure::kSettings, "no TLS setting"},
        {Settings("", "", "", secretPsk.path.c_str(), "nas"), TlsFailure::kKeyMaterial,
         "is the RADIUS shared secret"},
        {Settings(missing.c_str(), cert.path.c_str(), key.path.c_str(), "", ""),
         TlsFailure::kKeyMaterial, "the CA file (QVRAD_TLS_CA_FILE) cannot be read"},
        {Settings(junk.path.c_str(), cert.path.c_str(), key.path.c_str(), "", ""),
         TlsFailure::kKeyMaterial, "is not a certificate"},
        {Settings(ca.path.c_str(), junk.path.c_str(), key.path.c_str(), "", ""),
         TlsFailure::kKeyMaterial, "QVRAD_TLS_CERT_FILE) holds something"},
        {Settings(ca.path.c_str(), cert.path.c_str(), junk.path.c_str(), "", ""),
         TlsFailure::kKeyMaterial, "holds no private key"},
        {Settings(ca.path.c_str(), cert.path.c_str(), otherKey.path.c_str(), "", ""),
         TlsFailure::kKeyMaterial, "is not the key of the certificate file"},
    };
    TcpListener listener;
    for (const Row& row : rows) {
        CRadTlsSession session;
        EXPECT_EQ(OpenTls(session, kLoopback, listener.port, "radius.example.com", row.settings,
                          Secret("testing123123456"), platform::MonotonicMillis() + 5000),
                  -1);
        EXPECT_EQ(session.Failure(), row.failure) << session.FailureReason();
        EXPECT_NE(std::strstr(session.FailureReason(), row.reasonPart), nullptr)
            << session.FailureReason();
        EXPECT_FALSE(listener.Waiting(0)) << "connected for " << row.reasonPart;
    }
}

#if defined(QVRAD_HAVE_OPENSSL_SSL)
// A reply over TLS, signed with the shared secret "radsec" (RFC 6614 section 2.3) and carrying a
// Message-Authenticator.
Bytes TlsReply(const Bytes& request, std::uint8_t code, const std::vector<Attribute>& attributes) {
    return SignedReplyWithMessageAuthenticator(request, ToBytes(rad::kTlsSecret), code,
                                               EncodeAttributes(attributes));
}

// An Access-Accept of exactly 4096 octets, the longest packet (RFC 2865 section 3): a
// Reply-Message, then Class attributes (RFC 2865 section 5.25) of up to 255 octets filling it.
Bytes LongestAccept(const Bytes& request) {
    std::vector<Attribute> attributes = {{18, ToBytes("4096")}};
    std::size_t left = 4096 - 20 - 18 - 6;  // header, Message-Authenticator, Reply-Message
    for (; left > 0; left -= std::min<std::size_t>(left, 255))
        attributes.push_back({25, Bytes(std::min<std::size_t>(left, 255) - 2, 0x43)});
    return TlsReply(request, 2, attributes);
}

// Every reply's Reply-Message joined by '|'.
std::string LoginMessages(const qvrad_login* l) {
    std::string out;
    for (size_t i = 0; i < qvrad_login_message_count(l); ++i)
        out += (i ? "|" : "") + std::string(qvrad_login_message(l, i));
    return out;
}

// Structured logins over TLS against an OpenSSL server scripted per row: the reply that verifies
// is the one taken, wherever it stands on the connection; a silent server ends the login at its
// share of the deadline; every connection ends with close_notify; a challenge from a tls:// entry
// that is not the first is answered to it, over the connection its challenge came on.
TEST(TlsLogin, RepliesOnTheConnection) {
    if (!TlsBuiltIn()) GTEST_SKIP() << "this build has no TLS";
    TempFile pskFile(kPskHex);
    const Bytes psk = FromHex("00112233445566778899aabbccddeeff");
    const Bytes tlsSecret = ToBytes(rad::kTlsSecret);
    using Records = TlsRadiusServer::Records;
    const Records silent = [](const Bytes&) { return std::vector<Bytes>(); };
    const auto good = [](const Bytes& request) {
        return TlsReply(request, 2, {{18, ToBytes("good")}});
    };
    // A reply whose Response Authenticator does not verify, and one signed for another request
    // (another Identifier), each a Reject a client that took it would show.
    const auto forged = [](const Bytes& request) {
        Bytes reply = TlsReply(request, 3, {{18, ToBytes("forged")}});
        reply[4] ^= 0x01;
        return reply;
    };
    const auto otherRequest = [](const Bytes& request) {
        Bytes other = request;
        other[1] ^= 0x80;
        return TlsReply(other, 3, {{18, ToBytes("other request")}});
    };
    // A challenge (RFC 2865 section 4.4) with these States, then the Accept in a record of its own.
    const auto malformedChallengeThenGood = [good](std::vector<Attribute> states) -> Records {
        return [good, states](const Bytes& request) {
            std::vector<Attribute> attributes = {{18, ToBytes("challenge")}};
            attributes.insert(attributes.end(), states.begin(), states.end());
            return std::vector<Bytes>{TlsReply(request, 11, attributes), good(request)};
        };
    };
    // The code "123456" answered with the challenge's State gets an Accept; a request without a
    // State, a challenge with Prompt No-Echo (RFC 2869 section 5.10).
    const Records otp = [tlsSecret](const Bytes& request) {
        const std::vector<Attribute> got = ParseAttributes(request);
        const Bytes* state = FindFirst(got, 24);
        const Bytes* hidden = FindFirst(got, 2);
        if (hidden == nullptr) return std::vector<Bytes>();
        if (state == nullptr)
            return std::vector<Bytes>{
                TlsReply(request, 11,
                         {{18, ToBytes("code?")}, {24, ToBytes("tls-state")}, {76, {0, 0, 0, 0}}})};
        const Bytes plain = RevealPassword(*hidden, tlsSecret, RequestAuthenticatorOf(request));
        const bool right =
            *state == ToBytes("tls-state") &&
            std::string(plain.begin(), std::find(plain.begin(), plain.end(), 0)) == "123456";
        return std::vector<Bytes>{TlsReply(
            request, right ? 2 : 3, {{18, ToBytes(right ? "code accepted" : "wrong code")}})};
    };
    enum class Udp : std::uint8_t { kNone, kSilentFirst, kAnsweringLast };
    struct Row {
        const char* name;
        Records records;
        Udp udp;
        std::int64_t timeoutMs;
        int status;
        const char* messages;    // of the login's reply ("" without one)
        const char* answer;      // sent to a challenge, or null
        const char* answered;    // the answer's reply's messages
        double atLeast, atMost;  // seconds the login takes
    } rows[] = {
        // The handshake completes, no reply ever comes: the login ends at its deadline, and
        // with a server after it, at the share's end, leaving the rest to the next server.
        {"silent_after_the_handshake", silent, Udp::kNone, 1000, QVRAD_E_TLS, "", nullptr, "", 0.95,
         2.0},
        {"silent_then_a_udp_server", silent, Udp::kAnsweringLast, 2000, QVRAD_OK, "udp", nullptr,
         "", 0.95, 2.0},
        // RFC 2865 section 3: a reply that does not verify, or answers another request, is
        // discarded and the wait goes on, in a record of its own or beside the good reply.
        {"forged_then_good",
         [forged, good](const Bytes& r) {
             return std::vector<Bytes>{forged(r), good(r)};
         },
         Udp::kNone, 2000, QVRAD_OK, "good", nullptr, "", 0, 2.5},
        {"other_request_then_good",
         [otherRequest, good](const Bytes& r) {
             return std::vector<Bytes>{otherRequest(r), good(r)};
         },
         Udp::kNone, 2000, QVRAD_OK, "good", nullptr, "", 0, 2.5},
        {"forged_and_good_in_one_record",
         [forged, good](const Bytes& r) {
             Bytes both = forged(r);
             const Bytes second = good(r);
             both.insert(both.end(), second.begin(), second.end());
             return std::vector<Bytes>{both};
         },
         Udp::kNone, 2000, QVRAD_OK, "good", nullptr, "", 0, 2.5},
        {"reply_of_4096_octets",
         [](const Bytes& r) { return std::vector<Bytes>{LongestAccept(r)}; }, Udp::kNone, 2000,
         QVRAD_OK, "4096", nullptr, "", 0, 2.5},
        // RFC 2865 section 5.24 and 5.44: at most one State, of at least one octet; a challenge
        // with two, or with an empty one, is malformed and discarded, as over UDP.
        {"challenge_with_two_states_then_good",
         malformedChallengeThenGood({{24, ToBytes("a")}, {24, ToBytes("b")}}), Udp::kNone, 2000,
         QVRAD_OK, "good", nullptr, "", 0, 2.5},
        {"challenge_with_an_empty_state_then_good", malformedChallengeThenGood({{24, Bytes()}}),
         Udp::kNone, 2000, QVRAD_OK, "good", nullptr, "", 0, 2.5},
        // The second entry challenges after the first's share: the answer goes to it alone.
        {"challenge_from_the_second_entry", otp, Udp::kSilentFirst, 2000, QVRAD_OK, "code?",
         "123456", "code accepted", 0.95, 3.0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TlsRadiusServer server(TestPki(), TlsServerMode::kPsk, psk, "tls-login-nas", row.records,
                               4);
        ASSERT_NE(server.Port(), 0);
        LoopbackResponder udp(row.udp == Udp::kAnsweringLast
                                  ? AnswerWith("udp-secret", 2, {{18, ToBytes("udp")}})
                                  : Silent());
        qvrad_client* c = nullptr;
        ASSERT_EQ(qvrad_client_new(&c), QVRAD_OK);
        EXPECT_EQ(qvrad_client_set_int(c, QVRAD_OPT_TIMEOUT_MS, row.timeoutMs), QVRAD_OK);
        EXPECT_EQ(qvrad_client_set_text(c, QVRAD_OPT_TLS_PSK_IDENTITY, "tls-login-nas"), QVRAD_OK);
        EXPECT_EQ(qvrad_client_set_text(c, QVRAD_OPT_TLS_PSK_FILE, pskFile.path.c_str()), QVRAD_OK);
        if (row.udp == Udp::kSilentFirst) {
            EXPECT_EQ(qvrad_client_add_server(c, "127.0.0.1", udp.Port(), "udp-secret"), QVRAD_OK);
        }
        EXPECT_EQ(qvrad_client_add_server(c, "tls://127.0.0.1", server.Port(), "tls-test-secret"),
                  QVRAD_OK);
        if (row.udp == Udp::kAnsweringLast) {
            EXPECT_EQ(qvrad_client_add_server(c, "127.0.0.1", udp.Port(), "udp-secret"), QVRAD_OK);
        }
        qvrad_login* l = nullptr;
        const auto start = std::chrono::steady_clock::now();
        const int status = qvrad_login_pap(c, "alice", "pw", &l);
        const double took =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(status, row.status) << qvrad_error_detail();
        EXPECT_EQ(LoginMessages(l), row.messages);
        EXPECT_GE(took, row.atLeast);
        EXPECT_LE(took, row.atMost);
        const std::size_t toUdp = udp.ReceivedCount();
        if (row.answer != nullptr && l != nullptr) {
            ASSERT_EQ(qvrad_login_code(l), QVRAD_CODE_CHALLENGE);
            EXPECT_EQ(qvrad_login_prompt_echo(l), 0);
            EXPECT_EQ(qvrad_login_answer(l, row.answer), QVRAD_OK) << qvrad_error_detail();
            EXPECT_EQ(LoginMessages(l), row.answered);
            EXPECT_EQ(udp.ReceivedCount(), toUdp);  // nothing of the answer went over UDP
        }
        qvrad_login_free(l);
        qvrad_client_free(c);
        server.Stop();
        server.Join();
        // The server's view: each request arrived once, the answer on the challenge's
        // connection, and every connection ended with close_notify (RFC 8446 section 6.1).
        int packets = 0;
        for (const TlsRadiusServer::Connection& connection : server.Connections()) {
            packets += connection.packets;
            EXPECT_TRUE(connection.closeNotify);
        }
        EXPECT_EQ(packets, row.answer != nullptr ? 2 : 1) << server.Failure();
        if (row.answer != nullptr) {
            ASSERT_FALSE(server.Connections().empty());
            EXPECT_EQ(server.Connections()[0].packets, 2);
        }
    }
}

// The reconnection schedule after failed connections: 0.5 s, doubled each time up to 60 s, each
// raised by up to half at random, never below the schedule nor above 60 s.
TEST(TlsBackoff, ReconnectDelays) {
    const struct {
        std::int32_t failures;
        std::uint16_t jitter;
        std::int64_t millis;
    } rows[] = {
        {0, 0, 0},     {1, 0, 500},   {1, 65535, 749},   {2, 0, 1000},       {3, 32768, 2500},
        {7, 0, 32000}, {8, 0, 60000}, {8, 65535, 60000}, {16, 65535, 60000}, {40, 0, 60000},
    };
    for (const auto& row : rows)
        EXPECT_EQ(ReconnectDelayMillis(row.failures, row.jitter), row.millis)
            << row.failures << " failures, jitter " << row.jitter;
    ServerHealth health;
    EXPECT_TRUE(health.MayConnect(0));
    for (int i = 0; i < 40; ++i) health.Failed(1000, 0);
    EXPECT_EQ(health.failures, ServerHealth::kMaxFailures);
    EXPECT_FALSE(health.MayConnect(60999));
    EXPECT_TRUE(health.MayConnect(61000));
    health.Succeeded();
    EXPECT_TRUE(health.MayConnect(0));
}

// Kept connections against the OpenSSL server: many requests in flight on one connection answered
// out of order, each to its own caller; a reply that does not verify discarded with the connection
// kept for the next login; a reconnection resumed from the server's ticket, as the server sees
// it; a server that floods the connection with packets that never verify holds a login to its
// deadline and no longer, and holds no login on another connection; a forked child opens its own
// connection and never ends its parent's.
TEST(TlsKept, ConnectionsSharedAndKept) {
    if (!TlsBuiltIn()) GTEST_SKIP() << "this build has no TLS";
    TempFile pskFile(kPskHex);
    const Bytes psk = FromHex("00112233445566778899aabbccddeeff");
    // A PSK client of one tls:// server on this port.
    const auto pskClient = [&](std::uint16_t port, std::int64_t timeoutMs, std::int64_t idleMs) {
        qvrad_client* c = nullptr;
        EXPECT_EQ(qvrad_client_new(&c), QVRAD_OK);
        EXPECT_EQ(qvrad_client_set_int(c, QVRAD_OPT_TIMEOUT_MS, timeoutMs), QVRAD_OK);
        EXPECT_EQ(qvrad_client_set_int(c, QVRAD_OPT_TLS_IDLE_MS, idleMs), QVRAD_OK);
        EXPECT_EQ(qvrad_client_set_text(c, QVRAD_OPT_TLS_PSK_IDENTITY, "kept-nas"), QVRAD_OK);
        EXPECT_EQ(qvrad_client_set_text(c, QVRAD_OPT_TLS_PSK_FILE, pskFile.path.c_str()), QVRAD_OK);
        EXPECT_EQ(qvrad_client_add_server(c, "tls://127.0.0.1", port, "kept-secret"), QVRAD_OK);
        return c;
    };
    // Each login's Reply-Message is its User-Name, so a reply handed to the wrong caller shows.
    const auto echoUser = [](const Bytes& request) {
        const std::vector<Attribute> attributes = ParseAttributes(request);
        const Bytes* user = FindFirst(attributes, 1);
        return TlsReply(request, 2, {{18, user != nullptr ? *user : ToBytes("?")}});
    };
    const auto login = [](qvrad_client* c, const std::string& user, std::string* message) {
        qvrad_login* l = nullptr;
        const int status = qvrad_login_pap(c, user.c_str(), "pw", &l);
        if (message != nullptr) *message = LoginMessages(l);
        qvrad_login_free(l);
        return status;
    };

    // Four logins at once on one connection, held by the server until the fourth arrives, then
    // answered last first: each thread gets the reply to its own request.
    {
        std::mutex lock;
        std::vector<Bytes> held;
        TlsRadiusServer::Records reversed = [&](const Bytes& request) {
            std::lock_guard<std::mutex> hold(lock);
            held.push_back(request);
            std::vector<Bytes> out;
            if (held.size() == 4)
                for (auto it = held.rbegin(); it != held.rend(); ++it) out.push_back(echoUser(*it));
            return out;
        };
        TlsRadiusServer server(TestPki(), TlsServerMode::kPsk, psk, "kept-nas", reversed, 4);
        qvrad_client* c = pskClient(server.Port(), 5000, 25000);
        std::vector<std::string> messages(4);
        std::vector<int> statuses(4);
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back(
                [&, t] { statuses[t] = login(c, "user" + std::to_string(t), &messages[t]); });
        for (std::thread& t : threads) t.join();
        qvrad_client_free(c);
        server.Stop();
        server.Join();
        for (int t = 0; t < 4; ++t) {
            EXPECT_EQ(statuses[t], QVRAD_OK) << t;
            EXPECT_EQ(messages[t], "user" + std::to_string(t));
        }
        EXPECT_EQ(server.Handshakes(), 1);  // one connection carried all four
        ASSERT_EQ(server.Connections().size(), 1u);
        EXPECT_EQ(server.Connections()[0].packets, 4);
    }

    // A forged reply (Response Authenticator off by a bit) before the good one: discarded, and the
    // connection stays for the next login, which the server sees on it.
    {
        TlsRadiusServer::Records forgedFirst = [&](const Bytes& request) {
            Bytes forged = echoUser(request);
            forged[4] ^= 0x01;
            return std::vector<Bytes>{forged, echoUser(request)};
        };
        TlsRadiusServer server(TestPki(), TlsServerMode::kPsk, psk, "kept-nas", forgedFirst, 2);
        qvrad_client* c = pskClient(server.Port(), 2000, 25000);
        std::string first, second;
        EXPECT_EQ(login(c, "first", &first), QVRAD_OK) << qvrad_error_detail();
        EXPECT_EQ(login(c, "second", &second), QVRAD_OK) << qvrad_error_detail();
        qvrad_client_free(c);
        server.Stop();
        server.Join();
        EXPECT_EQ(first, "first");
        EXPECT_EQ(second, "second");
        EXPECT_EQ(server.Handshakes(), 1);
        ASSERT_EQ(server.Connections().size(), 1u);
        EXPECT_EQ(server.Connections()[0].packets, 2);
        EXPECT_TRUE(server.Connections()[0].closeNotify);
    }

    // With certificates and no connection kept (a connection per login), the second connection
    // resumes the first one's session from its ticket: the server says so.
    {
        const TestPki pki = MakeTestPki();
        ASSERT_TRUE(pki.ok);
        TempFile ca(pki.caPem), cert(pki.clientCertPem), key(pki.clientKeyPem);
        TlsRadiusServer server(pki, TlsServerMode::kCertificate, Bytes(), "",
                               TlsRadiusServer::Records(
                                   [&](const Bytes& r) { return std::vector<Bytes>{echoUser(r)}; }),
                               3);
        qvrad_client* c = nullptr;
        ASSERT_EQ(qvrad_client_new(&c), QVRAD_OK);
        EXPECT_EQ(qvrad_client_set_int(c, QVRAD_OPT_TLS_IDLE_MS, 0), QVRAD_OK);
        EXPECT_EQ(qvrad_client_set_text(c, QVRAD_OPT_TLS_CA_FILE, ca.path.c_str()), QVRAD_OK);
        EXPECT_EQ(qvrad_client_set_text(c, QVRAD_OPT_TLS_CERT_FILE, cert.path.c_str()), QVRAD_OK);
        EXPECT_EQ(qvrad_client_set_text(c, QVRAD_OPT_TLS_KEY_FILE, key.path.c_str()), QVRAD_OK);
        EXPECT_EQ(qvrad_client_add_server(c, "tls://127.0.0.1", server.Port(), "kept-secret"),
                  QVRAD_OK);
        for (const char* user : {"one", "two", "three"}) {
            std::string message;
            EXPECT_EQ(login(c, user, &message), QVRAD_OK) << qvrad_error_detail();
            EXPECT_EQ(message, user);
        }
        qvrad_client_free(c);
        server.Stop();
        server.Join();
        EXPECT_EQ(server.Handshakes(), 3);
        EXPECT_EQ(server.Resumed(), 2);
    }

    // A server that answers with a stream of packets that never verify, for as long as the
    // client reads: the login ends at its deadline (it once lasted as long as the stream), and a
    // login on another connection meanwhile is answered at once.
    {
        TlsRadiusServer::Options flooding;
        flooding.floodMillis = 8000;
        TlsRadiusServer flooder(TestPki(), TlsServerMode::kPsk, psk, "kept-nas",
                                TlsRadiusServer::Records([&](const Bytes& request) {
                                    Bytes forged = echoUser(request);
                                    forged[4] ^= 0x01;
                                    return std::vector<Bytes>{forged};
                                }),
                                flooding);
        TlsRadiusServer answering(TestPki(), TlsServerMode::kPsk, psk, "kept-nas",
                                  TlsRadiusServer::Records([&](const Bytes& request) {
                                      return std::vector<Bytes>{echoUser(request)};
                                  }),
                                  1);
        qvrad_client* flooded = pskClient(flooder.Port(), 1000, 25000);
        qvrad_client* other = pskClient(answering.Port(), 5000, 25000);
        double otherTook = -1;
        std::thread beside([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            const auto start = std::chrono::steady_clock::now();
            EXPECT_EQ(login(other, "beside", nullptr), QVRAD_OK);
            otherTook =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        });
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(login(flooded, "flooded", nullptr), QVRAD_E_TLS);
        const double took =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        beside.join();
        EXPECT_GE(took, 0.95);
        EXPECT_LT(took, 1.8);
        EXPECT_GE(otherTook, 0);
        EXPECT_LT(otherTook, 3.0);   // a handshake and a reply; the flood lasts 8 s
        qvrad_client_free(flooded);  // the flooder's writes fail once the client is gone
        qvrad_client_free(other);
        flooder.Stop();
        answering.Stop();
        flooder.Join();
        answering.Join();
    }

    // The watchdog (RFC 5997, draft-ietf-radext-radiusdtls-bis): a connection on which nothing
    // arrives for 3 s while a request waits is sent a Status-Server (Identifier 0); when that goes
    // unanswered 3 s more, the connection is dead and the request goes on a new one, where this
    // server answers it, within the login's 10 s.
    {
        std::mutex lock;
        std::vector<std::pair<std::uint8_t, double>> seen;  // Code and seconds from the start
        const auto start = std::chrono::steady_clock::now();
        TlsRadiusServer::Options twoAtOnce;
        twoAtOnce.connections = 3;
        twoAtOnce.concurrent = true;
        TlsRadiusServer deaf(
            TestPki(), TlsServerMode::kPsk, psk, "kept-nas",
            TlsRadiusServer::Records([&](const Bytes& request) {
                std::lock_guard<std::mutex> hold(lock);
                seen.push_back({request[0], std::chrono::duration<double>(
                                                std::chrono::steady_clock::now() - start)
                                                .count()});
                if (seen.size() < 3) return std::vector<Bytes>();
                return std::vector<Bytes>{echoUser(request)};
            }),
            twoAtOnce);
        qvrad_client* c = pskClient(deaf.Port(), 10000, 25000);
        std::string message;
        EXPECT_EQ(login(c, "watched", &message), QVRAD_OK) << qvrad_error_detail();
        EXPECT_EQ(message, "watched");
        qvrad_client_free(c);
        deaf.Stop();
        deaf.Join();
        ASSERT_EQ(seen.size(), 3u);
        EXPECT_EQ(seen[0].first, 1);   // the Access-Request
        EXPECT_EQ(seen[1].first, 12);  // the Status-Server, 3 s after it
        EXPECT_GE(seen[1].second, 2.9);
        EXPECT_LE(seen[1].second, 5.0);
        EXPECT_EQ(seen[2].first, 1);  // the request again, on a new connection, 3 s later
        EXPECT_GE(seen[2].second, 5.9);
        EXPECT_EQ(deaf.Handshakes(), 2);
    }

    // A server that refuses connections: the first login tries and fails; the next, at once, is
    // not sent there at all while reconnections back off (draft-ietf-radext-radiusdtls-bis).
    {
        std::uint16_t closedPort = 0;
        {
            TcpListener gone;
            closedPort = gone.port;
        }
        qvrad_client* c = pskClient(closedPort, 2000, 25000);
        EXPECT_EQ(login(c, "first", nullptr), QVRAD_E_TLS);
        EXPECT_NE(std::string(qvrad_error_detail()).find("refused"), std::string::npos)
            << qvrad_error_detail();
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(login(c, "second", nullptr), QVRAD_E_TLS);
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
                  0.3);
        EXPECT_NE(std::string(qvrad_error_detail()).find("back off"), std::string::npos)
            << qvrad_error_detail();
        qvrad_client_free(c);
    }

#if !defined(_WIN32)
    // fork(): the child logs in through the client it inherited over a connection of its own,
    // and its end (the client freed) never touches the parent's connection, which carries the
    // parent's next login.
    {
        TlsRadiusServer::Options concurrent;
        concurrent.connections = 2;
        concurrent.concurrent = true;
        TlsRadiusServer server(TestPki(), TlsServerMode::kPsk, psk, "kept-nas",
                               TlsRadiusServer::Records([&](const Bytes& request) {
                                   return std::vector<Bytes>{echoUser(request)};
                               }),
                               concurrent);
        qvrad_client* c = pskClient(server.Port(), 3000, 25000);
        EXPECT_EQ(login(c, "parent", nullptr), QVRAD_OK);
        const pid_t child = fork();
        if (child == 0) {
            std::string message;
            const int status = login(c, "child", &message);
            qvrad_client_free(c);
            _exit(status == QVRAD_OK && message == "child" ? 0 : 1);
        }
        ASSERT_GT(child, 0);
        int exit = -1;
        ASSERT_EQ(waitpid(child, &exit, 0), child);
        EXPECT_TRUE(WIFEXITED(exit) && WEXITSTATUS(exit) == 0) << exit;
        std::string message;
        EXPECT_EQ(login(c, "parent again", &message), QVRAD_OK) << qvrad_error_detail();
        EXPECT_EQ(message, "parent again");
        qvrad_client_free(c);
        server.Stop();
        server.Join();
        EXPECT_EQ(server.Handshakes(), 2);
        ASSERT_EQ(server.Connections().size(), 2u);
        // The child's connection carried its one login, the parent's its two and ended with
        // close_notify (the server's threads may note the two ends in either order).
        const bool childFirst = server.Connections()[0].packets == 1;
        const auto& childConnection = server.Connections()[childFirst ? 0 : 1];
        const auto& parentConnection = server.Connections()[childFirst ? 1 : 0];
        EXPECT_EQ(childConnection.packets, 1);
        EXPECT_EQ(parentConnection.packets, 2);
        EXPECT_TRUE(parentConnection.closeNotify);
    }
#endif
}
#endif

}  // namespace
