// RADIUS over TLS without a TLS peer: the settings' modes and reasons, subjectAltName matching,
// the PSK file, the stream framing, the calendar hook, and sessions against loopback listeners
// that read the ClientHello and hang up, never answer, or refuse. Handshakes with real servers
// are the interop tests'.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <stdlib.h>
#endif

#include "platform/platform.h"
#include "radius/packet.h"
#include "support/tls_peer.h"
#include "tls/tls_framing.h"
#include "tls/tls_names.h"
#include "tls/tls_psk.h"
#include "tls/tls_session.h"
#include "tls/tls_settings.h"


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
        const int rc = LoadPsk(path.c_str(), Secret(row.secret), psk, &length, &reason);
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


const platform::IpAddress kLoopback = platform::IPv4Address(platform::ParseIPv4("127.0.0.1"));

TEST(TlsSession, BuildsWithoutTlsRefuseEveryServerAtOnce) {
    if (TlsBuiltIn()) GTEST_SKIP() << "this build has TLS";
    TcpListener listener;
    CRadTlsSession session;
    EXPECT_EQ(session.Open(kLoopback, listener.port, "localhost", TlsSettings(), Secret("s"),
                           platform::MonotonicMillis() + 1000),
              -1);
    EXPECT_EQ(session.Failure(), TlsFailure::kUnavailable);
    EXPECT_NE(std::strstr(session.FailureReason(), "no TLS"), nullptr);
    EXPECT_FALSE(listener.Waiting(0));
}

}  // namespace
