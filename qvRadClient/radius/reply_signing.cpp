// The reply-signing rule: a setting read at load and a fixed set of servers learned to sign
// their replies, shared by concurrent calls through atomics alone (no lock, no heap).
#include "radius/reply_signing.h"

namespace {

// splitmix64's finaliser: every input bit moves every output bit, so neighbouring ports and
// addresses land on unrelated slots.
std::uint64_t Mix(std::uint64_t x) {
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsWord(const char* value, const char* word) {
    for (; *word != '\0'; ++value, ++word)
        if (Lower(*value) != *word) return false;
    return *value == '\0';
}

// The three overflow-filter bits of a key.
void OverflowBits(std::uint64_t key, unsigned bits[3]) {
    const std::uint64_t h = Mix(key ^ 0x9E3779B97F4A7C15ull);
    for (int i = 0; i < 3; ++i)
        bits[i] = static_cast<unsigned>(h >> (21 * i)) % SignedServerTable::kOverflowBits;
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

std::uint64_t ServerKey(const platform::IpAddress& address, std::uint16_t port) {
    if (address.family != platform::kFamilyIPv6) {
        std::uint32_t ip = 0;
        for (int i = 0; i < 4; ++i) ip = ip << 8 | address.bytes[i];
        return (std::uint64_t{1} << 48) | (static_cast<std::uint64_t>(ip) << 16) | port;
    }
    std::uint64_t h = Mix(port ^ (static_cast<std::uint64_t>(address.scopeId) << 16));
    for (int half = 0; half < 2; ++half) {
        std::uint64_t word = 0;
        for (int i = 0; i < 8; ++i) word = word << 8 | address.bytes[8 * half + i];
        h = Mix(h ^ word);
    }
    return h | (std::uint64_t{1} << 63);
}

bool SignedServerTable::Knows(std::uint64_t key) const {
    const unsigned start = static_cast<unsigned>(Mix(key) % kCapacity);
    for (unsigned probe = 0; probe < static_cast<unsigned>(kCapacity); ++probe) {
        const std::uint64_t held =
            slots[(start + probe) % kCapacity].load(std::memory_order_acquire);
        if (held == key) return true;
        if (held == 0) return false;
    }
    // Every slot taken and none holds it: the server may be in the overflow filter.
    if (!overflowed.load(std::memory_order_acquire)) return false;
    unsigned bits[3];
    OverflowBits(key, bits);
    for (unsigned bit : bits)
        if ((overflow[bit / 64].load(std::memory_order_acquire) >> (bit % 64) & 1) == 0)
            return false;
    return true;
}

bool SignedServerTable::Learn(std::uint64_t key) {
    const unsigned start = static_cast<unsigned>(Mix(key) % kCapacity);
    for (unsigned probe = 0; probe < static_cast<unsigned>(kCapacity); ++probe) {
        std::uint64_t held = 0;
        // Either this call fills the free slot, or it learns what another call put there.
        if (slots[(start + probe) % kCapacity].compare_exchange_strong(
                held, key, std::memory_order_acq_rel, std::memory_order_acquire) ||
            held == key)
            return true;
    }
    // Full: the filter keeps the server, so its unsigned replies are refused from now on. The
    // flag goes up after the bits, so a reader that sees it also sees them.
    unsigned bits[3];
    OverflowBits(key, bits);
    for (unsigned bit : bits)
        overflow[bit / 64].fetch_or(std::uint64_t{1} << (bit % 64), std::memory_order_acq_rel);
    overflowed.store(true, std::memory_order_release);
    return false;
}

bool AdmitVerifiedReply(ReplySigning setting, SignedServerTable& table, std::uint64_t server,
                        bool signedReply) {
    switch (setting) {
        case ReplySigning::kNever:
            return true;
        case ReplySigning::kRequire:
            return signedReply;
        case ReplySigning::kLearn:
            break;
    }
    if (signedReply) {
        table.Learn(server);
        return true;
    }
    return !table.Knows(server);
}

ReplySigning ProcessReplySigning() {
    return static_cast<ReplySigning>(g_replySigning.load(std::memory_order_relaxed));
}

void SetProcessReplySigning(ReplySigning setting) {
    g_replySigning.store(static_cast<std::uint8_t>(setting), std::memory_order_relaxed);
}
