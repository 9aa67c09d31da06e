// The ChaCha20 block function (RFC 8439 section 2.3), the core of the calling thread's random
// stream (platform/thread_random.h). Portable C++ on 32-bit words; no tables, no branch on a key.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

constexpr std::size_t kChaChaKeyLength = 32;    // RFC 8439 section 2.3: 256 bits
constexpr std::size_t kChaChaNonceLength = 12;  // 96 bits
constexpr std::size_t kChaChaBlockLength = 64;  // one block of key stream

// Writes blocks consecutive blocks of ChaCha20 key stream (each the serialised state after the
// 20 rounds and the addition of the input, RFC 8439 section 2.3.2) for key and nonce, the first
// with block counter counter. The 32-bit counter must not wrap: counter + blocks <= 2^32. The
// working states, which hold the key, are wiped before return.
void ChaCha20Blocks(std::uint8_t* out, const std::uint8_t key[kChaChaKeyLength],
                    std::uint32_t counter, const std::uint8_t nonce[kChaChaNonceLength],
                    std::size_t blocks);

}  // namespace platform
