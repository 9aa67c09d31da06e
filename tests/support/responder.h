// A scripted RADIUS peer for the tests: a thread on 127.0.0.1, on a port it picked itself,
// that records every datagram and answers each with what its script returns.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "support/radius_wire.h"

struct Datagram {
    Bytes bytes;
    int delayMillis = 0;         // wait this long before sending it
    bool fromOtherPort = false;  // send from a second socket, another source port
};

class LoopbackResponder {
  public:
    // Given the request received, returns the datagrams to send back to its sender, in order.
    using Script = std::function<std::vector<Datagram>(const Bytes& request)>;

    explicit LoopbackResponder(Script script);
    ~LoopbackResponder();
    LoopbackResponder(const LoopbackResponder&) = delete;
    LoopbackResponder& operator=(const LoopbackResponder&) = delete;

    std::uint16_t Port() const { return port_; }
    std::string PortText() const { return std::to_string(port_); }
    std::vector<Bytes> Received();
    std::size_t ReceivedCount();
    // From now on datagrams are answered but not kept, so the heap stays flat across calls.
    void StopRecording() { recording_ = false; }

  private:
    void Run();

    Script script_;
    platform::SocketHandle socket_ = platform::kInvalidSocket;
    platform::SocketHandle other_ = platform::kInvalidSocket;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<bool> recording_{true};
    std::mutex mutex_;
    std::vector<Bytes> received_;
    std::thread thread_;
};

// Scripts for the common answers: a signed reply of that code with these attributes.
LoopbackResponder::Script AnswerWith(const std::string& secret, std::uint8_t code,
                                     std::vector<Attribute> attributes);
LoopbackResponder::Script Silent();

std::uint32_t LoopbackAddress();  // 127.0.0.1 in network order
