// The subject of valgrind memcheck in scripts/stages/40-sanitizers.sh, and an ordinary test too:
// 500 mixed calls of auth (accept, reject, a reply behind garbage, a wrong secret, a silent
// server a few times, unresolvable hosts, every refused argument form), each checked for its
// text, then 60 structured logins (qvrad.h: accepts read row by row, challenges answered,
// Vendor-Specific rows, refused arguments) and one to a silent server, then 12 logins over TLS
// (with certificates and with a PSK, TLS 1.3 and 1.2) against an OpenSSL server in this process,
// where the build has TLS and OpenSSL's libssl. Exits 0 when every call gave the expected outcome.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "api/module.h"
#include "qvRadClient.h"
#include "qvrad.h"
#include "support/radius_wire.h"
#include "support/reference_crypto.h"
#include "support/responder.h"
#include "support/tls_server.h"
#include "tls/tls_session.h"

namespace {

const char kSecret[] = "memcheck-secret";
const char kInvalidInput[] = "6007#0#INVALID_INPUT_ERR";
const char kNetworkFail[] = "6040#0#ERR_NETWORK_FAIL";
const char kInvalidFormat[] = "6041#0#ERR_INVALID_RADIUS_FORMAT";

int g_failures = 0;

void Check(int index, const char* what, const char* text, const char* expected) {
    if (text != nullptr && std::strcmp(text, expected) == 0) return;
    if (++g_failures <= 10)
        std::fprintf(stderr, "call %d (%s): got \"%s\", expected \"%s\"\n", index, what,
                     text != nullptr ? text : "<null>", expected);
}

void CheckStatus(int index, const char* what, int got, int expected) {
    if (got == expected) return;
    if (++g_failures <= 10)
        std::fprintf(stderr, "login %d (%s): got %d, expected %d\n", index, what, got, expected);
}

// Reads everything a login hands out, so that memcheck sees every row and text touched; the
// number of rows and messages as "rows/messages".
std::string ReadAll(const qvrad_login* login) {
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < qvrad_login_attribute_count(login); ++i) {
        std::uint32_t vendor = 0, type = 0;
        const unsigned char* value = nullptr;
        std::size_t length = 0;
        if (qvrad_login_attribute(login, i, &vendor, &type, &value, &length) != QVRAD_OK) break;
        for (std::size_t k = 0; k < length; ++k) bytes += value[k] != 0 ? 1 : 0;
    }
    for (std::size_t i = 0; i < qvrad_login_message_count(login); ++i)
        bytes += std::strlen(qvrad_login_message(login, i));
    return std::to_string(qvrad_login_attribute_count(login)) + "/" +
           std::to_string(qvrad_login_message_count(login)) + (bytes != 0 ? "" : " empty");
}

// 60 structured logins and one to a silent server, each with a client of its own, checked for
// status, Code and what the reply holds.
void StructuredLogins(const std::string& accept, const std::string& challenge,
                      const std::string& vendor, const std::string& silent) {
    const std::string p129(129, 'p');
    for (int i = 0; i <= 60; ++i) {
        const int kind = i == 60 ? 4 : i % 4;
        const char* const ports[] = {accept.c_str(), challenge.c_str(), vendor.c_str(),
                                     accept.c_str(), silent.c_str()};
        qvrad_client* client = nullptr;
        CheckStatus(i, "new", qvrad_client_new(&client), QVRAD_OK);
        CheckStatus(i, "server",
                    qvrad_client_add_server(client, "127.0.0.1", std::stoi(ports[kind]), kSecret),
                    QVRAD_OK);
        CheckStatus(i, "timeout", qvrad_client_set_int(client, QVRAD_OPT_TIMEOUT_MS, 1000),
                    QVRAD_OK);
        qvrad_login* login = nullptr;
        const char* password = kind == 3 ? p129.c_str() : "pw";
        const int status = qvrad_login_pap(client, "alice", password, &login);
        CheckStatus(i, "login", status,
                    kind == 3   ? QVRAD_E_ARGUMENT
                    : kind == 4 ? QVRAD_E_TIMEOUT
                                : QVRAD_OK);
        if (kind == 0) {
            CheckStatus(i, "accept", qvrad_login_code(login), QVRAD_CODE_ACCEPT);
            Check(i, "accept rows", ReadAll(login).c_str(), "1/1");
            CheckStatus(i, "stray answer", qvrad_login_answer(login, "123456"),
                        QVRAD_E_NOT_CHALLENGED);
        } else if (kind == 1) {
            // The server challenges every answer too: each answer rebuilds the view.
            for (int k = 0; k < 3; ++k) {
                CheckStatus(i, "challenge", qvrad_login_code(login), QVRAD_CODE_CHALLENGE);
                Check(i, "challenge rows", ReadAll(login).c_str(), "1/1");
                CheckStatus(i, "answer", qvrad_login_answer(login, "123456"), QVRAD_OK);
            }
        } else if (kind == 2) {
            CheckStatus(i, "vendor", qvrad_login_code(login), QVRAD_CODE_ACCEPT);
            Check(i, "vendor rows", ReadAll(login).c_str(), "5/2");
        }
        qvrad_login_free(login);
        qvrad_client_free(client);
    }
}

