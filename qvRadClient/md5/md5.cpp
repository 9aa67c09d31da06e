// MD5 (RFC 1321) in the manner of Solar Designer's public-domain md5.c: step macros over
// latency-shortened round functions, byte-wise little-endian loads that compilers fold into one.
// On x86 the same code is built a second time for BMI1 and taken when the CPU has it.
#include "md5/md5.h"

#include <atomic>
#include <cstddef>
#include <cstring>

#include "platform/platform.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define QVRAD_MD5_BMI1 1
#else
#define QVRAD_MD5_BMI1 0
#endif
#if defined(__GNUC__)
#define QVRAD_MD5_INLINE __attribute__((always_inline)) inline
#else
#define QVRAD_MD5_INLINE inline
#endif

namespace {

// The auxiliary functions of RFC 1321 section 3.4, rewritten so that x, the word the previous step
// has just produced, meets as few operations as possible on the way to the sum. G's two terms have
// no bit in common, so OR may become ADD: the term without x joins the sum early. I is added as
// its complement: y ^ (x | ~z) = ~(y ^ (~x & z)), and a + ~v = a - v - 1, the 1 taken from the
// constant. Both so use "and not", one instruction (andn) where BMI1 is there, and no more than
// before where it is not.
#define QVRAD_MD5_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define QVRAD_MD5_H(x, y, z) ((x) ^ ((y) ^ (z)))

#define QVRAD_MD5_STEP(f, a, b, c, d, x, t, s) \
    (a) += f((b), (c), (d)) + (x) + (t);       \
    (a) = ((a) << (s)) | ((a) >> (32 - (s)));  \
    (a) += (b);

#define QVRAD_MD5_STEP_G(a, b, c, d, x, t, s) \
    (a) += ((c) & ~(d)) + (x) + (t);          \
    (a) += (b) & (d);                         \
    (a) = ((a) << (s)) | ((a) >> (32 - (s))); \
    (a) += (b);

#define QVRAD_MD5_STEP_I(a, b, c, d, x, t, s) \
    (a) += (x) + ((t)-1u);                    \
    (a) -= (c) ^ (~(b) & (d));                \
    (a) = ((a) << (s)) | ((a) >> (32 - (s))); \
    (a) += (b);

// RFC 1321 section 2: message words are little-endian whatever the host's byte order.
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

// Compresses `blocks` whole 64-byte blocks read straight from the caller's bytes; the message words
// live only in locals, never in a second buffer. Inlined into each build of the compression.
QVRAD_MD5_INLINE void TransformBody(std::uint32_t state[4], const std::uint8_t* p,
                                    std::size_t blocks) {
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (; blocks != 0; --blocks, p += 64) {
        const std::uint32_t x0 = Load32(p), x1 = Load32(p + 4), x2 = Load32(p + 8),
                            x3 = Load32(p + 12), x4 = Load32(p + 16), x5 = Load32(p + 20),
                            x6 = Load32(p + 24), x7 = Load32(p + 28), x8 = Load32(p + 32),
                            x9 = Load32(p + 36), x10 = Load32(p + 40), x11 = Load32(p + 44),
                            x12 = Load32(p + 48), x13 = Load32(p + 52), x14 = Load32(p + 56),
                            x15 = Load32(p + 60);
        const std::uint32_t sa = a, sb = b, sc = c, sd = d;

        // Round 1 (RFC 1321 section 3.4; T[i] = floor(2^32 * abs(sin(i)))).
        QVRAD_MD5_STEP(QVRAD_MD5_F, a, b, c, d, x0, 0xd76aa478, 7)
        QVRAD_MD5_STEP(QVRAD_MD5_F, d, a, b, c, x1, 0xe8c7b756, 12)
        QVRAD_MD5_STEP(QVRAD_MD5_F, c, d, a, b, x2, 0x242070db, 17)
        QVRAD_MD5_STEP(QVRAD_MD5_F, b, c, d, a, x3, 0xc1bdceee, 22)
        QVRAD_MD5_STEP(QVRAD_MD5_F, a, b, c, d, x4, 0xf57c0faf, 7)
        QVRAD_MD5_STEP(QVRAD_MD5_F, d, a, b, c, x5, 0x4787c62a, 12)
        QVRAD_MD5_STEP(QVRAD_MD5_F, c, d, a, b, x6, 0xa8304613, 17)
        QVRAD_MD5_STEP(QVRAD_MD5_F, b, c, d, a, x7, 0xfd469501, 22)
        QVRAD_MD5_STEP(QVRAD_MD5_F, a, b, c, d, x8, 0x698098d8, 7)
        QVRAD_MD5_STEP(QVRAD_MD5_F, d, a, b, c, x9, 0x8b44f7af, 12)
        QVRAD_MD5_STEP(QVRAD_MD5_F, c, d, a, b, x10, 0xffff5bb1, 17)
        QVRAD_MD5_STEP(QVRAD_MD5_F, b, c, d, a, x11, 0x895cd7be, 22)
        QVRAD_MD5_STEP(QVRAD_MD5_F, a, b, c, d, x12, 0x6b901122, 7)
        QVRAD_MD5_STEP(QVRAD_MD5_F, d, a, b, c, x13, 0xfd987193, 12)
        QVRAD_MD5_STEP(QVRAD_MD5_F, c, d, a, b, x14, 0xa679438e, 17)
        QVRAD_MD5_STEP(QVRAD_MD5_F, b, c, d, a, x15, 0x49b40821, 22)

        // Round 2
        QVRAD_MD5_STEP_G(a, b, c, d, x1, 0xf61e2562, 5)
        QVRAD_MD5_STEP_G(d, a, b, c, x6, 0xc040b340, 9)
        QVRAD_MD5_STEP_G(c, d, a, b, x11, 0x265e5a51, 14)
        QVRAD_MD5_STEP_G(b, c, d, a, x0, 0xe9b6c7aa, 20)
        QVRAD_MD5_STEP_G(a, b, c, d, x5, 0xd62f105d, 5)
        QVRAD_MD5_STEP_G(d, a, b, c, x10, 0x02441453, 9)
        QVRAD_MD5_STEP_G(c, d, a, b, x15, 0xd8a1e681, 14)
        QVRAD_MD5_STEP_G(b, c, d, a, x4, 0xe7d3fbc8, 20)
        QVRAD_MD5_STEP_G(a, b, c, d, x9, 0x21e1cde6, 5)
        QVRAD_MD5_STEP_G(d, a, b, c, x14, 0xc33707d6, 9)
        QVRAD_MD5_STEP_G(c, d, a, b, x3, 0xf4d50d87, 14)
        QVRAD_MD5_STEP_G(b, c, d, a, x8, 0x455a14ed, 20)
        QVRAD_MD5_STEP_G(a, b, c, d, x13, 0xa9e3e905, 5)
        QVRAD_MD5_STEP_G(d, a, b, c, x2, 0xfcefa3f8, 9)
        QVRAD_MD5_STEP_G(c, d, a, b, x7, 0x676f02d9, 14)
        QVRAD_MD5_STEP_G(b, c, d, a, x12, 0x8d2a4c8a, 20)

        // Round 3
        QVRAD_MD5_STEP(QVRAD_MD5_H, a, b, c, d, x5, 0xfffa3942, 4)
        QVRAD_MD5_STEP(QVRAD_MD5_H, d, a, b, c, x8, 0x8771f681, 11)
        QVRAD_MD5_STEP(QVRAD_MD5_H, c, d, a, b, x11, 0x6d9d6122, 16)
        QVRAD_MD5_STEP(QVRAD_MD5_H, b, c, d, a, x14, 0xfde5380c, 23)
        QVRAD_MD5_STEP(QVRAD_MD5_H, a, b, c, d, x1, 0xa4beea44, 4)
        QVRAD_MD5_STEP(QVRAD_MD5_H, d, a, b, c, x4, 0x4bdecfa9, 11)
        QVRAD_MD5_STEP(QVRAD_MD5_H, c, d, a, b, x7, 0xf6bb4b60, 16)
        QVRAD_MD5_STEP(QVRAD_MD5_H, b, c, d, a, x10, 0xbebfbc70, 23)
        QVRAD_MD5_STEP(QVRAD_MD5_H, a, b, c, d, x13, 0x289b7ec6, 4)
        QVRAD_MD5_STEP(QVRAD_MD5_H, d, a, b, c, x0, 0xeaa127fa, 11)
        QVRAD_MD5_STEP(QVRAD_MD5_H, c, d, a, b, x3, 0xd4ef3085, 16)
        QVRAD_MD5_STEP(QVRAD_MD5_H, b, c, d, a, x6, 0x04881d05, 23)
        QVRAD_MD5_STEP(QVRAD_MD5_H, a, b, c, d, x9, 0xd9d4d039, 4)
        QVRAD_MD5_STEP(QVRAD_MD5_H, d, a, b, c, x12, 0xe6db99e5, 11)
        QVRAD_MD5_STEP(QVRAD_MD5_H, c, d, a, b, x15, 0x1fa27cf8, 16)
        QVRAD_MD5_STEP(QVRAD_MD5_H, b, c, d, a, x2, 0xc4ac5665, 23)

        // Round 4
        QVRAD_MD5_STEP_I(a, b, c, d, x0, 0xf4292244, 6)
        QVRAD_MD5_STEP_I(d, a, b, c, x7, 0x432aff97, 10)
        QVRAD_MD5_STEP_I(c, d, a, b, x14, 0xab9423a7, 15)
        QVRAD_MD5_STEP_I(b, c, d, a, x5, 0xfc93a039, 21)
        QVRAD_MD5_STEP_I(a, b, c, d, x12, 0x655b59c3, 6)
        QVRAD_MD5_STEP_I(d, a, b, c, x3, 0x8f0ccc92, 10)
        QVRAD_MD5_STEP_I(c, d, a, b, x10, 0xffeff47d, 15)
        QVRAD_MD5_STEP_I(b, c, d, a, x1, 0x85845dd1, 21)
        QVRAD_MD5_STEP_I(a, b, c, d, x8, 0x6fa87e4f, 6)
        QVRAD_MD5_STEP_I(d, a, b, c, x15, 0xfe2ce6e0, 10)
        QVRAD_MD5_STEP_I(c, d, a, b, x6, 0xa3014314, 15)
        QVRAD_MD5_STEP_I(b, c, d, a, x13, 0x4e0811a1, 21)
        QVRAD_MD5_STEP_I(a, b, c, d, x4, 0xf7537e82, 6)
        QVRAD_MD5_STEP_I(d, a, b, c, x11, 0xbd3af235, 10)
        QVRAD_MD5_STEP_I(c, d, a, b, x2, 0x2ad7d2bb, 15)
        QVRAD_MD5_STEP_I(b, c, d, a, x9, 0xeb86d391, 21)

        a += sa;
        b += sb;
        c += sc;
        d += sd;
    }
    state[0] = a;
    state[1] = b;
    state[2] = c;
    state[3] = d;
}

#undef QVRAD_MD5_STEP_I
#undef QVRAD_MD5_STEP_G
#undef QVRAD_MD5_STEP
#undef QVRAD_MD5_H
#undef QVRAD_MD5_F

using TransformFunction = void (*)(std::uint32_t*, const std::uint8_t*, std::size_t);

void TransformPortable(std::uint32_t state[4], const std::uint8_t* p, std::size_t blocks) {
    TransformBody(state, p, blocks);
}

#if QVRAD_MD5_BMI1
// The same steps where andn computes G's and I's "and not" in one instruction (BMI1 spares the
// copy and the not before it): some 60 instructions fewer per block, with the same dependency
// chain from one step to the next. Only called on a CPU that has BMI1.
__attribute__((target("bmi"))) void TransformBmi1(std::uint32_t state[4], const std::uint8_t* p,
                                                  std::size_t blocks) {
    TransformBody(state, p, blocks);
}
#endif

TransformFunction TransformFor(Md5Compression which) {
#if QVRAD_MD5_BMI1
    if (which == Md5Compression::kBmi1) return TransformBmi1;
#endif
    (void)which;
    return TransformPortable;
}

// The compression in use: at first one that chooses (from the CPU), puts its choice here and
// runs it; from then on the choice itself, one load and an indirect call. Constant-initialised,
// so MD5 works even from another object's constructor at load; threads that choose at once
// store the same value.
void TransformFirstUse(std::uint32_t state[4], const std::uint8_t* p, std::size_t blocks);
std::atomic<TransformFunction> g_transform{TransformFirstUse};

void TransformFirstUse(std::uint32_t state[4], const std::uint8_t* p, std::size_t blocks) {
    const TransformFunction chosen =
        TransformFor(MD5CompressionUsable(Md5Compression::kBmi1) ? Md5Compression::kBmi1
                                                                 : Md5Compression::kPortable);
    g_transform.store(chosen, std::memory_order_relaxed);
    chosen(state, p, blocks);
}

inline void Transform(std::uint32_t state[4], const std::uint8_t* p, std::size_t blocks) {
    g_transform.load(std::memory_order_relaxed)(state, p, blocks);
}

}  // namespace

