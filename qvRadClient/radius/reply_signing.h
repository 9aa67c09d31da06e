// Which replies must carry a Message-Authenticator (RFC 3579 section 3.2): the process's setting
// and the servers it has seen sign theirs, against forged replies (CVE-2024-3596, BlastRADIUS).
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

// QVRAD_REQUIRE_MESSAGE_AUTHENTICATOR, read once when the library loads.
enum class ReplySigning : std::uint8_t {
    kLearn = 0,    // unset or "auto": required from a server once it has sent one
    kRequire = 1,  // "yes", and any value not recognised: required in every reply
    kNever = 2,    // "no": never required (a verified one is still checked when present)
};

// null (unset) or "auto" learn, "yes" requires, "no" never; ASCII case is ignored. Every other
// text, the empty one included, requires: a typing error must not switch the protection off.
ReplySigning ParseReplySigning(const char* value);

// A server as configured for a call (address of either family and UDP port) in 64 bits: exact
// for IPv4 (bit 48 set above 32 bits of address and 16 of port), a hash for IPv6 (bit 63 set),
// so no key is the free value 0 and no IPv4 key equals an IPv6 one. Two IPv6 servers that share a
// hash count as one: that can only make a server that never signed be asked to (fail closed).
std::uint64_t ServerKey(const platform::IpAddress& address, std::uint16_t port);
inline std::uint64_t ServerKey(std::uint32_t ipv4, std::uint16_t port) {
    return ServerKey(platform::IPv4Address(ipv4), port);
}

// The servers from which a fully verified reply with a valid Message-Authenticator arrived. An
// open-addressing set of keys whose slots go from free to one key, never back, so a search
// stops at the first free slot of its probe and no lock is ever held. A server that finds the
// table full goes into an overflow filter instead (a Bloom filter of kOverflowBits bits, three
// per server), which never forgets one either: past the table's limit every server it holds
// still must sign, and a few that never signed may be taken for signers (fail closed, never open).
// Zero-initialised as a static: nothing to construct at load, no heap.
struct SignedServerTable {
    static constexpr int kCapacity = 1024;
    static constexpr int kOverflowBits = 32768;
    std::atomic<std::uint64_t> slots[kCapacity];  // 0 free, else a ServerKey
    std::atomic<std::uint64_t> overflow[kOverflowBits / 64];
    std::atomic<bool> overflowed;

    bool Knows(std::uint64_t key) const;
    // true when the key is held in a slot; false when the table was full and the key went into
    // the overflow filter (where Knows finds it as well).
    bool Learn(std::uint64_t key);
};

// The last check of a reply, after bounds, Response Authenticator, Identifier and the reply's
// own Message-Authenticator have verified: false means discard it silently and keep waiting.
// signedReply is whether it carried a (verified) Message-Authenticator; under kLearn such a
// reply teaches the table its server.
bool AdmitVerifiedReply(ReplySigning setting, SignedServerTable& table, std::uint64_t server,
                        bool signedReply);

// The process's setting (kLearn until the module's load sets it) and its table.
ReplySigning ProcessReplySigning();
void SetProcessReplySigning(ReplySigning setting);
extern SignedServerTable g_signedServers;
