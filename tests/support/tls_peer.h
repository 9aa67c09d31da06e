// For TLS tests without a TLS server: a test PKI (an ECDSA P-256 CA and a client certificate it
// signed), files written for one test, and loopback TCP listeners that read a client's first
// TLS record and hang up, or never accept at all.
#pragma once

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "radius/packet.h"
#include "support/radius_wire.h"
#include "tls/tls_session.h"

// PEM texts, valid until 2126: the CA, a client certificate (extended key usage clientAuth) it
// signed, that certificate's key, and a key of no certificate.
extern const char kTestCaPem[];
extern const char kTestClientCertPem[];
extern const char kTestClientKeyPem[];
extern const char kTestOtherKeyPem[];

// A file in the working folder under a random name, removed when it goes.
struct TempFile {
    std::string path;
    explicit TempFile(const std::string& content);
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
};

// A TCP listener on 127.0.0.1, on a port the system picked (port 0 when it could not listen).
struct TcpListener {
    platform::SocketHandle socket = platform::kInvalidSocket;
    std::uint16_t port = 0;
    TcpListener();
    ~TcpListener();
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;
    bool Waiting(std::int32_t millis) const;  // a connection is there to accept
};

// Accepts up to count connections, one after another, each within 20 s of the last; from each
// reads the first TLS record whole (or what came within 10 s) and closes it. The records are
// kept in arrival order; read them after Join. With floodMillis, it then sends, for that long or
// until the client goes, records a TLS client reads and ignores (warning alerts), as fast as the
// client takes them, before closing.
class RecordCatcher {
  public:
    explicit RecordCatcher(int count = 1, int floodMillis = 0);
    ~RecordCatcher();
    void Join();
    std::uint16_t Port() const { return listener_.port; }
    const std::vector<Bytes>& Records() const { return records_; }

  private:
    TcpListener listener_;
    std::vector<Bytes> records_;
    std::thread thread_;
};

// Opens a session with a RADIUS secret as the exchange holds it (the PSK must differ from it).
inline int OpenTls(CRadTlsSession& session, const platform::IpAddress& ip, std::uint16_t port,
                   const char* host, const TlsSettings& settings, const CRadSecret& udpSecret,
                   std::int64_t deadlineMillis, TlsTicket* resume = nullptr) {
    return session.Open(ip, port, host, settings, udpSecret.octets, udpSecret.length,
                        deadlineMillis, resume);
}
