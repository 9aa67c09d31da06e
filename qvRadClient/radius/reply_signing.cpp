// The reply-signing rule: a setting read at load and a fixed table of servers learned to sign
// their replies, shared by concurrent calls through atomics alone (no lock, no heap).
#include "radius/reply_signing.h"

namespace {

// 48 bits of address and port, with bit 48 set so that no server's key is the free value 0.
std::uint64_t ServerKey(std::uint32_t ip, std::uint16_t port) {
    return (std::uint64_t{1} << 48) | (static_cast<std::uint64_t>(ip) << 16) | port;
}

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsWord(const char* value, const char* word) {
    for (; *word != '\0'; ++value, ++word)
        if (Lower(*value) != *word) return false;
    return *value == '\0';
}

std::atomic<std::uint8_t> g_replySigning{static_cast<std::uint8_t>(ReplySigning::kLearn)};

}  // namespace

// Zero-initialised before any code runs: every slot free, nothing to construct at load.
SignedServerTable g_signedServers;

ReplySigning ParseReplySigning(const char* value) {
    if (value == nullptr || IsWord(value, "auto")) return ReplySigning::kLearn;
    if (IsWord(value, "no")) return ReplySigning::kNever;
    return ReplySigning::kRequire;
}

bool SignedServerTable::Knows(std::uint32_t ip, std::uint16_t port) const {
    const std::uint64_t key = ServerKey(ip, port);
    for (const auto& slot : slots) {
        const std::uint64_t held = slot.load(std::memory_order_acquire);
        if (held == key) return true;
        if (held == 0) return false;
    }
    return false;
}

bool SignedServerTable::Learn(std::uint32_t ip, std::uint16_t port) {
    const std::uint64_t key = ServerKey(ip, port);
    for (auto& slot : slots) {
        std::uint64_t held = 0;
        // Either this call fills the free slot, or it learns what another call put there.
        if (slot.compare_exchange_strong(held, key, std::memory_order_acq_rel,
                                         std::memory_order_acquire) ||
            held == key)
            return true;
    }
    return false;
}

bool AdmitVerifiedReply(ReplySigning setting, SignedServerTable& table, std::uint32_t ip,
                        std::uint16_t port, bool signedReply) {
    switch (setting) {
        case ReplySigning::kNever:
            return true;
        case ReplySigning::kRequire:
            return signedReply;
        case ReplySigning::kLearn:
            break;
    }
    if (signedReply) {
        table.Learn(ip, port);  // a full table learns no more; the reply is good regardless
        return true;
    }
    return !table.Knows(ip, port);
}

ReplySigning ProcessReplySigning() {
    return static_cast<ReplySigning>(g_replySigning.load(std::memory_order_relaxed));
}

void SetProcessReplySigning(ReplySigning setting) {
    g_replySigning.store(static_cast<std::uint8_t>(setting), std::memory_order_relaxed);
}