#if defined(__SSE2__)
namespace {

// RFC 1321 section 3.4's T[1..64] in step order, each four times: one aligned vector per step, an
// operand in memory (a constant made in registers would take three instructions a step).
constexpr std::uint32_t kStepConstants[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};
struct LaneConstants {
    alignas(16) std::uint32_t t[64][4];
};
constexpr LaneConstants MakeLaneConstants() {
    LaneConstants lanes{};
    for (int i = 0; i < 64; ++i)
        for (int j = 0; j < 4; ++j) lanes.t[i][j] = kStepConstants[i];
    return lanes;
}
constexpr LaneConstants kLaneConstants = MakeLaneConstants();

// The end of a step of RFC 1321 section 3.4 on four lanes, each lane a block of its own: a and b
// hold a chaining word of every lane, f the step's function of them, w the step's message word
// of every lane; i is the step (its constant the same in every lane), s the rotation.
template <int s>
QVRAD_MD5_INLINE __m128i LaneStepEnd(__m128i a, __m128i b, __m128i f, __m128i w,
                                     const LaneConstants* constants, int i) {
    const __m128i t = _mm_load_si128(reinterpret_cast<const __m128i*>(constants->t[i]));
    a = _mm_add_epi32(_mm_add_epi32(a, f), _mm_add_epi32(w, t));
    return _mm_add_epi32(_mm_or_si128(_mm_slli_epi32(a, s), _mm_srli_epi32(a, 32 - s)), b);
}

// F(x, y, z) = z ^ (x & (y ^ z)); G(x, y, z) = y ^ (z & (x ^ y)); H = x ^ y ^ z;
// I(x, y, z) = y ^ (x | ~z): the same functions as the one-block compression computes.
QVRAD_MD5_INLINE __m128i LaneF(__m128i x, __m128i y, __m128i z) {
    return _mm_xor_si128(z, _mm_and_si128(x, _mm_xor_si128(y, z)));
}
QVRAD_MD5_INLINE __m128i LaneG(__m128i x, __m128i y, __m128i z) {
    return _mm_xor_si128(y, _mm_and_si128(z, _mm_xor_si128(x, y)));
}
QVRAD_MD5_INLINE __m128i LaneH(__m128i x, __m128i y, __m128i z) {
    return _mm_xor_si128(x, _mm_xor_si128(y, z));
}
QVRAD_MD5_INLINE __m128i LaneI(__m128i x, __m128i y, __m128i z) {
    return _mm_xor_si128(y, _mm_or_si128(x, _mm_xor_si128(z, _mm_set1_epi32(-1))));
}

// Four rows of four words turned into four columns: out[k] holds word k of every row.
QVRAD_MD5_INLINE void TurnFour(__m128i r0, __m128i r1, __m128i r2, __m128i r3, __m128i* out) {
    const __m128i t0 = _mm_unpacklo_epi32(r0, r1), t1 = _mm_unpacklo_epi32(r2, r3);
    const __m128i t2 = _mm_unpackhi_epi32(r0, r1), t3 = _mm_unpackhi_epi32(r2, r3);
    out[0] = _mm_unpacklo_epi64(t0, t1);
    out[1] = _mm_unpackhi_epi64(t0, t1);
    out[2] = _mm_unpacklo_epi64(t2, t3);
    out[3] = _mm_unpackhi_epi64(t2, t3);
}

QVRAD_MD5_INLINE __m128i LoadRow(const void* p) {
    return _mm_loadu_si128(static_cast<const __m128i*>(p));
}

#define QVRAD_LANE_STEP(f, a, b, c, d, k, i, s) \
    (a) = LaneStepEnd<s>((a), (b), f((b), (c), (d)), w[k], constants, (i));

// Four blocks in the lanes of one pass; every lane's state in and out through states. Inlined into
// each build of the pass.
QVRAD_MD5_INLINE void CompressLanesBody(std::uint32_t* const* states,
                                        const std::uint8_t* const* blocks) {
    // x86 is little-endian, as RFC 1321 section 2 reads the message words.
    __m128i w[16];
    for (int j = 0; j < 16; j += 4)
        TurnFour(LoadRow(blocks[0] + 4 * j), LoadRow(blocks[1] + 4 * j), LoadRow(blocks[2] + 4 * j),
                 LoadRow(blocks[3] + 4 * j), w + j);
    __m128i chain[4];
    TurnFour(LoadRow(states[0]), LoadRow(states[1]), LoadRow(states[2]), LoadRow(states[3]), chain);
    __m128i a = chain[0], b = chain[1], c = chain[2], d = chain[3];
    // The constants' address through an empty asm: read from memory as operands, not rebuilt in
    // registers from their known values.
    const LaneConstants* constants = &kLaneConstants;
    __asm__("" : "+r"(constants));
    const __m128i sa = a, sb = b, sc = c, sd = d;

    QVRAD_LANE_STEP(LaneF, a, b, c, d, 0, 0, 7)
    QVRAD_LANE_STEP(LaneF, d, a, b, c, 1, 1, 12)
    QVRAD_LANE_STEP(LaneF, c, d, a, b, 2, 2, 17)
    QVRAD_LANE_STEP(LaneF, b, c, d, a, 3, 3, 22)
    QVRAD_LANE_STEP(LaneF, a, b, c, d, 4, 4, 7)
    QVRAD_LANE_STEP(LaneF, d, a, b, c, 5, 5, 12)
    QVRAD_LANE_STEP(LaneF, c, d, a, b, 6, 6, 17)
    QVRAD_LANE_STEP(LaneF, b, c, d, a, 7, 7, 22)
    QVRAD_LANE_STEP(LaneF, a, b, c, d, 8, 8, 7)
    QVRAD_LANE_STEP(LaneF, d, a, b, c, 9, 9, 12)
    QVRAD_LANE_STEP(LaneF, c, d, a, b, 10, 10, 17)
    QVRAD_LANE_STEP(LaneF, b, c, d, a, 11, 11, 22)
    QVRAD_LANE_STEP(LaneF, a, b, c, d, 12, 12, 7)
    QVRAD_LANE_STEP(LaneF, d, a, b, c, 13, 13, 12)
    QVRAD_LANE_STEP(LaneF, c, d, a, b, 14, 14, 17)
    QVRAD_LANE_STEP(LaneF, b, c, d, a, 15, 15, 22)

    QVRAD_LANE_STEP(LaneG, a, b, c, d, 1, 16, 5)
    QVRAD_LANE_STEP(LaneG, d, a, b, c, 6, 17, 9)
    QVRAD_LANE_STEP(LaneG, c, d, a, b, 11, 18, 14)
    QVRAD_LANE_STEP(LaneG, b, c, d, a, 0, 19, 20)
    QVRAD_LANE_STEP(LaneG, a, b, c, d, 5, 20, 5)
    QVRAD_LANE_STEP(LaneG, d, a, b, c, 10, 21, 9)
    QVRAD_LANE_STEP(LaneG, c, d, a, b, 15, 22, 14)
    QVRAD_LANE_STEP(LaneG, b, c, d, a, 4, 23, 20)
    QVRAD_LANE_STEP(LaneG, a, b, c, d, 9, 24, 5)
    QVRAD_LANE_STEP(LaneG, d, a, b, c, 14, 25, 9)
    QVRAD_LANE_STEP(LaneG, c, d, a, b, 3, 26, 14)
    QVRAD_LANE_STEP(LaneG, b, c, d, a, 8, 27, 20)
    QVRAD_LANE_STEP(LaneG, a, b, c, d, 13, 28, 5)
    QVRAD_LANE_STEP(LaneG, d, a, b, c, 2, 29, 9)
    QVRAD_LANE_STEP(LaneG, c, d, a, b, 7, 30, 14)
    QVRAD_LANE_STEP(LaneG, b, c, d, a, 12, 31, 20)

    QVRAD_LANE_STEP(LaneH, a, b, c, d, 5, 32, 4)
    QVRAD_LANE_STEP(LaneH, d, a, b, c, 8, 33, 11)
    QVRAD_LANE_STEP(LaneH, c, d, a, b, 11, 34, 16)
    QVRAD_LANE_STEP(LaneH, b, c, d, a, 14, 35, 23)
    QVRAD_LANE_STEP(LaneH, a, b, c, d, 1, 36, 4)
    QVRAD_LANE_STEP(LaneH, d, a, b, c, 4, 37, 11)
    QVRAD_LANE_STEP(LaneH, c, d, a, b, 7, 38, 16)
    QVRAD_LANE_STEP(LaneH, b, c, d, a, 10, 39, 23)
    QVRAD_LANE_STEP(LaneH, a, b, c, d, 13, 40, 4)
    QVRAD_LANE_STEP(LaneH, d, a, b, c, 0, 41, 11)
    QVRAD_LANE_STEP(LaneH, c, d, a, b, 3, 42, 16)
    QVRAD_LANE_STEP(LaneH, b, c, d, a, 6, 43, 23)
    QVRAD_LANE_STEP(LaneH, a, b, c, d, 9, 44, 4)
    QVRAD_LANE_STEP(LaneH, d, a, b, c, 12, 45, 11)
    QVRAD_LANE_STEP(LaneH, c, d, a, b, 15, 46, 16)
    QVRAD_LANE_STEP(LaneH, b, c, d, a, 2, 47, 23)

    QVRAD_LANE_STEP(LaneI, a, b, c, d, 0, 48, 6)
    QVRAD_LANE_STEP(LaneI, d, a, b, c, 7, 49, 10)
    QVRAD_LANE_STEP(LaneI, c, d, a, b, 14, 50, 15)
    QVRAD_LANE_STEP(LaneI, b, c, d, a, 5, 51, 21)
    QVRAD_LANE_STEP(LaneI, a, b, c, d, 12, 52, 6)
    QVRAD_LANE_STEP(LaneI, d, a, b, c, 3, 53, 10)
    QVRAD_LANE_STEP(LaneI, c, d, a, b, 10, 54, 15)
    QVRAD_LANE_STEP(LaneI, b, c, d, a, 1, 55, 21)
    QVRAD_LANE_STEP(LaneI, a, b, c, d, 8, 56, 6)
    QVRAD_LANE_STEP(LaneI, d, a, b, c, 15, 57, 10)
    QVRAD_LANE_STEP(LaneI, c, d, a, b, 6, 58, 15)
    QVRAD_LANE_STEP(LaneI, b, c, d, a, 13, 59, 21)
    QVRAD_LANE_STEP(LaneI, a, b, c, d, 4, 60, 6)
    QVRAD_LANE_STEP(LaneI, d, a, b, c, 11, 61, 10)
    QVRAD_LANE_STEP(LaneI, c, d, a, b, 2, 62, 15)
    QVRAD_LANE_STEP(LaneI, b, c, d, a, 9, 63, 21)

    // Back to one state per lane: the four vectors turned as the words were.
    TurnFour(_mm_add_epi32(a, sa), _mm_add_epi32(b, sb), _mm_add_epi32(c, sc), _mm_add_epi32(d, sd),
             chain);
    for (int i = 0; i < 4; ++i) _mm_storeu_si128(reinterpret_cast<__m128i*>(states[i]), chain[i]);
    // The message words (a key's pads, a secret) spilled to the stack, and the vector registers
    // that held them.
    platform::SecureZero(w, sizeof w);
    platform::SecureZero(chain, sizeof chain);
    platform::ClearVectorRegisters();
}

#undef QVRAD_LANE_STEP

using LanesFunction = void (*)(std::uint32_t* const*, const std::uint8_t* const*);

void CompressLanesSse2(std::uint32_t* const* states, const std::uint8_t* const* blocks) {
    CompressLanesBody(states, blocks);
}

// The same pass with AVX's three-operand forms of the same instructions, which spare the copy
// before each step's function and rotation: about a quarter fewer instructions. Only called on a
// CPU whose AVX state the operating system has enabled.
__attribute__((target("avx"))) void CompressLanesAvx(std::uint32_t* const* states,
                                                     const std::uint8_t* const* blocks) {
    CompressLanesBody(states, blocks);
}

LanesFunction LanesFor(Md5Lanes which) {
    return which == Md5Lanes::kAvx ? CompressLanesAvx : CompressLanesSse2;
}

}  // namespace
#endif

