// The reconnect discipline of one RADIUS over TLS server: failed connections in a row and when the
// next may be tried (draft-ietf-radext-radiusdtls-bis: at least 0.5 s, then doubling with jitter).
#pragma once

#include <cstdint>

// The delay after the n-th failed connection or handshake in a row (n >= 1): 0.5 s doubled for
// each further failure, up to 60 s, times 1 + jitter / 2^17 (1 to 1.5, jitter 0..65535), and never
// above 60 s. A pure function, so the schedule is tested without a clock.
std::int64_t ReconnectDelayMillis(std::int32_t failures, std::uint16_t jitter);

// A few plain fields changed only by Failed and Succeeded (its owner's lock held).
struct ServerHealth {
    static constexpr std::int32_t kMaxFailures = 16;  // counted no further: 60 s is reached at 8
    std::int32_t failures = 0;                        // connections that failed in a row
    std::int64_t nextAttemptMillis = 0;               // monotonic: no new connection before it

    bool MayConnect(std::int64_t nowMillis) const { return nowMillis >= nextAttemptMillis; }
    void Failed(std::int64_t nowMillis, std::uint16_t jitter);
    void Succeeded() {
        failures = 0;
        nextAttemptMillis = 0;
    }
};
