// Resources over many calls: open descriptors and heap in use after 10,000 mixed calls equal
// those before, and a host that holds 1,100 descriptors still gets correct results from a call
// whose socket is above 1024 (where select() and its fd_set would fail).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "md5/md5.h"
#include "platform/platform.h"
#include "qvRadClient.h"
#include "support/auth_helpers.h"
#include "support/responder.h"

namespace {

const char kSecret[] = "hardening-resources";
const char kInvalidInput[] = "6007#0#INVALID_INPUT_ERR";
const char kNetworkFail[] = "6040#0#ERR_NETWORK_FAIL";

// A loopback RADIUS peer that allocates nothing while it runs (fixed buffers, the library's
// MD5 for the signature), so that the heap in use can be compared to the byte across calls.
class QuietResponder {
  public:
    QuietResponder(std::uint8_t code, const char* message) : code_(code) {
        std::snprintf(message_, sizeof message_, "%s", message);
        socket_ = platform::UdpSocketOpen();
        std::uint16_t port = 0;
        if (socket_ == platform::kInvalidSocket ||
            platform::SocketBindIPv4(socket_, LoopbackAddress(), 0) != 0 ||
            platform::SocketLocalPort(socket_, &port) != 0)
            return;
        std::snprintf(port_, sizeof port_, "%u", port);
        thread_ = std::thread([this] { Run(); });
    }
    ~QuietResponder() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (socket_ != platform::kInvalidSocket) platform::SocketClose(socket_);
    }
    QuietResponder(const QuietResponder&) = delete;
    QuietResponder& operator=(const QuietResponder&) = delete;

    const char* Port() const { return port_; }
    unsigned Answered() const { return answered_.load(); }

  private:
    void Run() {
        std::uint8_t in[4096];
        std::uint8_t out[300];
        while (!stop_) {
            if (platform::SocketWaitReadable(socket_, 20) <= 0) continue;
            bool oversized = false;
            std::uint32_t ip = 0;
            std::uint16_t port = 0;
            const int n =
                platform::SocketReceiveFrom(socket_, in, sizeof in, &oversized, &ip, &port);
            if (n < 20 || oversized) continue;
            // RFC 2865 section 3: Code, the request's Identifier, Length, then the Response
            // Authenticator = MD5(Code + Identifier + Length + Request Authenticator +
            // attributes + secret).
            const std::size_t text = std::strlen(message_);
            const std::size_t length = 20 + 2 + text;
            out[0] = code_;
            out[1] = in[1];
            out[2] = static_cast<std::uint8_t>(length >> 8);
            out[3] = static_cast<std::uint8_t>(length & 0xFF);
            std::memcpy(out + 4, in + 4, 16);
            out[20] = 18;  // Reply-Message, RFC 2865 section 5.18
            out[21] = static_cast<std::uint8_t>(text + 2);
            std::memcpy(out + 22, message_, text);
            MD5_CTX ctx;
            MD5Init(&ctx);
            MD5Update(&ctx, out, static_cast<std::uint32_t>(length));
            MD5Update(&ctx, kSecret, sizeof kSecret - 1);
            MD5Final(out + 4, &ctx);
            // Counted before it leaves: a caller that has its text can read the count at once.
            ++answered_;
            platform::SocketSendTo(socket_, out, length, ip, port);
        }
    }

    std::uint8_t code_;
    char message_[200] = {};
    char port_[8] = {};
    platform::SocketHandle socket_ = platform::kInvalidSocket;
    std::atomic<bool> stop_{false};
    std::atomic<unsigned> answered_{0};
    std::thread thread_;
};

// A port on 127.0.0.1 that receives and never answers.
struct SilentPort {
    platform::SocketHandle socket = platform::UdpSocketOpen();
    char port[8] = {};
    SilentPort() {
        std::uint16_t number = 0;
        platform::SocketBindIPv4(socket, LoopbackAddress(), 0);
        platform::SocketLocalPort(socket, &number);
        std::snprintf(port, sizeof port, "%u", number);
    }
    ~SilentPort() { platform::SocketClose(socket); }
};

// A host name that fails without asking any name server: a DNS label is at most 63 octets
// (RFC 1035 section 2.3.4), so the resolver cannot even form the query.
const char* UnresolvableHost() {
    static char host[80];
    if (host[0] == '\0') {
        std::memset(host, 'q', 70);
        std::memcpy(host + 70, ".invalid", 9);
    }
    return host;
}

struct Outcome {
    int mismatches = 0;
    int firstIndex = -1;
    char firstText[128] = {};
};

void Expect(Outcome& o, int index, const char* text, const char* expected) {
    if (text != nullptr && std::strcmp(text, expected) == 0) return;
    if (o.mismatches++ == 0) {
        o.firstIndex = index;
        std::snprintf(o.firstText, sizeof o.firstText, "%s", text ? text : "<null>");
    }
}

