// The floor's round trip. Each platform call below is one system call (socket, bind, sendto,
// poll, recvfrom, close) behind a wrapper of a few instructions; nothing else runs.
#include "floor.h"

#include "platform/platform.h"

namespace {

// An Access-Request without Message-Authenticator: header, User-Name "alice", a User-Password
// block (RFC 2865 sections 3, 5.1, 5.2). Its bytes are never checked by the responder beyond
// the header; they only give the datagram a realistic size.
const std::uint8_t kDatagram[bench::kFloorDatagramLength] = {
    1,    0x2a, 0,    45,   0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1a,
    0x1b, 0x1c, 0x1d, 0x1e, 0x1f, 1,    7,    'a',  'l',  'i',  'c',  'e',  2,    18,   0x51,
    0x52, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x5b, 0x5c, 0x5d, 0x5e, 0x5f, 0x60};

const std::uint32_t kLoopback = platform::ParseIPv4(bench::kServer);

}  // namespace

int FloorCall(std::uint16_t port) {
    const platform::SocketHandle s = platform::UdpSocketOpen();
    if (s == platform::kInvalidSocket) return -1;
    int got = -1;
    std::uint8_t reply[4096];
    bool oversized = false;
    if (platform::SocketBindAnyIPv4(s) == 0 &&
        platform::SocketSendTo(s, kDatagram, sizeof kDatagram, kLoopback, port) ==
            static_cast<int>(sizeof kDatagram) &&
        platform::SocketWaitReadable(s, 5000) > 0)
        got = platform::SocketReceive(s, reply, sizeof reply, &oversized);
    platform::SocketClose(s);
    return got;
}
