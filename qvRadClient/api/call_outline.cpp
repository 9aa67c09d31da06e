// The end-of-call wipe: the stack below the call's frame, then the vector registers, after every
// object of the call has wiped itself.
#include "api/call_outline.h"

#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

#if defined(__GNUC__) && defined(__x86_64__)
// The wipe's stores: 32 bytes each where the CPU has AVX, else 16 (SSE2, which every x86-64 has),
// 256 bytes a pass. The compiler's own zeroing of a block this size is a string store that runs
// one step per 8-byte word (512 for 4 KiB); these are 128 or 256 stores. After each pass the
// zeros are taken as read (an empty asm given the pointer, clobbering memory), so that no store
// is dropped or merged into a call. The registers hold only zeros.
__attribute__((target("avx"), noinline)) void ZeroWithAvx(unsigned char* bytes,
                                                          std::size_t length) {
    const __m256i zero = _mm256_setzero_si256();
    for (std::size_t at = 0; at + 256 <= length; at += 256) {
        __m256i* to = reinterpret_cast<__m256i*>(bytes + at);
        for (int i = 0; i < 8; ++i) _mm256_storeu_si256(to + i, zero);
        __asm__ __volatile__("" : : "r"(bytes) : "memory");
    }
}

__attribute__((noinline)) void ZeroWithSse2(unsigned char* bytes, std::size_t length) {
    const __m128i zero = _mm_setzero_si128();
    for (std::size_t at = 0; at + 256 <= length; at += 256) {
        __m128i* to = reinterpret_cast<__m128i*>(bytes + at);
        for (int i = 0; i < 16; ++i) _mm_storeu_si128(to + i, zero);
        __asm__ __volatile__("" : : "r"(bytes) : "memory");
    }
}
#endif

// Zeroes a block of the stack below the caller's frame, length a multiple of 256.
inline void ZeroBelow(unsigned char* bytes, std::size_t length) {
    static_assert(kCallWipeBytes % 256 == 0 && kTlsCallWipeBytes % 256 == 0, "whole passes");
#if defined(__GNUC__) && defined(__x86_64__)
    if (platform::CpuVectorState() >= platform::VectorState::kAvx)
        ZeroWithAvx(bytes, length);
    else
        ZeroWithSse2(bytes, length);
#else
    platform::SecureZero(bytes, length);
#endif
}

}  // namespace

// The MD5 rounds and HMAC pads ran in frames below the call's own, and words they spilled there
// (message words of the secret and the password, the key XOR ipad and opad) outlive them: one
// wipe of the stack below the caller's frame, deeper than those frames reach, removes them. They
// lie within 2 KiB of it (tests/hardening/hygiene_test.cpp measures it in every build, ASan's
// larger frames included); the call graph below a call is the library's own, without recursion
// or variable-size frames, so a fixed bound holds. The C library's string functions and
// vectorised loops also leave those bytes in the vector registers, which the next signal or lazy
// binding would store in the host's stack: they are zeroed too.
__attribute__((noinline)) void WipeAfterCall() {
    unsigned char below[kCallWipeBytes];
    ZeroBelow(below, sizeof below);
    platform::ClearVectorRegisters();
}

// A call that used TLS ran Mbed TLS below its frame: the handshake's key schedule, ECDHE, the
// signature with the client's key, the PEM and DER parsers, the record protection. Those frames
// reach past the 4 KiB above: tests/hardening/hygiene_test.cpp measured them (the deepest byte a
// TLS login wrote, against a UDP login's) 5.6 KiB below the call's frame with GCC 12 -O2 on
// x86-64, some 6 KiB unoptimised and 13.6 KiB under ASan (whose -O2 bignum and curve frames are
// large), in TLS 1.3 and 1.2 with an ECDSA P-256 key (the deepest: the PSK logins stay within 11.5
// KiB under ASan) or a PSK, and checks in every build that this wipe reaches below them. Mbed TLS
// wipes its own buffers of secrets, and the hygiene test finds none of the secrets it knows left
// there even with no stack wipe at all; but it cannot name every intermediate (the ECDHE secret,
// the TLS 1.3 handshake and master secrets), so every byte the call wrote is zeroed, with some 2
// KiB of margin for the paths the test does not take (RSA keys, other curves and suites). That
// depth is safe for any thread that could run the call: Mbed TLS had just used all but those 2 KiB
// of it on the same thread, and a signal delivered during the call would have needed more there
// (the kernel's signal frame with the AVX-512 state is some 3.5 KiB); the pages are touched in
// order from the frame down (the compiler probes each page of a frame this large on Windows).
__attribute__((noinline)) void WipeAfterTlsCall() {
    unsigned char below[kTlsCallWipeBytes];
    ZeroBelow(below, sizeof below);
    platform::ClearVectorRegisters();
}

__attribute__((noinline)) void CloseTlsPool(TlsPool* pool) {
    delete pool;
    WipeAfterTlsCall();
    __asm__ __volatile__("" ::: "memory");  // not a tail call: the wipe runs below this frame
}
