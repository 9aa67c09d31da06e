// The outline every call of the library follows (auth, the Status-Server probe, a structured
// login or answer), so that the end-of-call wipe lives in one place.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "radius/client.h"

// How far a call came before its work: refused arguments, no socket layer, no socket, or ready.
enum class CallStart : std::uint8_t { kReady = 0, kInvalidInput, kWinsock, kClientStack };

// The stack below the caller's frame that the end-of-call wipe zeroes: after every call, and
// after a call that used TLS, whose Mbed TLS frames reach deeper (see call_outline.cpp); more
// under ASan, whose frames are larger.
constexpr std::size_t kCallWipeBytes = 4096;
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kTlsCallWipeBytes = 16384;
#else
constexpr std::size_t kTlsCallWipeBytes = 8192;
#endif

// The one cleanup point, after every object of the call has wiped itself: the stack below the
// caller's frame and the vector registers (see call_outline.cpp); WipeAfterTlsCall after a call
// that opened, used or closed a TLS session.
void WipeAfterCall();
void WipeAfterTlsCall();

// Frees a pool of kept TLS connections (a structured client's, as it is freed) outside a call:
// close_notify on each and the frees, then the wipe of a call that used TLS.
void CloseTlsPool(TlsPool* pool);

// Runs one call. Call is constructed in the call's scope with args, and offers:
//   int Begin(CRadClient&)        the request's authenticator and Identifier, then the argument
//                                 checks: 0 when they pass
//   void Work(CRadClient&)        the exchange, on a ready client inside the socket start
//   Outcome Finish(CallStart)     what the call returns, decided while its objects still live
// The client comes first and relies on the socket start made at load; the call's own start
// comes after the checks, and its end before Finish.
template <class Call, class... Args>
typename Call::Outcome RunCall(Args&&... args) {
    typename Call::Outcome outcome;
    bool usedTls = false;
    {
        CRadClient client;
        Call call(static_cast<Args&&>(args)...);
        CallStart start = CallStart::kInvalidInput;
        if (call.Begin(client) == 0) {
            std::uint16_t granted = 0;
            if (platform::SocketLayerStart(platform::kSocketVersion20, &granted) != 0) {
                start = CallStart::kWinsock;
            } else {
                start = client.ready ? CallStart::kReady : CallStart::kClientStack;
                if (client.ready) call.Work(client);
                platform::SocketLayerEnd();
            }
        }
        outcome = call.Finish(start);
        usedTls = client.usedTls;
    }  // the call's objects and the client wipe themselves here (server entries, saved password,
       // secret copies, TLS sessions)
    // A UDP call pays one test for the choice (tests/hardening/hygiene_test.cpp checks the depth).
    if (usedTls)
        WipeAfterTlsCall();
    else
        WipeAfterCall();
    // Never a tail call: the wipe must run below this frame, where the call's frames were, not
    // below the caller's once this frame is gone.
    __asm__ __volatile__("" ::: "memory");
    return outcome;
}
