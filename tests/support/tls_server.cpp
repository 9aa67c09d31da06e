// The OpenSSL RADIUS over TLS server of the loopback tests and its run-time test PKI: an
// implementation independent of the Mbed TLS client it talks to.
#include "support/tls_server.h"

#if defined(QVRAD_HAVE_OPENSSL_SSL)

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "support/reference_crypto.h"

namespace {

template <class T, void (*Free)(T*)>
struct Freer {
    void operator()(T* p) const { Free(p); }
};
using Key = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY, EVP_PKEY_free>>;
using Cert = std::unique_ptr<X509, Freer<X509, X509_free>>;
using Bio = std::unique_ptr<BIO, Freer<BIO, BIO_free_all>>;

std::string LastError(const char* what) {
    char text[256] = "";
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    return std::string(what) + ": " + text;
}

// extensions: pairs of an extension's NID and its value in OpenSSL's configuration syntax.
Cert MakeCertificate(EVP_PKEY* key, const char* commonName, X509* issuer, EVP_PKEY* issuerKey,
                     long serial, const std::vector<std::pair<int, const char*>>& extensions) {
    Cert cert(X509_new());
    if (!cert || X509_set_version(cert.get(), 2) != 1 ||
        ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial) != 1 ||
        X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) == nullptr ||
        X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400) == nullptr ||
        X509_set_pubkey(cert.get(), key) != 1)
        return nullptr;
    X509_NAME* name = X509_get_subject_name(cert.get());
    if (X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(commonName), -1, -1,
                                   0) != 1 ||
        X509_set_issuer_name(cert.get(),
                             X509_get_subject_name(issuer != nullptr ? issuer : cert.get())) != 1)
        return nullptr;
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer != nullptr ? issuer : cert.get(), cert.get(), nullptr, nullptr,
                   0);
    for (const auto& [nid, value] : extensions) {
        X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
        const bool added = extension != nullptr && X509_add_ext(cert.get(), extension, -1) == 1;
        X509_EXTENSION_free(extension);
        if (!added) return nullptr;
    }
    if (X509_sign(cert.get(), issuerKey != nullptr ? issuerKey : key, EVP_sha256()) == 0)
        return nullptr;
    return cert;
}

std::string BioText(BIO* bio) {
    BUF_MEM* memory = nullptr;
    BIO_get_mem_ptr(bio, &memory);
    return memory != nullptr ? std::string(memory->data, memory->length) : std::string();
}

std::string CertPem(X509* cert) {
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), cert) != 1) return "";
    return BioText(bio.get());
}

std::string KeyPem(EVP_PKEY* key) {
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio ||
        PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return "";
    return BioText(bio.get());
}

// The text of pem whose base64 characters encode octets of part alone, or "" when part is not
// in the DER it encodes. Base64 (RFC 4648 section 4) turns octets 3k..3k+2 into characters
// 4k..4k+3; PEM (RFC 7468 section 2) breaks its lines after every 64 characters.
std::string PemPartOf(const std::string& pem, const Bytes& part) {
    const std::size_t begin = pem.find('\n');
    const std::size_t end = pem.find("-----END");
    if (part.empty() || begin == std::string::npos || end == std::string::npos || end < begin)
        return "";
    std::string base64;
    std::vector<std::size_t> at;  // each character's place in pem
    for (std::size_t i = begin + 1; i < end; ++i) {
        if (pem[i] == '\n' || pem[i] == '\r') continue;
        base64 += pem[i];
        at.push_back(i);
    }
    Bytes der(base64.size() / 4 * 3 + 3);
    const int decoded =
        EVP_DecodeBlock(der.data(), reinterpret_cast<const unsigned char*>(base64.data()),
                        static_cast<int>(base64.size()));
    if (decoded <= 0) return "";
    der.resize(static_cast<std::size_t>(decoded));
    const auto found = std::search(der.begin(), der.end(), part.begin(), part.end());
    if (found == der.end()) return "";
    const std::size_t first = static_cast<std::size_t>(found - der.begin());
    const std::size_t from = (first + 2) / 3 * 4, to = (first + part.size()) / 3 * 4;
    if (to <= from || to > at.size()) return "";
    return pem.substr(at[from], at[to - 1] + 1 - at[from]);
}

// Reads exactly length octets: false on a closed connection, an error or the socket's timeout.
bool ReadFull(SSL* ssl, std::uint8_t* out, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        std::size_t got = 0;
        if (SSL_read_ex(ssl, out + done, length - done, &got) != 1) return false;
        done += got;
    }
    return true;
}

struct ServerEntry {
    const Bytes* key;
    const std::string* identity;
    TlsRadiusServer* server;
};

