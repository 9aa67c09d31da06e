// The loopback responder's thread (bounded waits, so it notices a stop within 20 ms), and how a
// test reads what it received: settled first, each datagram with the time it arrived.
#include "support/responder.h"

#include <chrono>
#include <cstring>
#include <memory>

#ifdef __linux__
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#endif

namespace {

// How long the datagram just read waited in the socket's queue, in seconds: on Linux from the
// kernel's arrival stamp (asked for once first, to turn stamping on), elsewhere 0.
double QueuedSeconds(platform::SocketHandle socket) {
#ifdef SIOCGSTAMP
    timeval stamp{}, now{};
    if (ioctl(static_cast<int>(socket), SIOCGSTAMP, &stamp) != 0) return 0;
    gettimeofday(&now, nullptr);
    const double queued = static_cast<double>(now.tv_sec - stamp.tv_sec) +
                          static_cast<double>(now.tv_usec - stamp.tv_usec) / 1e6;
    return queued > 0 && queued < 60 ? queued : 0;  // else the wall clock stepped: none
#else
    (void)socket;
    return 0;
#endif
}

// Sent by Settle from the responder's second socket to its first: the thread has read every
// datagram queued before it once it reads this. Shorter than any RADIUS header (20 bytes).
const std::uint8_t kSettle[] = {'s', 'e', 't', 't', 'l', 'e'};
}  // namespace

std::uint32_t LoopbackAddress() {
    return platform::ParseIPv4("127.0.0.1");
}

LoopbackResponder::LoopbackResponder(Script script, const char* address, std::uint16_t port)
    : script_(std::move(script)) {
    if (platform::ParseIPv4(address) != 0xFFFFFFFFu)
        address_ = platform::IPv4Address(platform::ParseIPv4(address));
    else if (platform::ParseIPv6(address, &address_) != 0)
        return;
    socket_ = platform::UdpSocketOpen(address_.family);
    if (socket_ == platform::kInvalidSocket) return;
    if (platform::SocketBindAddress(socket_, address_, port) != 0 ||
        platform::SocketLocalPort(socket_, &port_) != 0) {
        platform::SocketClose(socket_);
        socket_ = platform::kInvalidSocket;
        port_ = 0;
        return;
    }
    QueuedSeconds(socket_);  // turns the kernel's stamping on before the first datagram
    other_ = platform::UdpSocketOpen(address_.family);
    if (other_ != platform::kInvalidSocket &&
        (platform::SocketBindAddress(other_, address_, 0) != 0 ||
         platform::SocketLocalPort(other_, &otherPort_) != 0))
        otherPort_ = 0;
    thread_ = std::thread([this] { Run(); });
}

LoopbackResponder::~LoopbackResponder() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (socket_ != platform::kInvalidSocket) platform::SocketClose(socket_);
    if (other_ != platform::kInvalidSocket) platform::SocketClose(other_);
}

// A datagram sent on loopback is in the receiving socket's queue when the send returns, and the
// queue is read in order: once the thread has read the marker sent now, it has read (and
// answered) everything that came before it.
void LoopbackResponder::Settle() {
    if (!thread_.joinable() || otherPort_ == 0) return;
    std::lock_guard<std::mutex> guard(settleMutex_);
    const unsigned want = ++settlesSent_;
    if (platform::SocketSendToAddress(other_, kSettle, sizeof kSettle, address_, port_) <= 0)
        return;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (settlesSeen_.load() < want && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

std::vector<Bytes> LoopbackResponder::Received() {
    Settle();
    std::lock_guard<std::mutex> guard(mutex_);
    return received_;
}

std::vector<double> LoopbackResponder::ReceivedTimes() {
    Settle();
    std::lock_guard<std::mutex> guard(mutex_);
    return times_;
}

std::size_t LoopbackResponder::ReceivedCount() {
    Settle();
    std::lock_guard<std::mutex> guard(mutex_);
    return received_.size();
}

void LoopbackResponder::Run() {
    std::vector<std::uint8_t> buffer(65536);
    while (!stop_) {
        if (platform::SocketWaitReadable(socket_, 20) <= 0) continue;
        bool oversized = false;
        platform::IpAddress from;
        std::uint16_t port = 0;
        const int n = platform::SocketReceiveFromAddress(socket_, buffer.data(), buffer.size(),
                                                         &oversized, &from, &port);
        if (n < 0) continue;
        if (port == otherPort_ && n == static_cast<int>(sizeof kSettle) &&
            std::memcmp(buffer.data(), kSettle, sizeof kSettle) == 0) {
            ++settlesSeen_;
            continue;
        }
        // When it arrived, not when this thread, which a loaded machine may run late, read it.
        const std::chrono::duration<double> at =
            std::chrono::steady_clock::now() - started_ -
            std::chrono::duration<double>(QueuedSeconds(socket_));
        Bytes request(buffer.begin(), buffer.begin() + n);
        if (recording_) {
            std::lock_guard<std::mutex> guard(mutex_);
            received_.push_back(request);
            times_.push_back(at.count());
        }
        for (const Datagram& d : script_(request)) {
            if (stop_) break;
            if (d.delayMillis > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(d.delayMillis));
            const platform::SocketHandle out = d.via != platform::kInvalidSocket ? d.via
                                               : d.fromOtherPort                 ? other_
                                                                                 : socket_;
            platform::SocketSendToAddress(out, d.bytes.data(), d.bytes.size(), from, port);
        }
    }
}

LoopbackResponder::Script AnswerWith(const std::string& secret, std::uint8_t code,
                                     std::vector<Attribute> attributes) {
    const Bytes key = ToBytes(secret);
    const Bytes encoded = EncodeAttributes(attributes);
    return [key, code, encoded](const Bytes& request) -> std::vector<Datagram> {
        if (request.size() < 20) return {};
        return {{SignedReply(request, key, code, encoded), 0}};
    };
}

LoopbackResponder::Script Silent() {
    return [](const Bytes&) -> std::vector<Datagram> { return {}; };
}

LoopbackResponder::Script DropFirst(int k, LoopbackResponder::Script script) {
    auto seen = std::make_shared<std::atomic<int>>(0);
    return [k, seen, script](const Bytes& request) -> std::vector<Datagram> {
        if (k < 0 || seen->fetch_add(1) < k) return {};
        return script(request);
    };
}