bool MD5LanesUsable(Md5Lanes which) {
#if defined(__SSE2__)
    if (which == Md5Lanes::kAvx) return platform::CpuVectorState() >= platform::VectorState::kAvx;
    return which == Md5Lanes::kSse2;
#else
    (void)which;
    return false;
#endif
}

void MD5BlocksSideBySideWith(Md5Lanes which, std::uint32_t (*states)[4],
                             const std::uint8_t* const* blocks, int count) {
    if (count <= 0 || count > kMd5Lanes || !MD5LanesUsable(which)) return;
#if defined(__SSE2__)
    // Lanes not asked for compress a copy of the first block into a state of their own, dropped.
    std::uint32_t spare[4] = {};
    std::uint32_t* laneStates[kMd5Lanes];
    const std::uint8_t* laneBlocks[kMd5Lanes];
    for (int i = 0; i < kMd5Lanes; ++i) {
        laneStates[i] = i < count ? states[i] : spare;
        laneBlocks[i] = blocks[i < count ? i : 0];
    }
    LanesFor(which)(laneStates, laneBlocks);
    platform::SecureZero(spare, sizeof spare);
#else
    (void)states;
    (void)blocks;
#endif
}

void MD5BlocksSideBySide(std::uint32_t (*states)[4], const std::uint8_t* const* blocks, int count) {
    if (count <= 0) return;
    if (count > kMd5Lanes) count = kMd5Lanes;
    if (count > 1 && MD5LanesUsable(Md5Lanes::kSse2)) {
        MD5BlocksSideBySideWith(MD5LanesUsable(Md5Lanes::kAvx) ? Md5Lanes::kAvx : Md5Lanes::kSse2,
                                states, blocks, count);
        return;
    }
    for (int i = 0; i < count; ++i) Transform(states[i], blocks[i], 1);
}