// HKDF-Expand-Label(secret, label, "", length) of TLS 1.3 (RFC 8446 section 7.1), with the hash
// whose size the secret has (SHA-256 or SHA-384); empty when OpenSSL fails.
Bytes ExpandLabel(const Bytes& secret, const std::string& label, std::size_t length) {
    const std::string full = "tls13 " + label;
    Bytes info = {static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length),
                  static_cast<std::uint8_t>(full.size())};
    info.insert(info.end(), full.begin(), full.end());
    info.push_back(0);  // no context
    Bytes out(length);
    std::size_t outLength = length;
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr);
    const bool ok =
        ctx != nullptr && EVP_PKEY_derive_init(ctx) == 1 &&
        EVP_PKEY_CTX_set_hkdf_mode(ctx, EVP_PKEY_HKDEF_MODE_EXPAND_ONLY) == 1 &&
        EVP_PKEY_CTX_set_hkdf_md(ctx, secret.size() == 48 ? EVP_sha384() : EVP_sha256()) == 1 &&
        EVP_PKEY_CTX_set1_hkdf_key(ctx, secret.data(), static_cast<int>(secret.size())) == 1 &&
        EVP_PKEY_CTX_add1_hkdf_info(ctx, info.data(), static_cast<int>(info.size())) == 1 &&
        EVP_PKEY_derive(ctx, out.data(), &outLength) == 1 && outLength == length;
    EVP_PKEY_CTX_free(ctx);
    return ok ? out : Bytes();
}

// NSS key log lines (what SSLKEYLOGFILE holds): "LABEL <client random> <secret>", in hex. A TLS
// 1.3 traffic secret also gives the record keys (RFC 8446 section 7.3), of AES-128-GCM (16
// octets) or of AES-256-GCM and ChaCha20-Poly1305 (32).
void KeepSessionSecret(const SSL* ssl, const char* line) {
    auto* entry = static_cast<ServerEntry*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
    const char* hex = std::strrchr(line, ' ');
    if (entry == nullptr || hex == nullptr) return;
    const Bytes secret = FromHex(hex + 1);
    entry->server->AddSessionSecret(secret);
    if (std::strstr(line, "TRAFFIC_SECRET") == nullptr) return;
    for (std::size_t length : {16, 32}) {
        const Bytes key = ExpandLabel(secret, "key", length);
        if (!key.empty()) entry->server->AddSessionSecret(key);
    }
}

// TLS 1.2 and, for an identity the client offers, TLS 1.3 (OpenSSL then takes the PSK's hash as
// SHA-256, RFC 8446 section 4.2.11).
unsigned PskForIdentity(SSL* ssl, const char* identity, unsigned char* psk, unsigned room) {
    const auto* entry = static_cast<const ServerEntry*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
    if (entry == nullptr || identity == nullptr || *entry->identity != identity ||
        entry->key->size() > room)
        return 0;
    std::memcpy(psk, entry->key->data(), entry->key->size());
    return static_cast<unsigned>(entry->key->size());
}

SSL_CTX* NewContext(const TestPki& pki, TlsServerMode mode, std::string* failure) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (ctx == nullptr) {
        *failure = LastError("SSL_CTX_new");
        return nullptr;
    }
    const bool tls12 = mode == TlsServerMode::kCertificateTls12 || mode == TlsServerMode::kPskTls12;
    SSL_CTX_set_min_proto_version(ctx, tls12 ? TLS1_2_VERSION : TLS1_3_VERSION);
    SSL_CTX_set_max_proto_version(ctx, tls12 ? TLS1_2_VERSION : TLS1_3_VERSION);
    SSL_CTX_set_keylog_callback(ctx, KeepSessionSecret);
    bool ok = true;
    if (mode == TlsServerMode::kPsk || mode == TlsServerMode::kPskTls12) {
        SSL_CTX_set_psk_server_callback(ctx, PskForIdentity);
        if (mode == TlsServerMode::kPskTls12)
            ok = SSL_CTX_set_cipher_list(ctx, "ECDHE-PSK-CHACHA20-POLY1305") == 1;
    } else {
        Bio certBio(BIO_new_mem_buf(pki.serverCertPem.data(), -1));
        Bio keyBio(BIO_new_mem_buf(pki.serverKeyPem.data(), -1));
        Bio caBio(BIO_new_mem_buf(pki.caPem.data(), -1));
        Cert cert(PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr));
        Key key(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
        Cert ca(PEM_read_bio_X509(caBio.get(), nullptr, nullptr, nullptr));
        ok = cert && key && ca && SSL_CTX_use_certificate(ctx, cert.get()) == 1 &&
             SSL_CTX_use_PrivateKey(ctx, key.get()) == 1 &&
             X509_STORE_add_cert(SSL_CTX_get_cert_store(ctx), ca.get()) == 1;
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
        // A session resumed from a ticket is one this server verified the client of: OpenSSL asks
        // for a context naming the server (RFC 8446 section 2.2 resumption; OpenSSL refuses it
        // with client certificates otherwise).
        static const unsigned char kContext[] = "qvrad-test-server";
        ok = ok && SSL_CTX_set_session_id_context(ctx, kContext, sizeof kContext - 1) == 1;
    }
    if (!ok) {
        *failure = LastError("server context");
        SSL_CTX_free(ctx);
        return nullptr;
    }
    return ctx;
}

}  // namespace

