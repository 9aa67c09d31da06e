// The floor an auth call is measured against: the same socket-per-call UDP round trip to the
// same responder, one platform call per system call and no RADIUS work at all.
#pragma once

#include <cstdint>

// The arguments every benchmark passes to auth: a 5-byte user, an 8-byte password and a
// 10-byte secret, to a dotted IPv4 server.
namespace bench {
constexpr char kServer[] = "127.0.0.1";
constexpr char kSecret[] = "secret1234";
constexpr char kUser[] = "alice";
constexpr char kPassword[] = "password";
constexpr char kTimeout[] = "5";
constexpr char kReplyMessage[] = "Welcome";
constexpr int kFloorDatagramLength = 45;  // 20 + User-Name 7 + User-Password 18
}  // namespace bench

// socket, bind to port 0, sendto of the fixed 45-byte datagram, poll, recvfrom, close. Returns
// the size of the reply received, or -1.
int FloorCall(std::uint16_t port);