bool MD5CompressionUsable(Md5Compression which) {
#if QVRAD_MD5_BMI1
    if (which == Md5Compression::kBmi1) return platform::CpuHasBmi1();
#endif
    return which == Md5Compression::kPortable;
}

void MD5BlocksWith(Md5Compression which, std::uint32_t state[4], const void* blocks,
                   std::size_t count) {
    if (count != 0 && MD5CompressionUsable(which))
        TransformFor(which)(state, static_cast<const std::uint8_t*>(blocks), count);
}

void MD5Init(MD5_CTX* ctx) {
    // RFC 1321 section 3.3.
    ctx->state[0] = 0x67452301;
    ctx->state[1] = 0xefcdab89;
    ctx->state[2] = 0x98badcfe;
    ctx->state[3] = 0x10325476;
    ctx->count[0] = 0;
    ctx->count[1] = 0;
}

void MD5Update(MD5_CTX* ctx, const void* bytes, std::uint32_t length) {
    // An empty update must leave the context byte for byte as it was (and may pass a null pointer).
    if (length == 0) return;
    const std::uint8_t* p = static_cast<const std::uint8_t*>(bytes);
    const std::uint32_t index = (ctx->count[0] >> 3) & 63;
    const std::uint32_t before = ctx->count[0];
    ctx->count[0] = before + (length << 3);
    if (ctx->count[0] < before) ++ctx->count[1];
    ctx->count[1] += length >> 29;

    if (index != 0) {
        const std::uint32_t room = 64 - index;
        if (length < room) {
            std::memcpy(ctx->buffer + index, p, length);
            return;
        }
        std::memcpy(ctx->buffer + index, p, room);
        Transform(ctx->state, ctx->buffer, 1);
        p += room;
        length -= room;
    }
    // Whole blocks are compressed where the caller keeps them, without a copy. The short
    // pieces RADIUS hashes mostly have none: no call then, nor a copy of nothing.
    if (length >= 64) {
        Transform(ctx->state, p, length / 64);
        p += length & ~63u;
        length &= 63;
    }
    if (length != 0) std::memcpy(ctx->buffer, p, length);
}

