// A lean RADIUS peer for the benchmarks: one thread on 127.0.0.1, on a port it picked itself,
// answering every datagram of 20 bytes or more at once with a signed Access-Accept (an
// Accounting-Response to an Accounting-Request).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "platform/platform.h"

class BenchResponder {
  public:
    // The reply is an Access-Accept carrying replyMessage (RFC 2865 section 5.18) and, when
    // withMessageAuthenticator, a Message-Authenticator (RFC 3579 section 3.2) first. Only
    // the Identifier and the digests change from one reply to the next, so everything else is
    // laid out once here.
    BenchResponder(const std::string& secret, const std::string& replyMessage,
                   bool withMessageAuthenticator = false);
    ~BenchResponder();
    BenchResponder(const BenchResponder&) = delete;
    BenchResponder& operator=(const BenchResponder&) = delete;

    bool Ok() const { return port_ != 0; }
    std::uint16_t Port() const { return port_; }
    std::string PortText() const { return std::to_string(port_); }

    // For the check that the responder is not the bottleneck: datagrams answered, times it
    // woke to find work, and the CPU time its thread has used so far.
    std::uint64_t Answered() const { return answered_.load(std::memory_order_relaxed); }
    std::uint64_t Wakeups() const { return wakeups_.load(std::memory_order_relaxed); }
    std::int64_t ThreadCpuNanos();

  private:
    void Run();
    int Sign(const std::uint8_t* request, std::uint8_t* reply);

    platform::SocketHandle socket_ = platform::kInvalidSocket;
    std::uint16_t port_ = 0;
    std::string secret_;
    bool withMessageAuthenticator_;
    // The reply laid out once; replyLength_ bytes, Identifier and digests patched per request.
    std::uint8_t reply_[300] = {};
    int replyLength_ = 0;
    int messageAuthenticatorValue_ = 0;  // offset of its 16-byte value, 0 when absent
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> answered_{0};
    std::atomic<std::uint64_t> wakeups_{0};
    std::thread thread_;
};
