// The TLS session over Mbed TLS: key material read and wiped per connection, a non-blocking TCP
// socket driven against one deadline, the server checked against the CA file and its
// subjectAltName. Reads Mbed TLS's received alert (a private field) to name it in the failure
// reason.
#define MBEDTLS_ALLOW_PRIVATE_ACCESS
#include "tls/tls_session.h"

#include <cstring>
#include <new>

#include "mbedtls/net_sockets.h"
#include "mbedtls/oid.h"
#include "mbedtls/pk.h"
extern "C" {  // the one Mbed TLS 3.6 header without C linkage of its own
#include "mbedtls/psa_util.h"
}
#include "mbedtls/ssl.h"
#include "mbedtls/x509_crt.h"
#include "tls/tls_framing.h"
#include "tls/tls_library.h"
#include "tls/tls_names.h"
#include "tls/tls_psk.h"

struct CRadTlsSession::State {
    platform::SocketHandle socket = platform::kInvalidSocket;
    mbedtls_ssl_context ssl;
    mbedtls_ssl_config config;
    mbedtls_x509_crt ca;
    mbedtls_x509_crt own;
    mbedtls_pk_context key;
    bool established = false;  // handshake done, no error since: close_notify is owed
    bool psk = false;
    bool tls12Only = false;        // a PSK by the explicit TLS 1.2 setting
    bool resumable = false;        // certificates: tickets kept and offered (RFC 8446 section 2.2)
    bool certificateSeen = false;  // the server sent a certificate (no resumption then)
    // What the socket callback may still read in the current step: nothing past the step's
    // deadline, and at most a bounded count of octets, so that a peer that keeps sending (records
    // the TLS library reads and ignores) cannot hold one step, or a lock around it, for ever.
    std::int64_t stepDeadline = 0;
    std::size_t stepBudget = 0;
    // The verify callback's inputs and findings.
    // The name or address literal to find in subjectAltName (an IPv6 literal without brackets).
    char reference[kMaxTlsServerNameLength + 1] = {};
    bool referenceIsAddress = false;
    bool hasSubjectAltName = false;
    // The session's own record of the server's chain, which outlives this state.
    PeerCertificate* chain = nullptr;
    int* chainLength = nullptr;
    // Nothing has arrived since the handshake: a close or an alert then is the server's verdict
    // on this client (in TLS 1.3 it judges the client's certificate after the client is done).
    bool nothingReceived = true;
    bool handshakeDone = false;
    // What arrived of the packet being received (RFC 6613 framing).
    std::uint8_t pending[kStreamMaxPacket];
    std::uint16_t pendingCount = 0;
};

namespace {

// The room for each file, NUL excluded: an application-specific CA list (not a system bundle),
// a certificate with its chain, one private key (an RSA 8192-bit key in PEM is some 6.5 KiB).
constexpr std::size_t kCaFileRoom = 64 * 1024;
constexpr std::size_t kCertFileRoom = 32 * 1024;
constexpr std::size_t kKeyFileRoom = 16 * 1024;

// TLS 1.3 suites (RFC 8446 appendix B.4), then TLS 1.2 with ECDHE and an AEAD (RFC 5289,
// RFC 7905); never RSA key transport, CBC, RC4, 3DES or a NULL cipher.
const int kCertificateSuites[] = {
    MBEDTLS_TLS1_3_AES_128_GCM_SHA256,
    MBEDTLS_TLS1_3_AES_256_GCM_SHA384,
    MBEDTLS_TLS1_3_CHACHA20_POLY1305_SHA256,
    MBEDTLS_TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256,
    MBEDTLS_TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384,
    MBEDTLS_TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305_SHA256,
    MBEDTLS_TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256,
    MBEDTLS_TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384,
    MBEDTLS_TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305_SHA256,
    0,
};
// A PSK over TLS 1.3: the suites whose hash is SHA-256, the hash of an external PSK by default
// (RFC 8446 section 4.2.11).
const int kPskTls13Suites[] = {
    MBEDTLS_TLS1_3_AES_128_GCM_SHA256,
    MBEDTLS_TLS1_3_CHACHA20_POLY1305_SHA256,
    0,
};
// A PSK over TLS 1.2 (only by the explicit setting): ECDHE-PSK (RFC 5489) with ChaCha20-Poly1305
// (RFC 7905), which OpenSSL-based servers such as FreeRADIUS offer.
const int kPskTls12Suites[] = {
    MBEDTLS_TLS_ECDHE_PSK_WITH_CHACHA20_POLY1305_SHA256,
    0,
};
const std::uint16_t kGroups[] = {
    MBEDTLS_SSL_IANA_TLS_GROUP_SECP256R1,
    MBEDTLS_SSL_IANA_TLS_GROUP_X25519,
    MBEDTLS_SSL_IANA_TLS_GROUP_SECP384R1,
    MBEDTLS_SSL_IANA_TLS_GROUP_NONE,
};
const char* const kAlpnList[] = {kRadiusAlpn, nullptr};

// Appends text to a NUL-terminated buffer of size bytes, cutting what does not fit.
void Append(char* out, std::size_t size, const char* text) {
    if (text == nullptr) return;
    const std::size_t at = std::strlen(out);  // below size: out is NUL-terminated within it
    CopyReason(out + at, size - at, text);
}

void AppendNumber(char* out, std::size_t size, unsigned long value) {
    char digits[24];
    std::size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0 && n < sizeof digits);
    char text[24];
    for (std::size_t i = 0; i < n; ++i) text[i] = digits[n - 1 - i];
    text[n] = '\0';
    Append(out, size, text);
}

// An Mbed TLS error code as Mbed TLS prints it: "-0x7780".
void AppendError(char* out, std::size_t size, int code) {
    const unsigned value = code < 0 ? static_cast<unsigned>(-code) : static_cast<unsigned>(code);
    char text[8] = "-0x0000";
    const char hex[] = "0123456789ABCDEF";
    for (int i = 0; i < 4; ++i) text[6 - i] = hex[(value >> (4 * i)) & 0xF];
    Append(out, size, text);
}

