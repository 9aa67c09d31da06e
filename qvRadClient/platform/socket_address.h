// Socket addresses of either family to and from IpAddress, the walk of a getaddrinfo list and
// the local address toward a server: the same for BSD sockets and Winsock, whose sockaddr types
// share their fields and names. Included by exactly one platform file per build, after its
// system headers; the two socket calls that differ come from that file.
#pragma once

#include <cstring>

namespace platform {
namespace {

// connect and getsockname on the platform's own handle type, defined by each platform file.
// 0 on success, else -1; *length is in and out as for getsockname.
int ConnectSocket(SocketHandle socket, const sockaddr* peer, socklen_t length);
int GetSocketName(SocketHandle socket, sockaddr* local, socklen_t* length);

int FamilyOf(std::uint8_t family) {
    return family == kFamilyIPv6 ? AF_INET6 : AF_INET;
}

// The socket address of an IpAddress and port, and its length; 0 for a family we do not know.
socklen_t ToSockaddr(const IpAddress& address, std::uint16_t port, sockaddr_storage* out) {
    std::memset(out, 0, sizeof *out);
    if (address.family == kFamilyIPv4) {
        sockaddr_in* in = reinterpret_cast<sockaddr_in*>(out);
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        std::memcpy(&in->sin_addr, address.bytes, 4);
        return sizeof(sockaddr_in);
    }
    if (address.family == kFamilyIPv6) {
        sockaddr_in6* in6 = reinterpret_cast<sockaddr_in6*>(out);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        std::memcpy(&in6->sin6_addr, address.bytes, 16);
        in6->sin6_scope_id = address.scopeId;
        return sizeof(sockaddr_in6);
    }
    return 0;
}

// The address and port of a socket address of length bytes, copied out rather than cast (the
// bytes promise no alignment); false for any other family or a length too short for it.
bool FromSockaddr(const sockaddr* from, std::size_t length, IpAddress* address,
                  std::uint16_t* port) {
    IpAddress found;
    std::uint16_t foundPort = 0;
    if (from->sa_family == AF_INET && length >= sizeof(sockaddr_in)) {
        sockaddr_in in;
        std::memcpy(&in, from, sizeof in);
        found.family = kFamilyIPv4;
        std::memcpy(found.bytes, &in.sin_addr, 4);
        foundPort = ntohs(in.sin_port);
    } else if (from->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
        sockaddr_in6 in6;
        std::memcpy(&in6, from, sizeof in6);
        found.family = kFamilyIPv6;
        std::memcpy(found.bytes, &in6.sin6_addr, 16);
        found.scopeId = in6.sin6_scope_id;
        foundPort = ntohs(in6.sin6_port);
    } else {
        return false;
    }
    if (address != nullptr) *address = found;
    if (port != nullptr) *port = foundPort;
    return true;
}

// getaddrinfo(host, service, aiFamily, SOCK_STREAM, IPPROTO_TCP, flags): the first IPv4 and the
// first IPv6 entry in list order (either pointer may be null). 0 when either was found; else
// getaddrinfo's code, or kResolveNoAddress when its list held neither family.
int LookUp(const char* host, const char* service, int flags, int aiFamily, IpAddress* first4,
           IpAddress* first6) {
    if (host == nullptr) return kResolveNoAddress;
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = aiFamily;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = flags;
    addrinfo* list = nullptr;
    // A failure's code is kept for its words (ResolverWords); the flags given are always valid,
    // so it is never EAI_BADFLAGS, which is glibc's -1.
    const int failed = getaddrinfo(host, service, &hints, &list);
    if (failed != 0) return failed;
    IpAddress found4, found6;
    for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
        IpAddress found;
        if (entry->ai_addr == nullptr ||
            !FromSockaddr(entry->ai_addr, static_cast<std::size_t>(entry->ai_addrlen), &found,
                          nullptr))
            continue;
        IpAddress& first = found.family == kFamilyIPv4 ? found4 : found6;
        if (first.family == kFamilyNone) first = found;
    }
    if (list != nullptr) freeaddrinfo(list);
    if (first4 != nullptr) *first4 = found4;
    if (first6 != nullptr) *first6 = found6;
    return found4.family != kFamilyNone || found6.family != kFamilyNone ? 0 : kResolveNoAddress;
}

}  // namespace

int LocalAddressToward(const IpAddress& server, std::uint16_t port, IpAddress* local) {
    sockaddr_storage peer;
    const socklen_t peerLength = ToSockaddr(server, port, &peer);
    if (peerLength == 0 || local == nullptr) return -1;
    const SocketHandle s = UdpSocketOpen(server.family);
    if (s == kInvalidSocket) return -1;
    // connect on a UDP socket only chooses the route and the source address; nothing is sent.
    sockaddr_storage mine;
    std::memset(&mine, 0, sizeof mine);
    socklen_t mineLength = sizeof mine;
    // socklen_t is signed under Winsock: a length it reports is checked positive before use.
    const bool found =
        ConnectSocket(s, reinterpret_cast<const sockaddr*>(&peer), peerLength) == 0 &&
        GetSocketName(s, reinterpret_cast<sockaddr*>(&mine), &mineLength) == 0 && mineLength > 0 &&
        FromSockaddr(reinterpret_cast<const sockaddr*>(&mine), static_cast<std::size_t>(mineLength),
                     local, nullptr);
    SocketClose(s);
    return found ? 0 : -1;
}

}  // namespace platform