// One call of each fast kind, in turn; every call's text is checked without allocating.
void MixedCall(Outcome& o, int i, const QuietResponder& accept, const QuietResponder& reject) {
    static const char* const kRefused[][6] = {
        {nullptr, "1812", kSecret, "alice", "pw", "1"},
        {"127.0.0.1", "0", kSecret, "alice", "pw", "1"},
        {"127.0.0.1", "1812", "", "alice", "pw", "1"},
        {"127.0.0.1", "1812", kSecret, "   ", "pw", "1"},
        {"127.0.0.1", "1812", kSecret, "alice", "", "1"},
        {"127.0.0.1", "1812", kSecret, "alice", "pw", "20"},
        {"127.0.0.1", "2147483648", kSecret, "alice", "pw", "1"},
    };
    switch (i % 10) {
        case 0:
        case 1:
        case 2:
            Expect(o, i, auth("127.0.0.1", accept.Port(), kSecret, "alice", "pw", "2"), "welcome");
            break;
        case 3:
        case 4:
        case 5:
            Expect(o, i, auth("127.0.0.1", reject.Port(), kSecret, "alice", "pw", "2"), "denied");
            break;
        case 6:
        case 7: {
            const char* const* a = kRefused[(i / 10) % (sizeof kRefused / sizeof kRefused[0])];
            Expect(o, i, auth(a[0], a[1], a[2], a[3], a[4], a[5]), kInvalidInput);
            break;
        }
        case 8:
            Expect(o, i, auth("0.0.0.0", "1812", kSecret, "alice", "pw", "5"), kNetworkFail);
            break;
        default:
            Expect(o, i, auth(UnresolvableHost(), "1812", kSecret, "alice", "pw", "5"),
                   kNetworkFail);
    }
}

TEST(HardeningResources, TenThousandMixedCallsLeaveDescriptorsAndHeapAsTheyWere) {
    QuietResponder accept(2, "welcome");
    QuietResponder reject(3, "denied");
    SilentPort silent;
    ASSERT_NE(accept.Port()[0], '\0');
    ASSERT_NE(reject.Port()[0], '\0');
    // Warm-up: the resolver loads its modules and reads its files once, for good.
    Outcome warm;
    for (int i = 0; i < 20; ++i) MixedCall(warm, i, accept, reject);
    ASSERT_EQ(warm.mismatches, 0) << warm.firstIndex << ": " << warm.firstText;

    const int descriptorsBefore = OpenDescriptorCount();
    const std::size_t heapBefore = HeapInUse();
    Outcome o;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 10000; ++i) {
        MixedCall(o, i, accept, reject);
        // Two real silent-port calls: each waits its whole timeout.
        if (i == 2500 || i == 7500)
            Expect(o, i, auth("127.0.0.1", silent.port, kSecret, "alice", "pw", "1"), kNetworkFail);
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    const std::size_t heapAfter = HeapInUse();
    const int descriptorsAfter = OpenDescriptorCount();

    EXPECT_EQ(o.mismatches, 0) << "first at call " << o.firstIndex << ": " << o.firstText;
    EXPECT_EQ(accept.Answered() + reject.Answered(), 6000u + 12u);
    EXPECT_EQ(descriptorsAfter, descriptorsBefore);
    if (HeapIsCounted()) {
        EXPECT_EQ(heapAfter, heapBefore);
    } else {
        std::printf("heap in use not compared: the sanitizer's allocator is not glibc's\n");
    }
    std::printf("10,002 calls in %.2f s; heap in use %zu -> %zu bytes, descriptors %d -> %d\n",
                took.count(), heapBefore, heapAfter, descriptorsBefore, descriptorsAfter);
}

// The highest descriptor number above 1024 that is a socket, from /proc/self/fd.
int HighestSocketAbove1024() {
    int highest = -1;
    std::error_code error;
    for (std::filesystem::directory_iterator it("/proc/self/fd", error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        const int fd = std::atoi(name.c_str());
        if (fd <= 1024) continue;
        const std::string target = std::filesystem::read_symlink(it->path(), error).string();
        if (!error && target.rfind("socket:", 0) == 0 && fd > highest) highest = fd;
        error.clear();
    }
    return highest;
}

TEST(HardeningResources, CallsWithADescriptorAbove1024) {
    rlimit limit;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_cur < 1300) {
        if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < 1300)
            GTEST_SKIP() << "descriptor limit " << limit.rlim_max << " below 1300";
        limit.rlim_cur = 1300;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    }
    // The responders' own sockets are made first, below the held descriptors; the one socket
    // above 1024 during a call is then the call's.
    std::atomic<int> seen{-1};
    const Bytes key = ToBytes(kSecret);
    auto answering = [&seen, key](std::uint8_t code, const char* text) {
        return [&seen, key, code, text](const Bytes& request) -> std::vector<Datagram> {
            seen = HighestSocketAbove1024();
            return {{SignedReply(request, key, code, EncodeAttributes({{18, ToBytes(text)}})), 0}};
        };
    };
    LoopbackResponder accept(answering(2, "high accept"));
    LoopbackResponder reject(answering(3, "high reject"));
    LoopbackResponder silent(Silent());

    const int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(devnull, 0);
    std::vector<int> held;
    for (int i = 0; i < 1100; ++i) {
        const int fd = fcntl(devnull, F_DUPFD_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        held.push_back(fd);
    }
    const int nextFree = fcntl(devnull, F_DUPFD_CLOEXEC, 0);
    close(nextFree);
    EXPECT_GT(nextFree, 1024);

    EXPECT_EQ(CallAuth("127.0.0.1", accept.PortText().c_str(), kSecret, "alice", "pw", "2"),
              "high accept");
    EXPECT_GT(seen.load(), 1024);
    seen = -1;
    EXPECT_EQ(CallAuth("127.0.0.1", reject.PortText().c_str(), kSecret, "alice", "pw", "2"),
              "high reject");
    EXPECT_GT(seen.load(), 1024);
    const TimedResult t = TimedAuth(silent.PortText(), kSecret, "alice", "pw", "1");
    EXPECT_EQ(t.text, kNetworkFail);
    EXPECT_GE(t.seconds, 0.9);
    EXPECT_LE(t.seconds, 1.5);
    // Each call's descriptor was closed: the lowest free number is the same again.
    const int after = fcntl(devnull, F_DUPFD_CLOEXEC, 0);
    close(after);
    EXPECT_EQ(after, nextFree);

    for (int fd : held) close(fd);
    close(devnull);
}

}  // namespace