void MD5Final(std::uint8_t digest[16], MD5_CTX* ctx) {
    // RFC 1321 sections 3.1 and 3.2: 0x80, zeros up to 56 mod 64, then the bit count low word
    // first, each word little-endian.
    std::uint32_t index = (ctx->count[0] >> 3) & 63;
    ctx->buffer[index++] = 0x80;
    if (index > 56) {
        std::memset(ctx->buffer + index, 0, 64 - index);
        Transform(ctx->state, ctx->buffer, 1);
        index = 0;
    }
    std::memset(ctx->buffer + index, 0, 56 - index);
    Store32(ctx->buffer + 56, ctx->count[0]);
    Store32(ctx->buffer + 60, ctx->count[1]);
    Transform(ctx->state, ctx->buffer, 1);

    // RFC 1321 section 3.5: A, B, C, D, low-order byte first.
    for (unsigned i = 0; i < 4; ++i) Store32(digest + 4 * i, ctx->state[i]);
    // The buffer held message bytes (passwords, shared secrets); no trace stays behind.
    platform::SecureZero(ctx, sizeof(*ctx));
}

void MD5Blocks(std::uint32_t state[4], const void* blocks, std::size_t count) {
    if (count != 0) Transform(state, static_cast<const std::uint8_t*>(blocks), count);
}