// The alert descriptions a server ends a handshake with (RFC 8446 section 6).
const char* AlertName(unsigned description) {
    switch (description) {
        case 10:
            return "unexpected_message";
        case 20:
            return "bad_record_mac";
        case 40:
            return "handshake_failure";
        case 42:
            return "bad_certificate";
        case 43:
            return "unsupported_certificate";
        case 44:
            return "certificate_revoked";
        case 45:
            return "certificate_expired";
        case 46:
            return "certificate_unknown";
        case 47:
            return "illegal_parameter";
        case 48:
            return "unknown_ca";
        case 49:
            return "access_denied";
        case 50:
            return "decode_error";
        case 51:
            return "decrypt_error";
        case 70:
            return "protocol_version";
        case 71:
            return "insufficient_security";
        case 80:
            return "internal_error";
        case 109:
            return "missing_extension";
        case 110:
            return "unsupported_extension";
        case 112:
            return "unrecognized_name";
        case 115:
            return "unknown_psk_identity";
        case 116:
            return "certificate_required";
        case 120:
            return "no_application_protocol";
        default:
            return "an alert";
    }
}

// The certificate check that failed first, in words (flags: MBEDTLS_X509_BADCERT_*).
const char* CertificateReason(std::uint32_t flags, bool hasSubjectAltName) {
    if (flags & MBEDTLS_X509_BADCERT_MISSING) return "the server sent no certificate";
    if (flags & MBEDTLS_X509_BADCERT_NOT_TRUSTED)
        return "the server's certificate is not signed by the CA file (QVRAD_TLS_CA_FILE)";
    if (flags & MBEDTLS_X509_BADCERT_EXPIRED) return "the server's certificate has expired";
    if (flags & MBEDTLS_X509_BADCERT_FUTURE) return "the server's certificate is not valid yet";
    if (flags & MBEDTLS_X509_BADCERT_CN_MISMATCH)
        return hasSubjectAltName
                   ? "is not in the server certificate's subjectAltName"
                   : "is not in the server certificate's subjectAltName: it has none, and its "
                     "Common Name is never used";
    if (flags & (MBEDTLS_X509_BADCERT_KEY_USAGE | MBEDTLS_X509_BADCERT_EXT_KEY_USAGE))
        return "the server's certificate is not for a TLS server (key usage or extended key "
               "usage)";
    if (flags &
        (MBEDTLS_X509_BADCERT_BAD_MD | MBEDTLS_X509_BADCERT_BAD_PK | MBEDTLS_X509_BADCERT_BAD_KEY))
        return "the server's certificate uses a hash, key type or key size not accepted";
    return "the server's certificate failed a check";
}

// Whether the key file's public key is the certificate's: their encodings compared. The public
// key as the key file states it (an EC key file carries its point; an RSA one its modulus), so no
// scalar multiplication is spent on each connection (mbedtls_pk_check_pair would derive the point
// from the private key: a tenth of a handshake). A key file whose stated point were not its
// private key's would only make the server refuse this client's signature.
bool SamePublicKey(mbedtls_pk_context* certificate, mbedtls_pk_context* key) {
    unsigned char a[1280];  // an RSA 8192-bit public key's DER is some 1,060 octets
    unsigned char b[1280];
    // The DER is written at the end of the buffer; the lengths are returned.
    const int na = mbedtls_pk_write_pubkey_der(certificate, a, sizeof a);
    const int nb = mbedtls_pk_write_pubkey_der(key, b, sizeof b);
    return na > 0 && na == nb &&
           std::memcmp(a + sizeof a - na, b + sizeof b - nb, static_cast<std::size_t>(na)) == 0;
}

bool LooksLikePem(const unsigned char* text, std::size_t length) {
    static const char kBegin[] = "-----BEGIN ";
    const std::size_t n = sizeof kBegin - 1;
    for (std::size_t i = 0; i + n <= length; ++i)
        if (std::memcmp(text + i, kBegin, n) == 0) return true;
    return false;
}

// A file read whole into a heap block (NUL after its bytes, for Mbed TLS's PEM parser), wiped
// and released when it goes out of scope.
class FileBytes {
  public:
    explicit FileBytes(std::size_t room) : room_(room) {
        bytes_ = static_cast<unsigned char*>(::operator new(room + 1, std::nothrow));
    }
    ~FileBytes() {
        if (bytes_ == nullptr) return;
        platform::SecureZero(bytes_, room_ + 1);
        ::operator delete(bytes_);
    }
    FileBytes(const FileBytes&) = delete;
    FileBytes& operator=(const FileBytes&) = delete;

    // 0, -1 (unreadable, or no memory), -2 (too large).
    int Read(const char* path) {
        if (bytes_ == nullptr) return -1;
        const int got = platform::ReadSmallFile(path, bytes_, room_);
        if (got < 0) return got;
        length_ = static_cast<std::size_t>(got);
        bytes_[length_] = '\0';
        return 0;
    }
    const unsigned char* Bytes() const { return bytes_; }
    // What Mbed TLS's parsers take: PEM with its NUL counted, DER as it is.
    std::size_t ParseLength() const {
        return LooksLikePem(bytes_, length_) ? length_ + 1 : length_;
    }

  private:
    unsigned char* bytes_ = nullptr;
    std::size_t room_;
    std::size_t length_ = 0;
};

int BioSend(void* context, const unsigned char* bytes, std::size_t length) {
    auto* state = static_cast<CRadTlsSession::State*>(context);
    const int sent = platform::SocketStreamSend(state->socket, bytes, length);
    if (sent >= 0) return sent;
    return sent == platform::kSocketWouldBlock ? MBEDTLS_ERR_SSL_WANT_WRITE
                                               : MBEDTLS_ERR_NET_SEND_FAILED;
}

// The octets one step may read from the socket: two full records and more, far above what a
// RADIUS packet or a handshake flight needs, so a step ends with its data long before this.
constexpr std::size_t kStepBudget = 64 * 1024;

int BioReceive(void* context, unsigned char* buffer, std::size_t capacity) {
    auto* state = static_cast<CRadTlsSession::State*>(context);
    // The clock is read on every call, whatever the socket holds: the TLS library loops over
    // records it ignores (a dummy ChangeCipherSpec, warning alerts) without returning, and only
    // "nothing to read" makes it return to the caller that watches the deadline.
    if (state->stepBudget == 0 || platform::MonotonicMillis() >= state->stepDeadline)
        return MBEDTLS_ERR_SSL_WANT_READ;
    if (capacity > state->stepBudget) capacity = state->stepBudget;
    const int got = platform::SocketStreamReceive(state->socket, buffer, capacity);
    if (got > 0) state->stepBudget -= static_cast<std::size_t>(got);
    if (got >= 0) return got;  // 0: the server closed its side (Mbed TLS: connection EOF)
    return got == platform::kSocketWouldBlock ? MBEDTLS_ERR_SSL_WANT_READ
                                              : MBEDTLS_ERR_NET_RECV_FAILED;
}

