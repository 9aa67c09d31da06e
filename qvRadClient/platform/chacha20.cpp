// The ChaCha20 block function of RFC 8439 section 2.3, on 32-bit words as the RFC writes it: the
// quarter round (section 2.1), ten double rounds, the input added back, little-endian output.
#include "platform/chacha20.h"

#include "platform/platform.h"

namespace platform {

namespace {

inline std::uint32_t RotateLeft(std::uint32_t v, int c) {
    return (v << c) | (v >> (32 - c));
}

// Little-endian (RFC 8439 section 2.3: the key, nonce and output words are little-endian).
inline std::uint32_t Load32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

inline void Store32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

// RFC 8439 section 2.1.
inline void QuarterRound(std::uint32_t* x, int a, int b, int c, int d) {
    x[a] += x[b];
    x[d] = RotateLeft(x[d] ^ x[a], 16);
    x[c] += x[d];
    x[b] = RotateLeft(x[b] ^ x[c], 12);
    x[a] += x[b];
    x[d] = RotateLeft(x[d] ^ x[a], 8);
    x[c] += x[d];
    x[b] = RotateLeft(x[b] ^ x[c], 7);
}

}  // namespace

void ChaCha20Blocks(std::uint8_t* out, const std::uint8_t key[kChaChaKeyLength],
                    std::uint32_t counter, const std::uint8_t nonce[kChaChaNonceLength],
                    std::size_t blocks) {
    // RFC 8439 section 2.3: the constants "expand 32-byte k", the key, the counter, the nonce.
    std::uint32_t input[16] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
    for (int i = 0; i < 8; ++i) input[4 + i] = Load32(key + 4 * i);
    input[12] = counter;
    for (int i = 0; i < 3; ++i) input[13 + i] = Load32(nonce + 4 * i);
    std::uint32_t x[16];
    for (std::size_t block = 0; block < blocks; ++block) {
        for (int i = 0; i < 16; ++i) x[i] = input[i];
        for (int round = 0; round < 10; ++round) {
            QuarterRound(x, 0, 4, 8, 12);  // the columns
            QuarterRound(x, 1, 5, 9, 13);
            QuarterRound(x, 2, 6, 10, 14);
            QuarterRound(x, 3, 7, 11, 15);
            QuarterRound(x, 0, 5, 10, 15);  // the diagonals
            QuarterRound(x, 1, 6, 11, 12);
            QuarterRound(x, 2, 7, 8, 13);
            QuarterRound(x, 3, 4, 9, 14);
        }
        for (int i = 0; i < 16; ++i) Store32(out + 64 * block + 4 * i, x[i] + input[i]);
        ++input[12];
    }
    SecureZero(input, sizeof input);
    SecureZero(x, sizeof x);
}

}  // namespace platform