void MD5FinishTail(std::uint8_t digest[16], std::uint32_t state[4], const void* tail,
                   std::uint32_t tailLength, std::uint64_t totalLength) {
    // RFC 1321 sections 3.1 and 3.2, as in MD5Final: the tail, 0x80, zeros up to 56 mod 64 and
    // the bit count, in one block or, past 55 bytes of tail, two.
    // The zeroing and the wipe have fixed sizes, so that they compile to a few stores.
    std::uint8_t block[128];
    const std::uint32_t n = tailLength & 63;
    const bool two = n >= 56;
    std::memset(block, 0, 64);
    if (two) std::memset(block + 64, 0, 64);
    if (n != 0) std::memcpy(block, tail, n);
    block[n] = 0x80;
    const std::uint64_t bits = totalLength << 3;
    std::uint8_t* end = block + (two ? 128 : 64);
    Store32(end - 8, static_cast<std::uint32_t>(bits));
    Store32(end - 4, static_cast<std::uint32_t>(bits >> 32));
    Transform(state, block, two ? 2 : 1);
    for (unsigned i = 0; i < 4; ++i) Store32(digest + 4 * i, state[i]);
    if (two)
        platform::SecureZero(block, 128);
    else
        platform::SecureZero(block, 64);
    platform::SecureZero(state, 4 * sizeof(std::uint32_t));
}

