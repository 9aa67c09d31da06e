// The loopback responder's thread: bounded waits, so it notices a stop within 20 ms.
#include "support/responder.h"

#include <chrono>
#include <memory>

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
    other_ = platform::UdpSocketOpen(address_.family);
    if (other_ != platform::kInvalidSocket) platform::SocketBindAddress(other_, address_, 0);
    thread_ = std::thread([this] { Run(); });
}

LoopbackResponder::~LoopbackResponder() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (socket_ != platform::kInvalidSocket) platform::SocketClose(socket_);
    if (other_ != platform::kInvalidSocket) platform::SocketClose(other_);
}

std::vector<Bytes> LoopbackResponder::Received() {
    std::lock_guard<std::mutex> guard(mutex_);
    return received_;
}

std::vector<double> LoopbackResponder::ReceivedTimes() {
    std::lock_guard<std::mutex> guard(mutex_);
    return times_;
}

std::size_t LoopbackResponder::ReceivedCount() {
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
        const std::chrono::duration<double> at = std::chrono::steady_clock::now() - started_;
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