// A certificate's date as RFC 5280 section 4.1.2.5 gives it (UTC): "2025-01-31 12:00:00".
void FormatTime(const mbedtls_x509_time& t, char* out, std::size_t size) {
    const int fields[6] = {t.year, t.mon, t.day, t.hour, t.min, t.sec};
    const char* const after[6] = {"-", "-", " ", ":", ":", ""};
    char text[32];
    std::size_t at = 0;
    for (int f = 0; f < 6; ++f) {
        // Mbed TLS parses four-digit years and two-digit fields: each in range, padded.
        const unsigned value = fields[f] < 0 ? 0u : static_cast<unsigned>(fields[f]) % 10000u;
        const unsigned width = f == 0 ? 4u : 2u;
        for (unsigned d = width; d-- > 0;) {
            unsigned digit = value;
            for (unsigned k = 0; k < d; ++k) digit /= 10;
            text[at++] = static_cast<char>('0' + digit % 10);
        }
        for (const char* p = after[f]; *p != '\0'; ++p) text[at++] = *p;
    }
    text[at] = '\0';  // at most 19 characters
    CopyReason(out, size, text);
}

// The subjectAltName entries (RFC 5280 section 4.2.1.6) as "DNS:name, IP:address, URI:text",
// cut to fit; other kinds by their kind alone. The names are copied as they are (a NUL in one
// as '?'), for the caller to escape.
void ListAltNames(const mbedtls_x509_crt& certificate, char* out, std::size_t size) {
    out[0] = '\0';
    int count = 0;
    // Bounded by the parsed list, at most one entry per two octets of a certificate.
    for (const mbedtls_x509_sequence* entry = &certificate.subject_alt_names;
         entry != nullptr && entry->buf.p != nullptr && count < 64; entry = entry->next, ++count) {
        if (count != 0) Append(out, size, ", ");
        const unsigned type = static_cast<unsigned>(entry->buf.tag) & MBEDTLS_ASN1_TAG_VALUE_MASK;
        if (type == MBEDTLS_X509_SAN_IP_ADDRESS && (entry->buf.len == 4 || entry->buf.len == 16)) {
            platform::IpAddress ip;
            ip.family = entry->buf.len == 4 ? platform::kFamilyIPv4 : platform::kFamilyIPv6;
            std::memcpy(ip.bytes, entry->buf.p, entry->buf.len);
            char address[64];
            platform::FormatAddress(ip, address, sizeof address);
            Append(out, size, "IP:");
            Append(out, size, address);
            continue;
        }
        const char* kind = type == MBEDTLS_X509_SAN_DNS_NAME                      ? "DNS:"
                           : type == MBEDTLS_X509_SAN_UNIFORM_RESOURCE_IDENTIFIER ? "URI:"
                           : type == MBEDTLS_X509_SAN_RFC822_NAME                 ? "email:"
                                                                                  : nullptr;
        if (kind == nullptr) {
            Append(out, size, "(a name of another kind)");
            continue;
        }
        Append(out, size, kind);
        std::size_t at = std::strlen(out);
        for (std::size_t i = 0; i < entry->buf.len && at + 1 < size; ++i)
            out[at++] = entry->buf.p[i] == 0 ? '?' : static_cast<char>(entry->buf.p[i]);
        out[at] = '\0';
    }
}

// Mbed TLS's call for each certificate of the chain it built, from the top down to the server's
// own at depth 0, after its own checks (chain, dates, and its name check for a DNS name, which
// would fall back to the Common Name), whether they passed or not. Each is kept in words for
// --verbose; the name is checked here again against subjectAltName alone (RFC 9525 section
// 6.2: a client never seeks a match in the Common Name).
int VerifyServer(void* context, mbedtls_x509_crt* certificate, int depth, std::uint32_t* flags) {
    auto* state = static_cast<CRadTlsSession::State*>(context);
    state->certificateSeen = true;
    if (depth >= 0 && depth < kMaxPeerCertificates) {
        PeerCertificate& shown = state->chain[depth];
        if (mbedtls_x509_dn_gets(shown.subject, sizeof shown.subject, &certificate->subject) < 0)
            shown.subject[0] = '\0';
        if (mbedtls_x509_dn_gets(shown.issuer, sizeof shown.issuer, &certificate->issuer) < 0)
            shown.issuer[0] = '\0';
        ListAltNames(*certificate, shown.altNames, sizeof shown.altNames);
        FormatTime(certificate->valid_from, shown.validFrom, sizeof shown.validFrom);
        FormatTime(certificate->valid_to, shown.validUntil, sizeof shown.validUntil);
        if (*state->chainLength < depth + 1) *state->chainLength = depth + 1;
    }
    if (depth != 0) return 0;
    bool matched = false;
    state->hasSubjectAltName =
        (certificate->MBEDTLS_PRIVATE(ext_types) & MBEDTLS_X509_EXT_SUBJECT_ALT_NAME) != 0;
    if (state->hasSubjectAltName) {
        for (const mbedtls_x509_sequence* entry = &certificate->subject_alt_names;
             entry != nullptr && !matched; entry = entry->next) {
            const unsigned type =
                static_cast<unsigned>(entry->buf.tag) & MBEDTLS_ASN1_TAG_VALUE_MASK;
            if (type == MBEDTLS_X509_SAN_DNS_NAME && !state->referenceIsAddress)
                matched = DnsIdMatches(state->reference, entry->buf.p, entry->buf.len);
            else if (type == MBEDTLS_X509_SAN_IP_ADDRESS && state->referenceIsAddress)
                matched = IpIdMatches(state->reference, entry->buf.p, entry->buf.len);
        }
    }
    if (!matched) *flags |= MBEDTLS_X509_BADCERT_CN_MISMATCH;
    return 0;
}

// Milliseconds left until the deadline, within what a wait takes; 0 when it has passed.
std::int32_t Remaining(std::int64_t deadlineMillis) {
    const std::int64_t left = deadlineMillis - platform::MonotonicMillis();
    if (left <= 0) return 0;
    return left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<std::int32_t>(left);
}