TestPki MakeTestPki() {
    TestPki pki;
    Key caKey(EVP_EC_gen("P-256")), serverKey(EVP_EC_gen("P-256")), clientKey(EVP_EC_gen("P-256"));
    if (!caKey || !serverKey || !clientKey) return pki;
    const Cert ca =
        MakeCertificate(caKey.get(), "qvRadClient run-time test CA", nullptr, nullptr, 1,
                        {{NID_basic_constraints, "critical,CA:TRUE"},
                         {NID_key_usage, "critical,keyCertSign,cRLSign"}});
    if (!ca) return pki;
    const Cert server = MakeCertificate(serverKey.get(), "127.0.0.1", ca.get(), caKey.get(), 2,
                                        {{NID_key_usage, "critical,digitalSignature"},
                                         {NID_ext_key_usage, "serverAuth"},
                                         {NID_subject_alt_name, "IP:127.0.0.1"}});
    const Cert client = MakeCertificate(
        clientKey.get(), "qvrad-hygiene-client", ca.get(), caKey.get(), 3,
        {{NID_key_usage, "critical,digitalSignature"}, {NID_ext_key_usage, "clientAuth"}});
    if (!server || !client) return pki;
    pki.caPem = CertPem(ca.get());
    pki.serverCertPem = CertPem(server.get());
    pki.serverKeyPem = KeyPem(serverKey.get());
    pki.clientCertPem = CertPem(client.get());
    pki.clientKeyPem = KeyPem(clientKey.get());
    unsigned char* der = nullptr;
    const int derLength = i2d_PrivateKey(clientKey.get(), &der);
    if (derLength > 0) pki.clientKeyDer.assign(der, der + derLength);
    OPENSSL_clear_free(der, derLength > 0 ? static_cast<std::size_t>(derLength) : 0);
    BIGNUM* scalar = nullptr;
    if (EVP_PKEY_get_bn_param(clientKey.get(), OSSL_PKEY_PARAM_PRIV_KEY, &scalar) == 1) {
        pki.clientScalar.resize(32);
        if (BN_bn2binpad(scalar, pki.clientScalar.data(), 32) != 32) pki.clientScalar.clear();
    }
    BN_clear_free(scalar);
    pki.clientKeyPemPart = PemPartOf(pki.clientKeyPem, pki.clientScalar);
    pki.ok = !pki.caPem.empty() && !pki.serverCertPem.empty() && !pki.serverKeyPem.empty() &&
             !pki.clientCertPem.empty() && !pki.clientKeyPem.empty() && !pki.clientKeyDer.empty() &&
             pki.clientScalar.size() == 32;
    return pki;
}

TlsRadiusServer::TlsRadiusServer(const TestPki& pki, TlsServerMode mode, const Bytes& psk,
                                 const std::string& pskIdentity, Handler handler, int connections)
    : TlsRadiusServer(
          pki, mode, psk, pskIdentity,
          [handler = std::move(handler)](const Bytes& request) {
              Bytes reply = handler(request);
              return reply.empty() ? std::vector<Bytes>() : std::vector<Bytes>{std::move(reply)};
          },
          connections) {}

TlsRadiusServer::TlsRadiusServer(const TestPki& pki, TlsServerMode mode, const Bytes& psk,
                                 const std::string& pskIdentity, Records records, int connections)
    : TlsRadiusServer(pki, mode, psk, pskIdentity, std::move(records), [connections] {
          Options options;
          options.connections = connections;
          return options;
      }()) {}

