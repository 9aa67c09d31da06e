// Which replies must carry a Message-Authenticator (RFC 3579 section 3.2): the process's setting
// and the servers it has seen sign theirs, against forged replies (CVE-2024-3596, BlastRADIUS).
#pragma once

#include <atomic>
#include <cstdint>

// QVRAD_REQUIRE_MESSAGE_AUTHENTICATOR, read once when the library loads.
enum class ReplySigning : std::uint8_t {
    kLearn = 0,    // unset or "auto": required from a server once it has sent one
    kRequire = 1,  // "yes", and any value not recognised: required in every reply
    kNever = 2,    // "no": never required (a verified one is still checked when present)
};

// null (unset) or "auto" learn, "yes" requires, "no" never; ASCII case is ignored. Every other
// text, the empty one included, requires: a typing error must not switch the protection off.
ReplySigning ParseReplySigning(const char* value);

// The servers (IPv4 address and UDP port as configured for the call) from which a fully verified
// reply with a valid Message-Authenticator arrived. Slots go from free to one server, never back,
// and are filled in order, so a search stops at the first free slot; no lock is ever held. A full
// table learns no more.
struct SignedServerTable {
    static constexpr int kCapacity = 64;
    std::atomic<std::uint64_t> slots[kCapacity];  // 0 free, else ServerKey

    bool Knows(std::uint32_t ip, std::uint16_t port) const;
    // false when the table is full and the server was not in it.
    bool Learn(std::uint32_t ip, std::uint16_t port);
};

// The last check of a reply, after bounds, Response Authenticator, Identifier and the reply's
// own Message-Authenticator have verified: false means discard it silently and keep waiting.
// signedReply is whether it carried a (verified) Message-Authenticator; under kLearn such a
// reply teaches the table its server.
bool AdmitVerifiedReply(ReplySigning setting, SignedServerTable& table, std::uint32_t ip,
                        std::uint16_t port, bool signedReply);

// The process's setting (kLearn until the module's load sets it) and its table.
ReplySigning ProcessReplySigning();
void SetProcessReplySigning(ReplySigning setting);
extern SignedServerTable g_signedServers;
