// The ChaCha20 block function of RFC 8439 section 2.3, on 32-bit words as the RFC writes it: the
// quarter round (section 2.1), ten double rounds, the input added back, little-endian output. On
// x86 with SSE2 (every x86-64) the state's four rows are four vector registers, the four quarter
// rounds of a column or diagonal round one pass over them: about a third of the instructions.
#include "platform/chacha20.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/platform.h"

namespace platform {

namespace {

// Little-endian (RFC 8439 section 2.3: the key, nonce and output words are little-endian).
inline std::uint32_t Load32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// The scalar helpers exist only where the scalar block function does (clang warns of unused ones).
#if !defined(__SSE2__)

inline std::uint32_t RotateLeft(std::uint32_t v, int c) {
    return (v << c) | (v >> (32 - c));
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

#endif

}  // namespace

#if defined(__SSE2__)

namespace {

template <int c>
inline __m128i RotateLanes(__m128i v) {
    return _mm_or_si128(_mm_slli_epi32(v, c), _mm_srli_epi32(v, 32 - c));
}

// The rotation by 16 swaps the halves of each word: two word shuffles instead of three steps.
inline __m128i RotateLanes16(__m128i v) {
    return _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, 0xB1), 0xB1);
}

// The quarter round of RFC 8439 section 2.1 on the four columns at once: a, b, c, d are the
// state's rows.
inline void QuarterRounds(__m128i& a, __m128i& b, __m128i& c, __m128i& d) {
    a = _mm_add_epi32(a, b);
    d = RotateLanes16(_mm_xor_si128(d, a));
    c = _mm_add_epi32(c, d);
    b = RotateLanes<12>(_mm_xor_si128(b, c));
    a = _mm_add_epi32(a, b);
    d = RotateLanes<8>(_mm_xor_si128(d, a));
    c = _mm_add_epi32(c, d);
    b = RotateLanes<7>(_mm_xor_si128(b, c));
}

}  // namespace

void ChaCha20Blocks(std::uint8_t* out, const std::uint8_t key[kChaChaKeyLength],
                    std::uint32_t counter, const std::uint8_t nonce[kChaChaNonceLength],
                    std::size_t blocks) {
    // RFC 8439 section 2.3: the constants "expand 32-byte k", the key, the counter, the nonce;
    // x86 is little-endian, as the state's words are.
    const __m128i row0 = _mm_set_epi32(0x6b206574, 0x79622d32, 0x3320646e, 0x61707865);
    const __m128i row1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(key));
    const __m128i row2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(key + 16));
    __m128i row3 =
        _mm_set_epi32(static_cast<int>(Load32(nonce + 8)), static_cast<int>(Load32(nonce + 4)),
                      static_cast<int>(Load32(nonce)), static_cast<int>(counter));
    const __m128i one = _mm_set_epi32(0, 0, 0, 1);
    for (std::size_t block = 0; block < blocks; ++block) {
        __m128i a = row0, b = row1, c = row2, d = row3;
        for (int round = 0; round < 10; ++round) {
            QuarterRounds(a, b, c, d);  // the columns
            // The diagonals become columns: row 1 turned by one word, row 2 by two, row 3 by three.
            b = _mm_shuffle_epi32(b, 0x39);
            c = _mm_shuffle_epi32(c, 0x4E);
            d = _mm_shuffle_epi32(d, 0x93);
            QuarterRounds(a, b, c, d);
            b = _mm_shuffle_epi32(b, 0x93);
            c = _mm_shuffle_epi32(c, 0x4E);
            d = _mm_shuffle_epi32(d, 0x39);
        }
        __m128i* to = reinterpret_cast<__m128i*>(out + kChaChaBlockLength * block);
        _mm_storeu_si128(to, _mm_add_epi32(a, row0));
        _mm_storeu_si128(to + 1, _mm_add_epi32(b, row1));
        _mm_storeu_si128(to + 2, _mm_add_epi32(c, row2));
        _mm_storeu_si128(to + 3, _mm_add_epi32(d, row3));
        row3 = _mm_add_epi32(row3, one);
    }
    // The rows (the key among them) lived in vector registers only.
    ClearVectorRegisters();
}

#else

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

#endif

}  // namespace platform