TlsRadiusServer::TlsRadiusServer(const TestPki& pki, TlsServerMode mode, const Bytes& psk,
                                 const std::string& pskIdentity, Records records,
                                 const Options& options)
    : options_(options), records_(std::move(records)), psk_(psk), pskIdentity_(pskIdentity) {
    SSL_CTX* ctx = NewContext(pki, mode, &failure_);
    if (ctx == nullptr) return;
    const int connections = options.connections;
    thread_ = std::thread([this, ctx, connections] {
        ServerEntry entry{&psk_, &pskIdentity_, this};
        SSL_CTX_set_app_data(ctx, &entry);
        std::vector<std::thread> served;
        for (int i = 0; i < connections; ++i) {
            // Waits in steps of 50 ms, 20 s at most; once stopped, only for what is waiting.
            bool waiting = false;
            for (int step = 0; step < 400 && !waiting; ++step) {
                const bool stopping = stop_;
                waiting = listener_.Waiting(stopping ? 0 : 50);
                if (stopping) break;
            }
            if (!waiting) break;
            const platform::SocketHandle s = platform::SocketAccept(listener_.socket);
            if (s == platform::kInvalidSocket) break;
            if (options_.concurrent) {
                served.emplace_back([this, ctx, s] {
                    Serve(ctx, s);
                    platform::SocketClose(s);
                });
                continue;
            }
            Serve(ctx, s);
            platform::SocketClose(s);
        }
        for (std::thread& t : served) t.join();
        SSL_CTX_free(ctx);
    });
}

TlsRadiusServer::~TlsRadiusServer() {
    Join();
}

void TlsRadiusServer::Join() {
    if (thread_.joinable()) thread_.join();
}

std::vector<Bytes> TlsRadiusServer::SessionSecrets() const {
    std::lock_guard<std::mutex> hold(secretsLock_);
    return secrets_;
}

void TlsRadiusServer::AddSessionSecret(const Bytes& secret) {
    std::lock_guard<std::mutex> hold(secretsLock_);
    secrets_.push_back(secret);
}

void TlsRadiusServer::Serve(void* context, platform::SocketHandle socket) {
    const int fd = static_cast<int>(socket);
    // A handshake flight and the tickets after it are several small writes: without this, Nagle
    // holds each behind the client's delayed ACK (some 40 ms a connection).
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const timeval limit = {10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    SSL* ssl = SSL_new(static_cast<SSL_CTX*>(context));
    if (ssl == nullptr || SSL_set_fd(ssl, fd) != 1) {
        std::lock_guard<std::mutex> hold(stateLock_);
        failure_ = LastError("SSL_new");
        SSL_free(ssl);
        return;
    }
    if (SSL_accept(ssl) != 1) {
        std::lock_guard<std::mutex> hold(stateLock_);
        failure_ = LastError("handshake");
        SSL_free(ssl);
        return;
    }
    {
        std::lock_guard<std::mutex> hold(stateLock_);
        ++handshakes_;
        if (SSL_session_reused(ssl) == 1) ++resumed_;
    }
    Connection connection;
    // RFC 6613 section 2.1: packets back to back on the stream, each as long as its Length.
    for (;;) {
        std::uint8_t header[4];
        if (!ReadFull(ssl, header, sizeof header)) break;
        const std::size_t length = (static_cast<std::size_t>(header[2]) << 8) | header[3];
        if (length < 20 || length > 4096) {
            std::lock_guard<std::mutex> hold(stateLock_);
            failure_ = "a packet whose Length is outside 20..4096";
            break;
        }
        Bytes request(header, header + sizeof header);
        request.resize(length);
        if (!ReadFull(ssl, request.data() + sizeof header, length - sizeof header)) break;
        ++connection.packets;
        if (options_.closeAfter != 0 && connection.packets == options_.closeAfter) break;
        bool wrote = false;
        const std::vector<Bytes> records = records_(request);
        for (const Bytes& record : records) {
            std::size_t written = 0;
            wrote = (!record.empty() &&
                     SSL_write_ex(ssl, record.data(), record.size(), &written) == 1) ||
                    wrote;
        }
        // The last record again and again, as fast as the client reads, while it reads.
        const auto floodEnd =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.floodMillis);
        while (!records.empty() && options_.floodMillis > 0 &&
               std::chrono::steady_clock::now() < floodEnd) {
            std::size_t written = 0;
            if (SSL_write_ex(ssl, records.back().data(), records.back().size(), &written) != 1)
                break;
        }
        std::lock_guard<std::mutex> hold(stateLock_);
        if (wrote) ++answered_;
    }
    // The read that ended the loop met close_notify, or a bare end of the stream.
    connection.closeNotify = (SSL_get_shutdown(ssl) & SSL_RECEIVED_SHUTDOWN) != 0;
    std::lock_guard<std::mutex> hold(stateLock_);
    connections_.push_back(connection);
    SSL_shutdown(ssl);
    SSL_free(ssl);
}

#endif
