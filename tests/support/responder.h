// A scripted RADIUS peer for the tests: a thread on 127.0.0.1 (or 127.0.0.2, ::1), on a port it
// picked itself, that records every datagram and answers each with what its script returns.
#pragma once

#include <atomic>
#include <chrono>
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
    // Send from this socket instead (another responder's: a source an attacker could forge).
    platform::SocketHandle via = platform::kInvalidSocket;
};

class LoopbackResponder {
  public:
    // Given the request received, returns the datagrams to send back to its sender, in order.
    using Script = std::function<std::vector<Datagram>(const Bytes& request)>;

    // address: a loopback literal; port 0 picks a free one. Where the address cannot be bound
    // (no IPv6, or the port taken there), Port() is 0.
    explicit LoopbackResponder(Script script, const char* address = "127.0.0.1",
                               std::uint16_t port = 0);
    ~LoopbackResponder();
    LoopbackResponder(const LoopbackResponder&) = delete;
    LoopbackResponder& operator=(const LoopbackResponder&) = delete;

    std::uint16_t Port() const { return port_; }
    platform::SocketHandle Socket() const { return socket_; }
    std::string PortText() const { return std::to_string(port_); }
    // These three first wait (at most 10 s) until the responder's thread has read and answered
    // every datagram that reached its socket before the call: read right after auth returns,
    // answered or not, they hold all it sent, however late a loaded machine runs that thread.
    std::vector<Bytes> Received();
    std::size_t ReceivedCount();
    // When each datagram arrived, in seconds since the responder started.
    std::vector<double> ReceivedTimes();
    // From now on datagrams are answered but not kept, so the heap stays flat across calls.
    void StopRecording() { recording_ = false; }

  private:
    void Run();
    void Settle();

    Script script_;
    platform::SocketHandle socket_ = platform::kInvalidSocket;
    platform::SocketHandle other_ = platform::kInvalidSocket;
    std::uint16_t port_ = 0;
    std::uint16_t otherPort_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<bool> recording_{true};
    std::mutex settleMutex_;
    unsigned settlesSent_ = 0;
    std::atomic<unsigned> settlesSeen_{0};
    std::mutex mutex_;
    std::vector<Bytes> received_;
    std::vector<double> times_;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    platform::IpAddress address_;
    std::thread thread_;
};

// Scripts for the common answers: a signed reply of that code with these attributes.
LoopbackResponder::Script AnswerWith(const std::string& secret, std::uint8_t code,
                                     std::vector<Attribute> attributes);
LoopbackResponder::Script Silent();
// The script, but the first k datagrams it is given go unanswered (k < 0: every one).
LoopbackResponder::Script DropFirst(int k, LoopbackResponder::Script script);

std::uint32_t LoopbackAddress();  // 127.0.0.1 in network order