void MD5PadInPlace(std::uint8_t* message, std::uint32_t length, std::uint64_t totalLength) {
    // RFC 1321 sections 3.1 and 3.2, behind the message where it lies.
    const std::uint32_t padded = MD5PaddedLength(length);
    message[length] = 0x80;
    std::memset(message + length + 1, 0, padded - 8 - length - 1);
    const std::uint64_t bits = totalLength << 3;
    Store32(message + padded - 8, static_cast<std::uint32_t>(bits));
    Store32(message + padded - 4, static_cast<std::uint32_t>(bits >> 32));
}

void MD5WriteDigest(std::uint8_t digest[16], const std::uint32_t state[4]) {
    for (unsigned i = 0; i < 4; ++i) Store32(digest + 4 * i, state[i]);
}

void MD5FinishInPlace(std::uint8_t digest[16], std::uint32_t state[4], std::uint8_t* message,
                      std::uint32_t length, std::uint64_t totalLength) {
    MD5PadInPlace(message, length, totalLength);
    Transform(state, message, MD5PaddedLength(length) / 64);
    MD5WriteDigest(digest, state);
    platform::SecureZero(state, 4 * sizeof(std::uint32_t));
}

void MD5DigestInPlace(std::uint8_t digest[16], std::uint8_t* message, std::uint32_t length) {
    std::uint32_t state[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};  // RFC 1321 3.3
    MD5FinishInPlace(digest, state, message, length, length);
}

void MD5Digest(std::uint8_t digest[16], const void* bytes, std::uint32_t length) {
    // Straight from the caller's bytes: whole blocks where they lie, then the padded tail; no
    // context to fill and wipe.
    std::uint32_t state[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};  // RFC 1321 3.3
    const std::uint8_t* p = static_cast<const std::uint8_t*>(bytes);
    MD5Blocks(state, p, length / 64);
    MD5FinishTail(digest, state, p + (length & ~63u), length & 63, length);
}
