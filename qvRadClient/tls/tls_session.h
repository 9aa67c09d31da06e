// One RADIUS over TLS connection (RFC 6614, RFC 9813): TCP connect and handshake within a deadline
// (resumed from a ticket where one is kept), packets framed by their Length (RFC 6613),
// close_notify.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "tls/tls_settings.h"
#include "tls/tls_tickets.h"

// Why a session failed, for the exchange's result; the reason in words says more.
enum class TlsFailure : std::uint8_t {
    kNone = 0,
    kUnavailable,  // this build has no TLS, or the TLS library could not start (no randomness)
    kSettings,     // the settings are incomplete or contradict each other
    kKeyMaterial,  // the CA, certificate, key or PSK file cannot be read or used
    kConnect,      // no TCP connection (refused, unreachable)
    kTimeout,      // the deadline passed (connect, handshake, send or reply)
    kHandshake,    // the handshake failed: an alert, nothing in common, the PSK not accepted
    kCertificate,  // the server's certificate failed a check (chain, dates, usage, name)
    kClosed,       // the server closed or reset the connection
    kFraming,      // a reply's Length outside 20..4096 or past the caller's buffer
    kIo,           // any other socket or TLS record error
};

// Text sizes of the accessors, NUL included.
constexpr std::size_t kTlsReasonSize = 320;
constexpr std::size_t kTlsNameSize = 256;

// One certificate of the chain the server sent, as the handshake's check saw it, whether or not
// it verified: its names and dates in text for --verbose (the server's text: escape to print).
struct PeerCertificate {
    char subject[kTlsNameSize];
    char issuer[kTlsNameSize];
    char altNames[kTlsNameSize];  // "DNS:radius.example.net, IP:192.0.2.1"; empty: none
    char validFrom[24];           // "2025-01-31 12:00:00" (UTC, RFC 5280 section 4.1.2.5)
    char validUntil[24];
};
// The chain's certificates kept, from the server's own (depth 0) up.
constexpr int kMaxPeerCertificates = 4;

// Copies text (null: nothing) into out, a buffer of size bytes (at least 1), cut to fit and
// always NUL-terminated: a reason's words may be cut, never overrun their buffer.
inline void CopyReason(char* out, std::size_t size, const char* text) {
    std::size_t n = 0;
    for (; text != nullptr && text[n] != '\0' && n + 1 < size; ++n) out[n] = text[n];
    out[n] = '\0';
}

// The ALPN protocol offered (RFC 7301) for RADIUS/TLS.
constexpr char kRadiusAlpn[] = "radius/1.0";

// Whether this build has TLS (Mbed TLS compiled in); without it every Open fails at once.
bool TlsBuiltIn();

// Not thread-safe: a session is used by one thread at a time (it may move between threads, and a
// kept connection's owner serialises the threads that share it).
class CRadTlsSession {
  public:
    CRadTlsSession();
    ~CRadTlsSession();  // Close()
    CRadTlsSession(const CRadTlsSession&) = delete;
    CRadTlsSession& operator=(const CRadTlsSession&) = delete;

    // A step of the non-blocking operations that must wait for the socket to become writable.
    static constexpr int kWantWrite = -2;

    // Reads this connection's key material (the PSK file, or the CA, certificate and key files),
    // then connects to ip and port (host order) and completes the handshake before deadlineMillis
    // (platform::MonotonicMillis). hostAsWritten is the server's host as the entry names it: the
    // name to check in the certificate unless settings.serverName is set, and the SNI when it is
    // a name rather than an address literal (a trailing dot dropped, RFC 6066 section 3).
    // udpSecret (udpSecretLength octets) is the entry's RADIUS secret, which a PSK must not equal.
    // resume, when not null and not empty, is offered for resumption (certificate mode only) and
    // consumed. 0: ready; -1: Failure() and FailureReason() say why, and everything is closed and
    // wiped already.
    int Open(const platform::IpAddress& ip, std::uint16_t port, const char* hostAsWritten,
             const TlsSettings& settings, const std::uint8_t* udpSecret,
             std::size_t udpSecretLength, std::int64_t deadlineMillis, TlsTicket* resume = nullptr);
    // Writes one packet whole before the deadline: length, or -1 (the session is then unusable).
    int Send(const std::uint8_t* packet, std::uint16_t length, std::int64_t deadlineMillis);
    // Reads one packet (RFC 6613 framing: Length 20..4096) into buffer: its length; 0 when the
    // deadline passed first (what arrived of a packet is kept for the next call); -1 on a closed
    // connection, bad framing, a packet longer than capacity or any error (then unusable).
    int Receive(std::uint8_t* buffer, std::uint16_t capacity, std::int64_t deadlineMillis);