// Waits for the socket to be readable (or writable) until the deadline: 1 ready, 0 the deadline
// passed, -1 error. Each wait lasts until the deadline unless the socket becomes ready or a
// signal cuts it short, so the loop ends by the deadline.
int WaitSocket(platform::SocketHandle socket, bool readable, std::int64_t deadlineMillis) {
    for (;;) {
        const std::int32_t left = Remaining(deadlineMillis);
        if (left == 0) return 0;
        const int rc = readable ? platform::SocketWaitReadable(socket, left)
                                : platform::SocketWaitWritable(socket, left);
        if (rc != 0) return rc > 0 ? 1 : -1;
    }
}

// The fatal alert Mbed TLS just received (its record is still in the input buffer), by name,
// and what it most likely means for this client's settings.
void DescribeAlert(const CRadTlsSession::State& s, const char* lead, char* text, std::size_t size) {
    const unsigned alert = s.ssl.in_msg != nullptr ? s.ssl.in_msg[1] : 0;
    Append(text, size, lead);
    Append(text, size, AlertName(alert));
    if (alert == 70)
        Append(text, size,
               !s.psk        ? ": it speaks neither TLS 1.2 nor TLS 1.3"
               : s.tls12Only ? ": it does not speak TLS 1.2 with this PSK"
                             : ": it does not speak TLS 1.3 (a PSK over TLS 1.2 needs "
                               "QVRAD_TLS_PSK_TLS12=yes)");
    // bad_record_mac: in TLS 1.2 a server with another key cannot read the client's Finished.
    else if (s.psk && (alert == 20 || alert == 40 || alert == 47 || alert == 51 || alert == 109 ||
                       alert == 115))
        Append(text, size, ": it did not accept the PSK identity or key");
    else if (!s.psk && (alert == 42 || alert == 46 || alert == 48 || alert == 116))
        Append(text, size, ": it did not accept this client's certificate");
    else if (alert == 120)
        Append(text, size, ": it does not speak radius/1.0 (ALPN)");
}

// Why a server ends a connection before any reply, lead saying how and when: its verdict on
// this client's keys (FreeRADIUS closes without an alert when it refuses a PSK identity or a
// certificate), or its limit of clients (its max_connections: it takes the TCP connection, then
// closes it). Only the server's log can say which. After the handshake, with certificates, it is
// the certificate: a TLS 1.3 server judges it once the client's side of the handshake is done.
void DescribeRefusal(const CRadTlsSession::State& s, const char* lead, char* text,
                     std::size_t size) {
    Append(text, size, lead);
    if (s.handshakeDone && !s.psk)
        Append(text, size,
               ": it refused this client's certificate (TLS 1.3 servers judge it after the "
               "handshake); the server's log says why");
    else
        Append(text, size,
               s.psk ? ": it refused this client's PSK identity or key (or it takes no PSK, or "
                       "this PSK over another TLS version), or it has reached its limit of "
                       "clients (max_connections); the server's log says which"
                     : ": it refused this client's certificate (or it takes PSKs only), or it "
                       "has reached its limit of clients (max_connections); the server's log "
                       "says which");
}

}  // namespace

bool TlsBuiltIn() {
    return true;
}

CRadTlsSession::CRadTlsSession() = default;

CRadTlsSession::~CRadTlsSession() {
    Close();
}

void CRadTlsSession::ClearDescription() {
    failure_ = TlsFailure::kNone;
    reason_[0] = version_[0] = suite_[0] = '\0';
    chainLength_ = 0;
}

int CRadTlsSession::Fail(TlsFailure failure, const char* reason, const char* detail) {
    failure_ = failure;
    reason_[0] = '\0';
    Append(reason_, sizeof reason_, reason);
    Append(reason_, sizeof reason_, detail);
    Close();
    return -1;
}

