// Retransmission against the real FreeRADIUS 3.2.1: a loopback relay in front of it loses the
// first request or the first reply, and the call still gets the Accept the server made once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "fr_server.h"
#include "qvRadClient.h"
#include "support/responder.h"

namespace {

// The relay's one socket towards the server: every datagram it forwards leaves from the same
// port, as the client's retransmissions do, since the server's duplicate detection (RFC 5080
// section 2.2.2) keys on the source.
struct Upstream {
    platform::SocketHandle socket = platform::kInvalidSocket;
    std::uint16_t port = 0;  // its own, as the server logs the sender
    std::atomic<int> requests{0};
    std::atomic<int> replies{0};

    Upstream() {
        socket = platform::UdpSocketOpen();
        if (socket != platform::kInvalidSocket &&
            (platform::SocketBindIPv4(socket, LoopbackAddress(), 0) != 0 ||
             platform::SocketLocalPort(socket, &port) != 0))
            port = 0;
    }
    ~Upstream() {
        if (socket != platform::kInvalidSocket) platform::SocketClose(socket);
    }
    Upstream(const Upstream&) = delete;
    Upstream& operator=(const Upstream&) = delete;
};

// Loses the first dropRequests requests on their way to the server and the first dropReplies
// replies on their way back; forwards everything else.
LoopbackResponder::Script RelayLosing(int dropRequests, int dropReplies, std::uint16_t serverPort,
                                      std::shared_ptr<Upstream> up) {
    return [=](const Bytes& request) -> std::vector<Datagram> {
        if (++up->requests <= dropRequests) return {};
        std::vector<std::uint8_t> buffer(4096);
        bool oversized = false;
        if (platform::SocketSendTo(up->socket, request.data(), request.size(), LoopbackAddress(),
                                   serverPort) <= 0 ||
            platform::SocketWaitReadable(up->socket, 3000) <= 0)
            return {};
        const int n = platform::SocketReceive(up->socket, buffer.data(), buffer.size(), &oversized);
        if (n < 20 || oversized) return {};
        if (++up->replies <= dropReplies) return {};
        return {{Bytes(buffer.begin(), buffer.begin() + n), 0}};
    };
}

struct Loss {
    const char* name;
    int dropRequests;
    int dropReplies;
    int serverReceived;  // requests the server logged as received, and processed
    int duplicates;      // retransmissions it answered from its cache of replies
};

// How GoogleTest shows a row: its name.
void PrintTo(const Loss& loss, std::ostream* os) {
    *os << loss.name;
}

class Retransmission : public ::testing::TestWithParam<Loss> {};

// With timeout 5 the first transmission is lost, the second (about 1 s later) carries the
// same bytes and gets the Accept: no third. The server answered once per datagram it got, and
// processed the request once: a retransmission it had answered already, it answers from its
// cache ("Sending duplicate reply"), which it does only for an Identifier and Request
// Authenticator it has seen from the same source (the relay's one socket).
TEST_P(Retransmission, TheServerAnswersOnceTheRequestItGot) {
    const Loss& loss = GetParam();
    FrServer server;
    std::string error;
    ASSERT_TRUE(LoadServer(&server, &error)) << error;
    ASSERT_EQ(server.Get("QVRAD_FR_VERSION"), "3.2.1");
    auto up = std::make_shared<Upstream>();
    ASSERT_NE(up->port, 0);
    LoopbackResponder relay(RelayLosing(loss.dropRequests, loss.dropReplies,
                                        static_cast<std::uint16_t>(std::stoi(server.Port("MAIN"))),
                                        up));
    ASSERT_NE(relay.Port(), 0);
    const std::string log = server.Get("QVRAD_FR_LOG");
    const std::string port = std::to_string(up->port);
    const std::string received = " from 127.0.0.1:" + port + " to ";
    const std::string duplicate = "Sending duplicate reply to client localhost port " + port + " ";
    const int receivedBefore = LogCount(log, received), duplicatesBefore = LogCount(log, duplicate);

    const auto start = std::chrono::steady_clock::now();
    const char* text = auth("127.0.0.1", relay.PortText().c_str(), server.Secret("MAIN").c_str(),
                            "alice", "alice-pass", "5");
    const std::string got = text == nullptr ? "<null>" : text;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    EXPECT_EQ(got, "Welcome, alice");
    EXPECT_GE(seconds, 1.0);  // the answer came to a retransmission, never sooner than 1 s
    EXPECT_LT(seconds, 6.0);  // within the 5 s deadline, with room for a loaded machine
    const std::vector<Bytes> sent = relay.Received();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], sent[1]);
    EXPECT_EQ(up->replies.load(), loss.serverReceived + loss.duplicates);
    // The server logs a datagram just after its reply leaves.
    EXPECT_TRUE(LogCountReaches(log, received, receivedBefore + loss.serverReceived, 3000));
    EXPECT_TRUE(LogCountReaches(log, duplicate, duplicatesBefore + loss.duplicates, 3000));
    EXPECT_EQ(LogCount(log, received), receivedBefore + loss.serverReceived);
    EXPECT_EQ(LogCount(log, duplicate), duplicatesBefore + loss.duplicates);
}

std::string LossName(const ::testing::TestParamInfo<Loss>& row) {
    return row.param.name;
}

INSTANTIATE_TEST_SUITE_P(FreeRadius, Retransmission,
                         ::testing::Values(Loss{"FirstRequestLost", 1, 0, 1, 0},
                                           Loss{"FirstReplyLost", 0, 1, 1, 1}),
                         LossName);

}  // namespace
