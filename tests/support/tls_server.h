// A RADIUS over TLS server for loopback tests (Linux builds with OpenSSL's libssl): OpenSSL, not
// the Mbed TLS client under test, on a thread of its own, with a test PKI made fresh at run time.
#pragma once

#if defined(QVRAD_HAVE_OPENSSL_SSL)

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/radius_wire.h"
#include "support/tls_peer.h"

// ECDSA P-256 keys made by this process: a CA, a server certificate it signed (subjectAltName
// IP:127.0.0.1, serverAuth) and a client certificate it signed (clientAuth). Valid from an hour
// ago for a day. ok is false when OpenSSL failed to make any of them.
struct TestPki {
    bool ok = false;
    std::string caPem;
    std::string serverCertPem, serverKeyPem;
    std::string clientCertPem;
    std::string clientKeyPem;  // PKCS#8 ("PRIVATE KEY")
    Bytes clientKeyDer;        // SEC1 ("EC PRIVATE KEY", RFC 5915), as a DER key file holds it
    Bytes clientScalar;        // the private key itself: 32 octets, big-endian
    // The part of clientKeyPem whose base64 encodes octets of clientScalar alone (a line break
    // inside it kept as the file has it).
    std::string clientKeyPemPart;
};
TestPki MakeTestPki();

enum class TlsServerMode : std::uint8_t {
    kCertificate,       // TLS 1.2 or 1.3, the client's certificate required and checked
    kCertificateTls12,  // the same, TLS 1.2 only (ECDHE-ECDSA)
    kPsk,               // TLS 1.3 with the PSK (psk_dhe_ke), no certificates
    kPskTls12,          // TLS 1.2 ECDHE-PSK-CHACHA20-POLY1305 (RFC 5489, RFC 7905)
};

// Accepts up to `connections` TCP connections on 127.0.0.1, one after another, each within 20 s
// of the last (or until Stop); on each, the handshake, then for every framed packet (RFC 6613:
// its Length) the handler's reply (none when it returns an empty packet), until the client closes
// or 10 s pass without a byte.
class TlsRadiusServer {
  public:
    using Handler = std::function<Bytes(const Bytes& request)>;
    // The replies to a request, each written whole in one TLS record (two packets joined in one
    // element share a record); none for an empty list.
    using Records = std::function<std::vector<Bytes>(const Bytes& request)>;
    TlsRadiusServer(const TestPki& pki, TlsServerMode mode, const Bytes& psk,
                    const std::string& pskIdentity, Handler handler, int connections = 1);
    TlsRadiusServer(const TestPki& pki, TlsServerMode mode, const Bytes& psk,
                    const std::string& pskIdentity, Records records, int connections);
    // How connections are served beyond that: at once, each on a thread of its own (a client that
    // keeps one open while it opens another); the last record of a request's replies written
    // again and again for floodMillis or until the client goes (a stream of packets a client
    // must read and discard); a connection closed with close_notify when its closeAfter-th packet
    // arrives, unanswered.
    struct Options {
        int connections = 1;
        bool concurrent = false;
        int floodMillis = 0;
        int closeAfter = 0;
    };
    TlsRadiusServer(const TestPki& pki, TlsServerMode mode, const Bytes& psk,
                    const std::string& pskIdentity, Records records, const Options& options);
    ~TlsRadiusServer();
    TlsRadiusServer(const TlsRadiusServer&) = delete;
    TlsRadiusServer& operator=(const TlsRadiusServer&) = delete;

    std::uint16_t Port() const { return listener_.port; }
    // Stop accepting once the connections already waiting are served (Join then returns as soon
    // as their clients close them).
    void Stop() { stop_ = true; }
    void Join();
    // Read after Join: handshakes completed, packets answered, the last failure in words.
    int Handshakes() const { return handshakes_; }
    int Answered() const { return answered_; }
    int Resumed() const { return resumed_; }  // handshakes that resumed a session from a ticket
    const std::string& Failure() const { return failure_; }
    // Each connection whose handshake completed, in order: the packets it carried, and whether
    // the client ended it with close_notify (RFC 8446 section 6.1) rather than a bare close.
    struct Connection {
        int packets = 0;
        bool closeNotify = false;
    };
    const std::vector<Connection>& Connections() const { return connections_; }
    // The secrets of the handshakes so far, as OpenSSL's key log gives them (the TLS 1.2 master
    // secret; the TLS 1.3 handshake and application traffic secrets, the record keys they give,
    // and the exporter secret), each as octets. Safe to call while the server runs.
    std::vector<Bytes> SessionSecrets() const;
    void AddSessionSecret(const Bytes& secret);  // for the key log callback

  private:
    void Serve(void* context, platform::SocketHandle socket);

    Options options_;
    std::mutex stateLock_;  // the counts below, written by concurrent connections
    TcpListener listener_;
    Records records_;
    Bytes psk_;
    std::string pskIdentity_;
    int handshakes_ = 0;
    int answered_ = 0;
    int resumed_ = 0;
    std::string failure_;
    std::vector<Connection> connections_;
    std::atomic<bool> stop_{false};
    mutable std::mutex secretsLock_;
    std::vector<Bytes> secrets_;
    std::thread thread_;
};

#endif