int CRadTlsSession::Open(const platform::IpAddress& ip, std::uint16_t port,
                         const char* hostAsWritten, const TlsSettings& settings,
                         const std::uint8_t* udpSecret, std::size_t udpSecretLength,
                         std::int64_t deadlineMillis, TlsTicket* resume) {
    Close();
    ClearDescription();
    resumed_ = false;
    newTicket_.Clear();
    const char* why = "";
    const TlsMode mode = CheckTlsSettings(settings, &why);
    if (mode == TlsMode::kIncomplete) return Fail(TlsFailure::kSettings, why);
    const char* reference = settings.serverName[0] != '\0' ? settings.serverName : hostAsWritten;
    if (reference == nullptr || reference[0] == '\0' ||
        std::strlen(reference) > kMaxTlsServerNameLength)
        return Fail(TlsFailure::kSettings,
                    "no server name of at most 253 characters to check the certificate against");
    if (TlsLibraryReady() != 0)
        return Fail(TlsFailure::kUnavailable,
                    "the TLS library could not start: the system's random source failed");

    state_ = new (std::nothrow) State;
    if (state_ == nullptr) return Fail(TlsFailure::kIo, "no memory for a TLS session");
    State& s = *state_;
    mbedtls_ssl_init(&s.ssl);
    mbedtls_ssl_config_init(&s.config);
    mbedtls_x509_crt_init(&s.ca);
    mbedtls_x509_crt_init(&s.own);
    mbedtls_pk_init(&s.key);
    s.psk = mode == TlsMode::kPsk;
    // An IPv6 literal in brackets, as an entry may write it ("tls://[::1]"), names the address
    // inside: an IP-ID to match, and no SNI (RFC 6066 section 3).
    std::size_t length = std::strlen(reference);
    if (length > 2 && reference[0] == '[' && reference[length - 1] == ']') {
        std::memcpy(s.reference, reference + 1, length - 2);
        if (!IsAddressLiteral(s.reference)) std::memset(s.reference, 0, sizeof s.reference);
    }
    if (s.reference[0] == '\0') {
        // RFC 6066 section 3: the HostName in SNI carries no trailing dot, and a DNS-ID is
        // compared without it (RFC 6125 section 6.2.1): "localhost." names localhost.
        if (length > 1 && reference[length - 1] == '.') --length;
        std::memcpy(s.reference, reference, length);
    }
    s.referenceIsAddress = IsAddressLiteral(s.reference);
    s.chain = chain_;
    s.chainLength = &chainLength_;

    if (mbedtls_ssl_config_defaults(&s.config, MBEDTLS_SSL_IS_CLIENT, MBEDTLS_SSL_TRANSPORT_STREAM,
                                    MBEDTLS_SSL_PRESET_DEFAULT) != 0)
        return Fail(TlsFailure::kIo, "the TLS configuration could not be set up");
    mbedtls_ssl_conf_rng(&s.config, mbedtls_psa_get_random, MBEDTLS_PSA_RANDOM_STATE);
    mbedtls_ssl_conf_groups(&s.config, kGroups);
    // A server that answers with another protocol fails the handshake (RFC 7301 section 3.2);
    // one that ignores ALPN is accepted.
    if (mbedtls_ssl_conf_alpn_protocols(&s.config, const_cast<const char**>(kAlpnList)) != 0)
        return Fail(TlsFailure::kIo, "the ALPN list could not be set");
    // Certificates always verified, also in PSK mode: no certificate-based key exchange is
    // offered there, and a server that sent one anyway would meet an empty trust list.
    mbedtls_ssl_conf_authmode(&s.config, MBEDTLS_SSL_VERIFY_REQUIRED);
    mbedtls_ssl_conf_verify(&s.config, VerifyServer, &s);
    // Resumption with certificates only: it saves the certificate work, which a PSK handshake
    // never does. A PSK connection neither asks for tickets nor keeps those it is sent.
    s.resumable = !s.psk;
    mbedtls_ssl_conf_session_tickets(&s.config, s.resumable ? MBEDTLS_SSL_SESSION_TICKETS_ENABLED
                                                            : MBEDTLS_SSL_SESSION_TICKETS_DISABLED);
    mbedtls_ssl_conf_tls13_enable_signal_new_session_tickets(
        &s.config, s.resumable ? MBEDTLS_SSL_TLS1_3_SIGNAL_NEW_SESSION_TICKETS_ENABLED
                               : MBEDTLS_SSL_TLS1_3_SIGNAL_NEW_SESSION_TICKETS_DISABLED);
    const int configured = s.psk ? ConfigurePsk(settings, udpSecret, udpSecretLength)
                                 : ConfigureCertificates(settings);
    if (configured != 0) return -1;

    if (mbedtls_ssl_setup(&s.ssl, &s.config) != 0)
        return Fail(TlsFailure::kIo, "no memory for the TLS session");
    // SNI for a name only (RFC 6066 section 3); an address literal is checked as an IP-ID with no
    // name given to Mbed TLS (NULL: its own name check, and its Common Name fallback, are off).
    if (mbedtls_ssl_set_hostname(&s.ssl, s.referenceIsAddress ? nullptr : s.reference) != 0)
        return Fail(TlsFailure::kSettings, "the server name is not usable for SNI");
    mbedtls_ssl_set_bio(&s.ssl, &s, BioSend, BioReceive, nullptr);
    // A ticket of this server and these settings (its owner keys it so): offered once, then gone.
    // TLS 1.3 resumes with psk_dhe_ke only (the modes above), so the session keeps forward
    // secrecy; a server that declines it makes a full handshake with its certificate checked.
    bool offered = false;
    if (resume != nullptr && !resume->Empty() && s.resumable) {
        mbedtls_ssl_session saved;
        mbedtls_ssl_session_init(&saved);
        offered = mbedtls_ssl_session_load(&saved, resume->Bytes(), resume->Length()) == 0 &&
                  mbedtls_ssl_set_session(&s.ssl, &saved) == 0;
        mbedtls_ssl_session_free(&saved);  // Mbed TLS wipes it
    }
    if (resume != nullptr) resume->Clear();

    if (Connect(ip, port, deadlineMillis) != 0) return -1;
    if (Handshake(deadlineMillis) != 0) return -1;
    s.established = s.handshakeDone = true;
    resumed_ = offered && !s.certificateSeen;
    Append(version_, sizeof version_, mbedtls_ssl_get_version(&s.ssl));
    Append(suite_, sizeof suite_, mbedtls_ssl_get_ciphersuite(&s.ssl));
    // A TLS 1.2 ticket comes inside the handshake (RFC 5077 section 3.3); TLS 1.3 ones arrive
    // after it, and the reads keep them.
    if (s.resumable && mbedtls_ssl_get_version_number(&s.ssl) == MBEDTLS_SSL_VERSION_TLS1_2)
        KeepTicket();
    return 0;
}

int CRadTlsSession::ConfigurePsk(const TlsSettings& settings, const std::uint8_t* udpSecret,
                                 std::size_t udpSecretLength) {
    State& s = *state_;
    // RFC 9813: one PSK for TLS 1.3 or for TLS 1.2, never both; 1.3 with psk_dhe_ke alone (RFC
    // 8446 section 4.2.9), so every session has forward secrecy.
    const bool tls12 = settings.pskTls12 == PskTls12::kOn;
    s.tls12Only = tls12;
    const mbedtls_ssl_protocol_version version =
        tls12 ? MBEDTLS_SSL_VERSION_TLS1_2 : MBEDTLS_SSL_VERSION_TLS1_3;
    mbedtls_ssl_conf_min_tls_version(&s.config, version);
    mbedtls_ssl_conf_max_tls_version(&s.config, version);
    mbedtls_ssl_conf_ciphersuites(&s.config, tls12 ? kPskTls12Suites : kPskTls13Suites);
    mbedtls_ssl_conf_tls13_key_exchange_modes(&s.config,
                                              MBEDTLS_SSL_TLS1_3_KEY_EXCHANGE_MODE_PSK_EPHEMERAL);
    std::uint8_t psk[kMaxPskLength];
    std::size_t length = 0;
    const char* why = "";
    if (LoadPsk(settings.pskFile, udpSecret, udpSecretLength, psk, &length, &why) != 0)
        return Fail(TlsFailure::kKeyMaterial, why);
    // Mbed TLS keeps its own copy, wiped when the configuration is freed.
    const int rc = mbedtls_ssl_conf_psk(&s.config, psk, length, settings.pskIdentity,
                                        settings.pskIdentityLength);
    platform::SecureZero(psk, sizeof psk);
    if (rc != 0) return Fail(TlsFailure::kKeyMaterial, "the PSK or its identity was not accepted");
    return 0;
}

