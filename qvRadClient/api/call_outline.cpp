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
    unsigned char below[4096];
    platform::SecureZero(below, sizeof below);
    platform::ClearVectorRegisters();
}
