// The retransmission schedule of one server's share (RFC 2865 section 2.5, RFC 5080 section
// 2.2.1): a few integer fields, no clock of its own; the exchange reads the clock.
#include "radius/retransmit.h"

void CRadSchedule::Begin(std::int64_t shareStart, std::int64_t shareEnd,
                         std::int32_t maxTransmissions, const std::uint8_t* jitterOctets) {
    start = shareStart;
    end = shareEnd;
    next = shareStart < shareEnd ? shareStart : shareEnd;
    nominal = 0;
    const std::int64_t share = shareEnd - shareStart;
    // IRT: a fifth of the share, within 1..2 s.
    const std::int64_t initial = share / 5;
    step = static_cast<std::int32_t>(initial < kMinInterval  ? kMinInterval
                                     : initial > kMaxInitial ? kMaxInitial
                                                             : initial);
    sent = 0;
    limit = maxTransmissions < kMaxTransmissions ? maxTransmissions : kMaxTransmissions;
    jitter = jitterOctets;
}

void CRadSchedule::Advance(std::int64_t sentAt) {
    const std::int64_t last = sentAt > next ? sentAt : next;
    ++sent;
    next = end;
    if (sent >= limit || jitter == nullptr) return;
    const std::int64_t nominalNext = static_cast<std::int64_t>(nominal) + step;
    // Only while the nominal time leaves more than a second of the share for the reply.
    if (nominalNext >= end - start - kMinInterval) return;
    // RAND in [-0.1, 0.1]: the octet scaled to -100..+100 thousandths of the interval.
    const int permille = jitter[sent - 1] * 201 / 256 - 100;
    std::int64_t at = last + static_cast<std::int64_t>(step) * (1000 + permille) / 1000;
    if (at < last + kMinInterval) at = last + kMinInterval;
    if (at > end - kMinInterval) at = end - kMinInterval;
    if (at < last + kMinInterval) return;
    next = at;
    nominal = static_cast<std::int32_t>(nominalNext);
    step = step > kMaxInterval / 2 ? kMaxInterval : step * 2;
}
