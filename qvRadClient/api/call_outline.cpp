// The end-of-call wipe: the stack below the call's frame, then the vector registers, after every
// object of the call has wiped itself.
#include "api/call_outline.h"

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
    platform::SecureZero(below, sizeof below);
    platform::ClearVectorRegisters();
}

// A call that used TLS ran Mbed TLS below its frame: the handshake's key schedule, ECDHE, the
// signature with the client's key, the PEM and DER parsers, the record protection. Those frames
// reach past the 4 KiB above: tests/hardening/hygiene_test.cpp measured them (the deepest byte a
// TLS login wrote, against a UDP login's) 5.6 KiB below the call's frame with GCC 12 -O2 on
// x86-64, some 6 KiB unoptimised and 10.1 KiB under ASan, in TLS 1.3 and 1.2 with an ECDSA P-256
// key (the deepest: the PSK logins stay within 8 KiB under ASan) or a PSK, and checks in every
// build that this wipe reaches below them. Mbed TLS wipes its own buffers of secrets, and the
// hygiene test finds none of the secrets it knows left there even with no stack wipe at all; but
// it cannot name every intermediate (the ECDHE secret, the TLS 1.3 handshake and master secrets),
// so every byte the call wrote is zeroed, with some 2 KiB of margin for the paths the test does
// not take (RSA keys, other curves and suites). That depth is safe for any thread that could run
// the call: Mbed TLS had just used all but those 2 KiB of it on the same thread, and a signal
// delivered during the call would have needed more there (the kernel's signal frame with the
// AVX-512 state is some 3.5 KiB); the pages are touched in order from the frame down (the
// compiler probes each page of a frame this large on Windows).
__attribute__((noinline)) void WipeAfterTlsCall() {
    unsigned char below[kTlsCallWipeBytes];
    platform::SecureZero(below, sizeof below);
    platform::ClearVectorRegisters();
}

__attribute__((noinline)) void CloseTlsPool(TlsPool* pool) {
    delete pool;
    WipeAfterTlsCall();
    __asm__ __volatile__("" ::: "memory");  // not a tail call: the wipe runs below this frame
}