int CRadTlsSession::ConfigureCertificates(const TlsSettings& settings) {
    State& s = *state_;
    mbedtls_ssl_conf_min_tls_version(&s.config, MBEDTLS_SSL_VERSION_TLS1_2);
    mbedtls_ssl_conf_max_tls_version(&s.config, MBEDTLS_SSL_VERSION_TLS1_3);
    mbedtls_ssl_conf_ciphersuites(&s.config, kCertificateSuites);
    // (EC)DHE with the certificates, or a resumption ticket with (EC)DHE (psk_dhe_ke, RFC 8446
    // section 4.2.9), never a ticket alone (psk_ke): every session keeps forward secrecy.
    mbedtls_ssl_conf_tls13_key_exchange_modes(
        &s.config, MBEDTLS_SSL_TLS1_3_KEY_EXCHANGE_MODE_EPHEMERAL |
                       MBEDTLS_SSL_TLS1_3_KEY_EXCHANGE_MODE_PSK_EPHEMERAL);
    {
        // The trust list is this file alone: no system store (RFC 6614 section 2.3).
        FileBytes ca(kCaFileRoom);
        const int read = ca.Read(settings.caFile);
        if (read != 0)
            return Fail(TlsFailure::kKeyMaterial,
                        read == -2 ? "the CA file (QVRAD_TLS_CA_FILE) is larger than 64 KiB"
                                   : "the CA file (QVRAD_TLS_CA_FILE) cannot be read");
        if (mbedtls_x509_crt_parse(&s.ca, ca.Bytes(), ca.ParseLength()) != 0)
            return Fail(
                TlsFailure::kKeyMaterial,
                "the CA file (QVRAD_TLS_CA_FILE) holds something that is not a certificate");
    }
    {
        FileBytes own(kCertFileRoom);
        const int read = own.Read(settings.certFile);
        if (read != 0)
            return Fail(TlsFailure::kKeyMaterial,
                        read == -2
                            ? "the certificate file (QVRAD_TLS_CERT_FILE) is larger than 32 KiB"
                            : "the certificate file (QVRAD_TLS_CERT_FILE) cannot be read");
        if (mbedtls_x509_crt_parse(&s.own, own.Bytes(), own.ParseLength()) != 0)
            return Fail(TlsFailure::kKeyMaterial,
                        "the certificate file (QVRAD_TLS_CERT_FILE) holds something that is not a "
                        "certificate");
    }
    {
        FileBytes key(kKeyFileRoom);
        const int read = key.Read(settings.keyFile);
        if (read != 0)
            return Fail(TlsFailure::kKeyMaterial,
                        read == -2 ? "the key file (QVRAD_TLS_KEY_FILE) is larger than 16 KiB"
                                   : "the key file (QVRAD_TLS_KEY_FILE) cannot be read");
        const int rc = mbedtls_pk_parse_key(&s.key, key.Bytes(), key.ParseLength(), nullptr, 0,
                                            mbedtls_psa_get_random, MBEDTLS_PSA_RANDOM_STATE);
        if (rc == MBEDTLS_ERR_PK_PASSWORD_REQUIRED || rc == MBEDTLS_ERR_PK_PASSWORD_MISMATCH)
            return Fail(TlsFailure::kKeyMaterial,
                        "the key file (QVRAD_TLS_KEY_FILE) is encrypted: give the key unencrypted, "
                        "protected by the file's permissions");
        if (rc != 0)
            return Fail(TlsFailure::kKeyMaterial,
                        "the key file (QVRAD_TLS_KEY_FILE) holds no private key this library reads "
                        "(RSA or ECDSA P-256/P-384, PEM or DER)");
    }
    if (!SamePublicKey(&s.own.pk, &s.key))
        return Fail(TlsFailure::kKeyMaterial,
                    "the key file (QVRAD_TLS_KEY_FILE) is not the key of the certificate file");
    mbedtls_ssl_conf_ca_chain(&s.config, &s.ca, nullptr);
    if (mbedtls_ssl_conf_own_cert(&s.config, &s.own, &s.key) != 0)
        return Fail(TlsFailure::kKeyMaterial, "the client certificate could not be set");
    return 0;
}

int CRadTlsSession::Connect(const platform::IpAddress& ip, std::uint16_t port,
                            std::int64_t deadlineMillis) {
    State& s = *state_;
    char where[80] = "";
    char address[64];
    platform::FormatAddress(ip, address, sizeof address);
    Append(where, sizeof where, address);
    Append(where, sizeof where, " port ");
    AppendNumber(where, sizeof where, port);
    s.socket = platform::TcpSocketOpenNonBlocking(ip.family);
    if (s.socket == platform::kInvalidSocket)
        return Fail(TlsFailure::kConnect, "no TCP socket for the server's address family: ", where);
    int rc = platform::SocketConnectStart(s.socket, ip, port);
    int error = rc < 0 ? platform::GetSocketError() : 0;
    if (rc == 1) {
        const int ready = WaitSocket(s.socket, false, deadlineMillis);
        if (ready == 0)
            return Fail(TlsFailure::kTimeout, "no TCP connection before the deadline to ", where);
        error = ready < 0 ? platform::GetSocketError() : platform::SocketConnectResult(s.socket);
        rc = error == 0 ? 0 : -1;
    }
    if (rc == 0) return 0;
    if (platform::IsConnectionRefused(error))
        return Fail(TlsFailure::kConnect, "the TCP connection was refused (nothing listens?) by ",
                    where);
    return Fail(TlsFailure::kConnect, "the TCP connection failed to ", where);
}