#if defined(QVRAD_HAVE_OPENSSL_SSL)
// Over TLS the password is hidden with the secret "radsec" (RFC 6614 section 2.3): "pw" is
// accepted at once; any other password is challenged, and the answer "123456", sent with the
// State, accepted.
Bytes AnswerOverTls(const Bytes& request) {
    const Bytes radsec = ToBytes("radsec");
    const std::vector<Attribute> got = ParseAttributes(request);
    const Bytes* hidden = FindFirst(got, 2);
    if (hidden == nullptr) return {};
    Bytes password = RevealPassword(*hidden, radsec, RequestAuthenticatorOf(request));
    password.erase(std::find(password.begin(), password.end(), 0), password.end());
    const bool answer = FindFirst(got, 24) != nullptr;
    if (password == ToBytes(answer ? "123456" : "pw"))
        return SignedReplyWithMessageAuthenticator(request, radsec, 2,
                                                   EncodeAttributes({{18, ToBytes("tls accept")}}));
    if (answer) return SignedReplyWithMessageAuthenticator(request, radsec, 3, {});
    return SignedReplyWithMessageAuthenticator(
        request, radsec, 11, EncodeAttributes({{18, ToBytes("token?")}, {24, ToBytes("st")}}));
}

// In each mode: a login accepted at once, one challenged and answered over the same connection,
// and one challenged and freed unanswered (its connection closed by the free). The logins made.
int TlsLogins() {
    if (!TlsBuiltIn()) return 0;
    const TestPki pki = MakeTestPki();
    if (!pki.ok) {
        ++g_failures;
        std::fprintf(stderr, "no test PKI from OpenSSL\n");
        return 0;
    }
    const Bytes psk = FromHex("6d656d636865636b2d70736b2d6f662d33322d6f63746574732d2d2d2d2d2d21");
    TempFile ca(pki.caPem), cert(pki.clientCertPem), key(pki.clientKeyPem),
        pskFile("6d656d636865636b2d70736b2d6f662d33322d6f63746574732d2d2d2d2d2d21\n");
    const TlsServerMode modes[] = {TlsServerMode::kCertificate, TlsServerMode::kCertificateTls12,
                                   TlsServerMode::kPsk, TlsServerMode::kPskTls12};
    int logins = 0;
    for (TlsServerMode mode : modes) {
        const bool withPsk = mode == TlsServerMode::kPsk || mode == TlsServerMode::kPskTls12;
        TlsRadiusServer server(pki, mode, psk, "memcheck-nas", AnswerOverTls, 3);
        for (int kind = 0; kind < 3; ++kind, ++logins) {
            qvrad_client* client = nullptr;
            CheckStatus(logins, "tls new", qvrad_client_new(&client), QVRAD_OK);
            if (withPsk) {
                CheckStatus(
                    logins, "psk identity",
                    qvrad_client_set_text(client, QVRAD_OPT_TLS_PSK_IDENTITY, "memcheck-nas"),
                    QVRAD_OK);
                CheckStatus(
                    logins, "psk file",
                    qvrad_client_set_text(client, QVRAD_OPT_TLS_PSK_FILE, pskFile.path.c_str()),
                    QVRAD_OK);
                if (mode == TlsServerMode::kPskTls12)
                    CheckStatus(logins, "psk tls12",
                                qvrad_client_set_int(client, QVRAD_OPT_TLS_PSK_TLS12, 1), QVRAD_OK);
            } else {
                const std::pair<int, const char*> files[] = {
                    {QVRAD_OPT_TLS_CA_FILE, ca.path.c_str()},
                    {QVRAD_OPT_TLS_CERT_FILE, cert.path.c_str()},
                    {QVRAD_OPT_TLS_KEY_FILE, key.path.c_str()}};
                for (const auto& [option, path] : files)
                    CheckStatus(logins, "tls file", qvrad_client_set_text(client, option, path),
                                QVRAD_OK);
            }
            // Generous: every handshake runs under valgrind, on both sides.
            CheckStatus(logins, "tls timeout",
                        qvrad_client_set_int(client, QVRAD_OPT_TIMEOUT_MS, 60000), QVRAD_OK);
            CheckStatus(logins, "tls server",
                        qvrad_client_add_server(client, "tls://127.0.0.1", server.Port(), kSecret),
                        QVRAD_OK);
            qvrad_login* login = nullptr;
            const int status =
                qvrad_login_pap(client, "alice", kind == 0 ? "pw" : "challenge me", &login);
            CheckStatus(logins, "tls login", status, QVRAD_OK);
            if (status != QVRAD_OK)
                std::fprintf(stderr, "TLS login %d: %s\n", logins, qvrad_error_detail());
            CheckStatus(logins, "tls code", qvrad_login_code(login),
                        kind == 0 ? QVRAD_CODE_ACCEPT : QVRAD_CODE_CHALLENGE);
            if (kind == 1) {
                CheckStatus(logins, "tls answer", qvrad_login_answer(login, "123456"), QVRAD_OK);
                CheckStatus(logins, "tls answered", qvrad_login_code(login), QVRAD_CODE_ACCEPT);
                Check(logins, "tls rows", ReadAll(login).c_str(),
                      "2/1");  // with Message-Authenticator
            }
            qvrad_login_free(login);
            qvrad_client_free(client);
        }
        server.Join();
        CheckStatus(logins, "tls handshakes", server.Handshakes(), 3);
    }
    return logins;
}
#else
int TlsLogins() {
    return 0;
}
#endif

}  // namespace