    // Non-blocking steps, for a connection whose owner waits on Socket() itself:
    // SendStep writes one packet: length when it is written whole; kWantWrite when part of it
    // waits for the socket (call again with the same packet once it is writable: the TLS record
    // is already sealed, and nothing else may be written before it); -1 (unusable).
    int SendStep(const std::uint8_t* packet, std::uint16_t length);
    // ReceiveStep reads what has arrived: a packet's length; 0 when no whole packet is there yet
    // (wait for Socket() to become readable, unless HasBuffered()); -1 on a closed connection
    // (close_notify or not), bad framing or any error (then unusable). It reads at most a bounded
    // number of octets per call and never past deadlineMillis, whatever the peer keeps sending
    // (records the TLS library ignores included), so a step always ends soon.
    int ReceiveStep(std::uint8_t* buffer, std::uint16_t capacity, std::int64_t deadlineMillis);
    // Whether the TLS library holds octets already read from the socket (a record with a further
    // packet): then the socket may not become readable although a packet is there.
    bool HasBuffered() const;
    platform::SocketHandle Socket() const;
    // Whether the handshake resumed a session from a ticket (no certificate exchanged).
    bool Resumed() const { return resumed_; }
    // A resumption ticket the server sent since the last call (TLS 1.3 NewSessionTicket, or a TLS
    // 1.2 ticket with the handshake), taken over by out; false when none came.
    bool TakeTicket(TlsTicket* out);
    // Sends close_notify (without waiting), closes the socket, frees and wipes every context.
    // Keeps the failure and the handshake's description for the caller to print.
    void Close();
    // Closes the socket and frees and wipes every context without sending anything: a forked
    // child's copy of its parent's connection, or a connection left at unload.
    void Abandon();

    bool IsOpen() const { return state_ != nullptr; }
    TlsFailure Failure() const { return failure_; }
    const char* FailureReason() const { return reason_; }
    // What the handshake settled, for --verbose: "TLSv1.3", Mbed TLS's suite name, and the
    // server certificate's subject and issuer (empty with a PSK).
    const char* Version() const { return version_; }
    const char* CipherSuite() const { return suite_; }
    const char* PeerSubject() const { return chainLength_ > 0 ? chain_[0].subject : ""; }
    const char* PeerIssuer() const { return chainLength_ > 0 ? chain_[0].issuer : ""; }
    // The server's chain as checked, also when the check or the handshake failed: certificate
    // depth (0: the server's own) for depth below PeerChainLength(), else null.
    int PeerChainLength() const { return chainLength_; }
    const PeerCertificate* PeerChain(int depth) const {
        return depth >= 0 && depth < chainLength_ ? &chain_[depth] : nullptr;
    }

    struct State;  // the TLS library's contexts and the socket (tls_session.cpp)

  private:
    // Records the failure and its reason (reason, then detail), closes; returns -1.
    int Fail(TlsFailure failure, const char* reason, const char* detail = nullptr);
    void ClearDescription();
    // Open's steps with the TLS library (tls_session.cpp); each fails through Fail.
    int ConfigurePsk(const TlsSettings& settings, const std::uint8_t* udpSecret,
                     std::size_t udpSecretLength);
    int ConfigureCertificates(const TlsSettings& settings);
    int Connect(const platform::IpAddress& ip, std::uint16_t port, std::int64_t deadlineMillis);
    int Handshake(std::int64_t deadlineMillis);
    // Keeps the session the server just gave a ticket for (serialised) in newTicket_.
    void KeepTicket();

    State* state_ = nullptr;
    TlsFailure failure_ = TlsFailure::kNone;
    char reason_[kTlsReasonSize] = {};
    char version_[16] = {};
    char suite_[64] = {};
    PeerCertificate chain_[kMaxPeerCertificates];  // the first chainLength_ are filled
    int chainLength_ = 0;
    bool resumed_ = false;
    TlsTicket newTicket_;  // the latest ticket received, until TakeTicket
};