int CRadTlsSession::Handshake(std::int64_t deadlineMillis) {
    State& s = *state_;
    int rc = 0;
    // Each pass either moves the handshake on or waits on the socket until the deadline.
    for (;;) {
        s.stepDeadline = deadlineMillis;
        s.stepBudget = kStepBudget;
        rc = mbedtls_ssl_handshake(&s.ssl);
        if (rc == 0) return 0;
        if (rc != MBEDTLS_ERR_SSL_WANT_READ && rc != MBEDTLS_ERR_SSL_WANT_WRITE) break;
        const int ready = WaitSocket(s.socket, rc == MBEDTLS_ERR_SSL_WANT_READ, deadlineMillis);
        if (ready == 0)
            return Fail(TlsFailure::kTimeout, "the handshake did not finish before the deadline");
        if (ready < 0) return Fail(TlsFailure::kIo, "waiting on the TCP connection failed");
    }
    const std::uint32_t flags = mbedtls_ssl_get_verify_result(&s.ssl);
    if ((rc == MBEDTLS_ERR_X509_CERT_VERIFY_FAILED || rc == MBEDTLS_ERR_SSL_BAD_CERTIFICATE) &&
        flags != 0 && flags != static_cast<std::uint32_t>(-1)) {
        if ((flags & MBEDTLS_X509_BADCERT_CN_MISMATCH) &&
            !(flags & (MBEDTLS_X509_BADCERT_NOT_TRUSTED | MBEDTLS_X509_BADCERT_EXPIRED |
                       MBEDTLS_X509_BADCERT_FUTURE | MBEDTLS_X509_BADCERT_MISSING))) {
            char text[kTlsReasonSize] = "the name ";
            Append(text, sizeof text, s.reference);
            Append(text, sizeof text, " ");
            return Fail(TlsFailure::kCertificate, text,
                        CertificateReason(flags, s.hasSubjectAltName));
        }
        return Fail(TlsFailure::kCertificate, CertificateReason(flags, s.hasSubjectAltName));
    }
    char text[kTlsReasonSize] = "";
    switch (rc) {
        case MBEDTLS_ERR_SSL_FATAL_ALERT_MESSAGE:
            DescribeAlert(s, "the server ended the handshake with the alert ", text, sizeof text);
            return Fail(TlsFailure::kHandshake, text);
        case MBEDTLS_ERR_SSL_BAD_PROTOCOL_VERSION:
            return Fail(
                TlsFailure::kHandshake,
                !s.psk ? "the server speaks neither TLS 1.2 nor TLS 1.3"
                : !s.tls12Only
                    ? "the server does not speak TLS 1.3 (a PSK with TLS 1.2 needs "
                      "QVRAD_TLS_PSK_TLS12=yes)"
                    : "the server does not speak TLS 1.2 (QVRAD_TLS_PSK_TLS12=yes asks for it)");
        case MBEDTLS_ERR_SSL_HANDSHAKE_FAILURE:
        case MBEDTLS_ERR_SSL_NO_APPLICATION_PROTOCOL:
            return Fail(TlsFailure::kHandshake,
                        s.psk ? "the server did not select the PSK (and this client allows no "
                                "other key exchange)"
                              : "the server chose no cipher suite, group or protocol this client "
                                "offers");
        case MBEDTLS_ERR_SSL_CONN_EOF:
        case MBEDTLS_ERR_NET_CONN_RESET:
            DescribeRefusal(s, "the server closed the connection during the handshake", text,
                            sizeof text);
            return Fail(TlsFailure::kClosed, text);
        case MBEDTLS_ERR_NET_RECV_FAILED:
        case MBEDTLS_ERR_NET_SEND_FAILED:
            DescribeRefusal(s, "the server reset the connection during the handshake", text,
                            sizeof text);
            return Fail(TlsFailure::kClosed, text);
        default:
            Append(text, sizeof text, "the handshake failed (Mbed TLS error ");
            AppendError(text, sizeof text, rc);
            Append(text, sizeof text, ")");
            return Fail(TlsFailure::kHandshake, text);
    }
}

int CRadTlsSession::SendStep(const std::uint8_t* packet, std::uint16_t length) {
    if (state_ == nullptr || !state_->established) return -1;
    State& s = *state_;
    // Mbed TLS seals the whole packet into one record (it fits: OUT_CONTENT_LEN is 8192) and
    // returns its length once the record is out, or WANT_WRITE with the rest of the record
    // kept; called again, it first writes that rest and only then reports the packet written.
    const int rc = mbedtls_ssl_write(&s.ssl, packet, length);
    if (rc == static_cast<int>(length)) return length;
    if (rc == MBEDTLS_ERR_SSL_WANT_WRITE || rc == MBEDTLS_ERR_SSL_WANT_READ) return kWantWrite;
    s.established = false;
    if (rc == MBEDTLS_ERR_NET_SEND_FAILED) {
        // In TLS 1.3 a server judges the client's certificate after the client's handshake is
        // over, and one that refuses it may reset the connection before the alert is read.
        char text[kTlsReasonSize] = "";
        DescribeRefusal(s,
                        s.nothingReceived
                            ? "the server closed or reset the connection right after the "
                              "handshake, before the request was sent"
                            : "the server closed or reset the connection before the request was "
                              "sent",
                        text, sizeof text);
        return Fail(TlsFailure::kClosed, text);
    }
    if (rc == MBEDTLS_ERR_SSL_FATAL_ALERT_MESSAGE) {
        char alert[kTlsReasonSize] = "";
        DescribeAlert(s,
                      s.nothingReceived ? "right after the handshake the server sent the alert "
                                        : "the server ended the connection with the alert ",
                      alert, sizeof alert);
        return Fail(TlsFailure::kHandshake, alert);
    }
    // A short write (rc between 0 and length) cannot happen for a packet of one record; it is
    // refused all the same rather than framed wrongly.
    return Fail(TlsFailure::kIo, "the request could not be sent over TLS");
}

int CRadTlsSession::Send(const std::uint8_t* packet, std::uint16_t length,
                         std::int64_t deadlineMillis) {
    // Each pass sends, or waits for the socket until the deadline.
    for (;;) {
        const int rc = SendStep(packet, length);
        if (rc != kWantWrite) return rc;
        const int ready = WaitSocket(state_->socket, false, deadlineMillis);
        if (ready <= 0) {
            // Part of a record may be out: the stream cannot carry another packet.
            state_->established = false;
            return Fail(ready == 0 ? TlsFailure::kTimeout : TlsFailure::kIo,
                        "the request could not be sent before the deadline");
        }
    }
}

void CRadTlsSession::KeepTicket() {
    State& s = *state_;
    mbedtls_ssl_session session;
    mbedtls_ssl_session_init(&session);
    std::size_t needed = 0;
    if (mbedtls_ssl_get_session(&s.ssl, &session) == 0 && session.ticket != nullptr &&
        session.ticket_len != 0 &&
        mbedtls_ssl_session_save(&session, nullptr, 0, &needed) ==
            MBEDTLS_ERR_SSL_BUFFER_TOO_SMALL &&
        needed <= TlsTicket::kMaxBytes) {
        auto* bytes = static_cast<std::uint8_t*>(::operator new(needed, std::nothrow));
        if (bytes != nullptr) {
            std::size_t written = 0;
            if (mbedtls_ssl_session_save(&session, bytes, needed, &written) == 0)
                newTicket_.Assign(bytes, written, platform::MonotonicMillis(),
                                  session.ticket_lifetime);
            platform::SecureZero(bytes, needed);
            ::operator delete(bytes);
        }
    }
    mbedtls_ssl_session_free(&session);  // Mbed TLS wipes the resumption secret
}

