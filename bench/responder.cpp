// The benchmark responder's thread: a non-blocking socket drained in bounded batches after each
// wake, so that under load one poll serves many requests, and a bounded life of its own.
#include "responder.h"

#include <pthread.h>
#include <time.h>

#include <cstring>

#include "openssl_ref.h"

namespace {

constexpr int kHeaderLength = 20;                   // RFC 2865 section 3
constexpr int kAuthenticatorOffset = 4;             // RFC 2865 section 3
constexpr int kAuthenticatorLength = 16;            // RFC 2865 section 3
constexpr std::uint8_t kAccessAccept = 2;           // RFC 2865 section 4.2
constexpr std::uint8_t kReplyMessage = 18;          // RFC 2865 section 5.18
constexpr std::uint8_t kMessageAuthenticator = 80;  // RFC 3579 section 3.2
constexpr int kMessageAuthenticatorLength = 18;     // RFC 3579 section 3.2
constexpr int kPollMillis = 20;                     // how soon a stop is noticed
constexpr int kBatchLimit = 64;                     // datagrams answered per wake at most
constexpr int kLifeMillis = 600000;                 // the thread ends by itself after ten minutes

}  // namespace

BenchResponder::BenchResponder(const std::string& secret, const std::string& replyMessage,
                               bool withMessageAuthenticator)
    : secret_(secret), withMessageAuthenticator_(withMessageAuthenticator) {
    const std::size_t text = replyMessage.size() > 200 ? 200 : replyMessage.size();
    int at = kHeaderLength;
    reply_[0] = kAccessAccept;
    if (withMessageAuthenticator_) {
        reply_[at] = kMessageAuthenticator;
        reply_[at + 1] = kMessageAuthenticatorLength;
        messageAuthenticatorValue_ = at + 2;
        at += kMessageAuthenticatorLength;
    }
    reply_[at] = kReplyMessage;
    reply_[at + 1] = static_cast<std::uint8_t>(text + 2);
    std::memcpy(reply_ + at + 2, replyMessage.data(), text);
    replyLength_ = at + 2 + static_cast<int>(text);
    reply_[2] = static_cast<std::uint8_t>(replyLength_ >> 8);
    reply_[3] = static_cast<std::uint8_t>(replyLength_);

    socket_ = platform::UdpSocketOpen();
    if (socket_ == platform::kInvalidSocket) return;
    std::uint16_t port = 0;
    if (platform::SocketBindIPv4(socket_, platform::ParseIPv4("127.0.0.1"), 0) != 0 ||
        platform::SocketLocalPort(socket_, &port) != 0 ||
        platform::SocketSetNonBlocking(socket_) != 0) {
        platform::SocketClose(socket_);
        socket_ = platform::kInvalidSocket;
        return;
    }
    port_ = port;
    thread_ = std::thread([this] { Run(); });
}

BenchResponder::~BenchResponder() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (socket_ != platform::kInvalidSocket) platform::SocketClose(socket_);
}

std::int64_t BenchResponder::ThreadCpuNanos() {
    if (!thread_.joinable()) return 0;
    clockid_t clock;
    if (pthread_getcpuclockid(thread_.native_handle(), &clock) != 0) return 0;
    timespec now;
    if (clock_gettime(clock, &now) != 0) return 0;
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int BenchResponder::Sign(const std::uint8_t* request, std::uint8_t* reply) {
    // reply holds the template with the request's Identifier and Request Authenticator in
    // place; room for the secret follows it.
    std::memcpy(reply, reply_, static_cast<std::size_t>(replyLength_));
    // An Accounting-Request (RFC 2866 section 4.1) gets an Accounting-Response (section 4.2),
    // signed alike; its Reply-Message is ignored by the client.
    if (request[0] == 4) reply[0] = 5;
    reply[1] = request[1];
    std::memcpy(reply + kAuthenticatorOffset, request + kAuthenticatorOffset, kAuthenticatorLength);
    if (messageAuthenticatorValue_ != 0) {
        // RFC 3579 section 3.2: over the reply with the Request Authenticator and a zero value.
        OpenSslHmacMd5(reply + messageAuthenticatorValue_, secret_.data(), secret_.size(), reply,
                       static_cast<std::size_t>(replyLength_));
    }
    // RFC 2865 section 3: MD5(Code + Identifier + Length + Request Authenticator + Attributes +
    // Secret), then the result replaces the Request Authenticator.
    std::memcpy(reply + replyLength_, secret_.data(), secret_.size());
    std::uint8_t digest[16];
    OpenSslMd5(digest, reply, static_cast<std::size_t>(replyLength_) + secret_.size());
    std::memcpy(reply + kAuthenticatorOffset, digest, sizeof digest);
    return replyLength_;
}

void BenchResponder::Run() {
    std::uint8_t request[4097];
    std::uint8_t reply[sizeof reply_ + 256];
    if (secret_.size() > 256) return;
    const std::int64_t end = platform::MonotonicMillis() + kLifeMillis;
    while (!stop_.load(std::memory_order_relaxed) && platform::MonotonicMillis() < end) {
        if (platform::SocketWaitReadable(socket_, kPollMillis) <= 0) continue;
        wakeups_.fetch_add(1, std::memory_order_relaxed);
        for (int i = 0; i < kBatchLimit; ++i) {
            bool oversized = false;
            std::uint32_t ip = 0;
            std::uint16_t port = 0;
            const int n = platform::SocketReceiveFrom(socket_, request, sizeof request, &oversized,
                                                      &ip, &port);
            if (n < 0) break;  // drained
            if (n < kHeaderLength || oversized) continue;
            const int length = Sign(request, reply);
            platform::SocketSendTo(socket_, reply, static_cast<std::size_t>(length), ip, port);
            answered_.fetch_add(1, std::memory_order_relaxed);
        }
    }
}