int main() {
    if (ModuleProcessAttach() != 0) return 2;
    const Bytes key = ToBytes(kSecret);
    LoopbackResponder accept(AnswerWith(kSecret, 2, {{18, ToBytes("memcheck accept")}}));
    LoopbackResponder reject(AnswerWith(kSecret, 3, {{18, ToBytes("memcheck reject")}}));
    LoopbackResponder challenge(AnswerWith(kSecret, 11, {{18, ToBytes("token?")}}));
    LoopbackResponder wrongSecret(AnswerWith("not-the-secret", 2, {{18, ToBytes("forged")}}));
    LoopbackResponder behindGarbage([key](const Bytes& request) -> std::vector<Datagram> {
        std::vector<Datagram> out;
        for (int i = 0; i < 10; ++i) out.push_back({Bytes(static_cast<std::size_t>(i * 7), 2), 0});
        out.push_back({Bytes(5000, 2), 0});
        out.push_back({SignedReplyWithMessageAuthenticator(
                           request, key, 2, EncodeAttributes({{18, ToBytes("survived")}})),
                       0});
        return out;
    });
    LoopbackResponder silent(Silent());
    // RFC 2865 section 5.26: vendor 9 with two sub-attributes, then one malformed (a sub-attribute
    // running past the value), between two Reply-Messages, one with a NUL inside.
    LoopbackResponder vendor(AnswerWith(kSecret, 2,
                                        {{18, ToBytes("first")},
                                         {26, FromHex("000000090105616263"
                                                      "02047879")},
                                         {26, FromHex("000001370109616263")},
                                         {18, Bytes{'s', 0, 'x'}}}));
    const std::string a = accept.PortText(), r = reject.PortText(), c = challenge.PortText(),
                      w = wrongSecret.PortText(), g = behindGarbage.PortText(),
                      s = silent.PortText();
    // A DNS label is at most 63 octets (RFC 1035 section 2.3.4): the resolver fails without
    // asking any name server.
    const std::string unresolvable = std::string(70, 'm') + ".invalid";
    const std::string huge(3000, 'h'), u254(254, 'u'), p129(129, 'p'), s257(257, 's');

    struct Refused {
        const char* args[6];
    };
    const char* L = "127.0.0.1";
    const Refused refused[] = {
        {{nullptr, "1812", kSecret, "u", "p", "1"}},
        {{L, nullptr, kSecret, "u", "p", "1"}},
        {{L, "1812", nullptr, "u", "p", "1"}},
        {{L, "1812", kSecret, nullptr, "p", "1"}},
        {{L, "1812", kSecret, "u", nullptr, "1"}},
        {{L, "1812", kSecret, "u", "p", nullptr}},
        {{"", "1812", kSecret, "u", "p", "1"}},
        {{L, "", kSecret, "u", "p", "1"}},
        {{L, "1812", "", "u", "p", "1"}},
        {{L, "1812", kSecret, "", "p", "1"}},
        {{L, "1812", kSecret, "u", "", "1"}},
        {{L, "1812", kSecret, "u", "p", ""}},
        {{L, "1812", kSecret, " \t", "p", "1"}},
        {{L, "1812", kSecret, "u", "  ", "1"}},
        {{L, "0", kSecret, "u", "p", "1"}},
        {{L, "-5", kSecret, "u", "p", "1"}},
        {{L, "x", kSecret, "u", "p", "1"}},
        {{L, "2147483648", kSecret, "u", "p", "1"}},
        {{L, "1812", kSecret, "u", "p", "0"}},
        {{L, "1812", kSecret, "u", "p", "20"}},
        {{L, "1812", kSecret, "u", "p", "99999999999"}},
        {{L, "1812", kSecret, u254.c_str(), "p", "1"}},
        {{L, "1812", kSecret, "u", p129.c_str(), "1"}},
        {{L, "1812", s257.c_str(), "u", "p", "1"}},
        {{huge.c_str(), "1812", kSecret, "u", "p", "1"}},
        {{L, huge.c_str(), kSecret, "u", "p", "1"}},
        {{L, "1812", huge.c_str(), "u", "p", "1"}},
        {{L, "1812", kSecret, huge.c_str(), "p", "1"}},
        {{L, "1812", kSecret, "u", huge.c_str(), "1"}},
        {{L, "1812", kSecret, "u", "p", huge.c_str()}},
    };
    const int refusedCount = static_cast<int>(sizeof refused / sizeof refused[0]);

    int silentCalls = 0;
    for (int i = 0; i < 500; ++i) {
        if (i == 100 || i == 250 || i == 400) {  // each waits its whole second
            Check(i, "silent", auth(L, s.c_str(), kSecret, "u", "p", "1"), kNetworkFail);
            ++silentCalls;
            continue;
        }
        switch (i % 9) {
            case 0:
                Check(i, "accept", auth(L, a.c_str(), kSecret, "alice", "pw", "3"),
                      "memcheck accept");
                break;
            case 1:
                Check(i, "reject", auth(L, r.c_str(), kSecret, "alice", "pw", "3"),
                      "memcheck reject");
                break;
            case 2:
                Check(i, "challenge", auth(L, c.c_str(), kSecret, "alice", "pw", "3"),
                      kInvalidFormat);
                break;
            case 3:
                Check(i, "behind garbage", auth(L, g.c_str(), kSecret, "alice", "pw", "3"),
                      "survived");
                break;
            case 4:
                // The forged reply never verifies: the call waits out its timeout. Only a few.
                if (i % 180 == 4)
                    Check(i, "wrong secret", auth(L, w.c_str(), kSecret, "alice", "pw", "1"),
                          kNetworkFail);
                else
                    Check(i, "accept", auth(L, a.c_str(), kSecret, "bob", "secret", "3"),
                          "memcheck accept");
                break;
            case 5:
                Check(i, "0.0.0.0", auth("0.0.0.0", "1812", kSecret, "alice", "pw", "5"),
                      kNetworkFail);
                break;
            case 6:
                Check(i, "unresolvable",
                      auth(unresolvable.c_str(), "1812", kSecret, "alice", "pw", "5"),
                      kNetworkFail);
                break;
            default: {
                const Refused& k = refused[(i / 9 * 2 + i % 9 - 7) % refusedCount];
                Check(i, "refused",
                      auth(k.args[0], k.args[1], k.args[2], k.args[3], k.args[4], k.args[5]),
                      kInvalidInput);
            }
        }
    }
    StructuredLogins(a, c, vendor.PortText(), s);
    const auto tlsStart = std::chrono::steady_clock::now();
    const int tlsLogins = TlsLogins();
    const double tlsSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - tlsStart).count();
    std::printf(
        "500 calls (%d silent), 61 structured logins and %d over TLS (%.1f s), %d "
        "failures; info: %s\n",
        silentCalls, tlsLogins, tlsSeconds, g_failures, info());
    return g_failures == 0 ? 0 : 1;
}