bool CRadTlsSession::TakeTicket(TlsTicket* out) {
    if (newTicket_.Empty()) return false;
    *out = static_cast<TlsTicket&&>(newTicket_);
    return true;
}

bool CRadTlsSession::HasBuffered() const {
    return state_ != nullptr && state_->established && mbedtls_ssl_check_pending(&state_->ssl) != 0;
}

platform::SocketHandle CRadTlsSession::Socket() const {
    return state_ != nullptr ? state_->socket : platform::kInvalidSocket;
}

int CRadTlsSession::ReceiveStep(std::uint8_t* buffer, std::uint16_t capacity,
                                std::int64_t deadlineMillis) {
    if (state_ == nullptr || !state_->established) return -1;
    State& s = *state_;
    s.stepDeadline = deadlineMillis;
    s.stepBudget = kStepBudget;
    // Asks Mbed TLS for no more than the packet under way still lacks, so the next packet's
    // octets stay in its record buffer for the next step.
    for (;;) {
        std::uint16_t packetLength = 0;
        const int framed = RadiusStreamFrame(s.pending, s.pendingCount, &packetLength);
        if (framed < 0) {
            s.established = false;
            return Fail(TlsFailure::kFraming,
                        "the server sent a packet whose Length is outside 20..4096");
        }
        if (framed > 0) {
            if (packetLength > capacity) {
                s.established = false;
                return Fail(TlsFailure::kFraming, "the server's packet is longer than the buffer");
            }
            std::memcpy(buffer, s.pending, packetLength);
            platform::SecureZero(s.pending, packetLength);
            s.pendingCount = 0;
            return packetLength;
        }
        const std::size_t want = s.pendingCount < kStreamFrameHeader
                                     ? kStreamFrameHeader - s.pendingCount
                                     : static_cast<std::size_t>(packetLength - s.pendingCount);
        const int rc = mbedtls_ssl_read(&s.ssl, s.pending + s.pendingCount, want);
        if (rc > 0) {
            s.pendingCount = static_cast<std::uint16_t>(s.pendingCount + rc);
            s.nothingReceived = false;
            continue;
        }
        if (rc == MBEDTLS_ERR_SSL_RECEIVED_NEW_SESSION_TICKET) {
            // RFC 8446 section 4.6.1: kept for the next connection to this server; then reading
            // goes on (Mbed TLS has taken the message).
            KeepTicket();
            continue;
        }
        if (rc == MBEDTLS_ERR_SSL_WANT_READ || rc == MBEDTLS_ERR_SSL_WANT_WRITE) return 0;
        s.established = false;
        const bool closed = rc == 0 || rc == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY ||
                            rc == MBEDTLS_ERR_SSL_CONN_EOF || rc == MBEDTLS_ERR_NET_CONN_RESET ||
                            rc == MBEDTLS_ERR_NET_RECV_FAILED;
        // In TLS 1.3 the client's handshake is over before the server has judged the client's
        // certificate: a close or an alert before anything came is that verdict, not a lost
        // reply to a request the server took.
        char text[kTlsReasonSize] = "";
        if (closed && s.nothingReceived) {
            DescribeRefusal(s,
                            "the server closed the connection right after the handshake, before "
                            "any reply",
                            text, sizeof text);
            return Fail(TlsFailure::kClosed, text);
        }
        if (closed)
            return Fail(TlsFailure::kClosed,
                        s.pendingCount != 0 ? "the server closed the connection inside a packet"
                        : rc == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY
                            ? "the server closed the connection (close_notify)"
                            : "the server closed the connection");
        if (rc == MBEDTLS_ERR_SSL_FATAL_ALERT_MESSAGE) {
            DescribeAlert(s,
                          s.nothingReceived ? "right after the handshake the server sent the alert "
                                            : "the server ended the connection with the alert ",
                          text, sizeof text);
            return Fail(TlsFailure::kHandshake, text);
        }
        Append(text, sizeof text, "reading the reply over TLS failed (Mbed TLS error ");
        AppendError(text, sizeof text, rc);
        Append(text, sizeof text, ")");
        return Fail(TlsFailure::kIo, text);
    }
}

int CRadTlsSession::Receive(std::uint8_t* buffer, std::uint16_t capacity,
                            std::int64_t deadlineMillis) {
    // Each pass takes what has arrived, or waits for the socket; the clock decides, whatever
    // arrives (ReceiveStep reads nothing past the deadline).
    for (;;) {
        if (state_ == nullptr) return -1;
        const int got = ReceiveStep(buffer, capacity, deadlineMillis);
        if (got != 0) return got;
        if (Remaining(deadlineMillis) == 0) return 0;
        if (HasBuffered()) continue;
        const int ready = WaitSocket(state_->socket, true, deadlineMillis);
        if (ready == 0) return 0;
        if (ready < 0) {
            state_->established = false;
            return Fail(TlsFailure::kIo, "waiting on the TCP connection failed");
        }
    }
}

void CRadTlsSession::Close() {
    if (state_ == nullptr) return;
    State& s = *state_;
    // close_notify (RFC 8446 section 6.1) once, without waiting: a full socket buffer or a
    // closed peer leaves it unsent, and the socket's close follows either way.
    if (s.established) (void)mbedtls_ssl_close_notify(&s.ssl);
    s.established = false;
    Abandon();
}

void CRadTlsSession::Abandon() {
    newTicket_.Clear();
    if (state_ == nullptr) return;
    State& s = *state_;
    if (s.socket != platform::kInvalidSocket) platform::SocketClose(s.socket);
    // Mbed TLS wipes what it frees (its free goes through qvrad_tls_free); the record then
    // wipes the contexts' own fields and the pending octets.
    mbedtls_ssl_free(&s.ssl);
    mbedtls_ssl_config_free(&s.config);
    mbedtls_x509_crt_free(&s.ca);
    mbedtls_x509_crt_free(&s.own);
    mbedtls_pk_free(&s.key);
    platform::SecureZero(state_, sizeof *state_);
    delete state_;
    state_ = nullptr;
}
