// When a request goes out again within one server's share of the call's deadline: RFC 5080
// section 2.2.1's backoff scaled to the share, jittered by the request's own random bytes.
#pragma once

#include <cstdint>

// The transmissions of one request to one server, as a few fields the exchange walks: Begin at
// the share's start, then Advance with the time each transmission was really made; the next one
// is due at `next`, and there is none when `next` reached `end`. Times are monotonic milliseconds.
//
// Nominally transmission k (k >= 1) is made IRT * (2^k - 1) after the first (each interval twice
// the one before, at most MRT), where IRT is a fifth of the share, 1 to 2 s, and only while that
// nominal time is more than 1 s before the share's end: so a share of 1 or 2 s makes one
// transmission, 5 s three (0, 1, 3 s), 19 s four (0, 2, 6, 14 s), 300 s five (0, 2, 6, 14,
// 30 s). (A fifth, not a quarter: the third transmission of a 5 s share then goes at 3 s, before
// a fixed 1.67 s timer's at 3.33 s, with the same number of transmissions for every timeout.)
// Each interval is then moved by RAND in [-0.1, 0.1] of itself (RFC 5080), yet never made
// shorter than 1 s (RFC 5080 warns against sub-second timers) nor pushed into the share's last
// second; where the two cannot both hold, no further transmission is made. An interval runs from
// the transmission as it was really made: after a stall (a stopped process, a paused machine)
// the overdue transmission goes once, late, and the next is a whole interval after it, so two
// are never less than 1 s apart and none is made up.
struct CRadSchedule {
    static constexpr std::int32_t kMaxTransmissions = 5;
    static constexpr std::int32_t kMinInterval = 1000;   // ms; also the quiet end of a share
    static constexpr std::int32_t kMaxInitial = 2000;    // ms: IRT at most
    static constexpr std::int32_t kMaxInterval = 16000;  // ms: MRT, RFC 5080 section 2.2.1

    std::int64_t start = 0;    // the share's first transmission
    std::int64_t end = 0;      // the share's end: the next server's turn, or the call's deadline
    std::int64_t next = 0;     // when the next transmission is due; end when none is
    std::int32_t nominal = 0;  // next's nominal offset from start
    std::int32_t step = 0;     // the nominal interval after next
    std::int32_t sent = 0;     // transmissions made so far
    std::int32_t limit = 1;    // transmissions at most
    const std::uint8_t* jitter = nullptr;  // one octet per retransmission (4 are read)

    // The first transmission is due at start. limit is capped at kMaxTransmissions.
    void Begin(std::int64_t shareStart, std::int64_t shareEnd, std::int32_t maxTransmissions,
               const std::uint8_t* jitterOctets);
    // Records the transmission due at next, made (or failed) at sentAt, which is next or later,
    // and schedules the following one from sentAt.
    void Advance(std::int64_t sentAt);
    bool HasNext() const { return next < end; }
};

// One server's share of a call's deadline: what is left (left ms) over the servers still to
// come with an address, this one included, but at least 1 s, and never more than is left. So
// with a short deadline the later servers may get no turn.
inline std::int64_t ShareOfDeadline(std::int64_t left, std::int32_t sharing) {
    if (left <= 0) return 0;
    std::int64_t share = sharing > 0 ? left / sharing : left;
    if (share < CRadSchedule::kMinInterval) share = CRadSchedule::kMinInterval;
    return share > left ? left : share;
}
