// The backoff of reconnections to a RADIUS over TLS server after failures, as a pure delay and the
// two changes of a server's record.
#include "radius/server_health.h"

namespace {
constexpr std::int64_t kFirstDelayMillis = 500;      // bis document: not sooner than 0.5 s
constexpr std::int64_t kLongestDelayMillis = 60000;  // and no longer than a minute
}  // namespace

std::int64_t ReconnectDelayMillis(std::int32_t failures, std::uint16_t jitter) {
    if (failures < 1) return 0;
    std::int64_t delay = kFirstDelayMillis;
    for (std::int32_t i = 1; i < failures && delay < kLongestDelayMillis; ++i) delay *= 2;
    if (delay > kLongestDelayMillis) delay = kLongestDelayMillis;
    // Jitter upward only (never below the floor): servers restarted at once do not see their
    // clients return in step.
    delay += (delay * jitter) >> 17;
    return delay > kLongestDelayMillis ? kLongestDelayMillis : delay;
}

void ServerHealth::Failed(std::int64_t nowMillis, std::uint16_t jitter) {
    if (failures < kMaxFailures) ++failures;
    nextAttemptMillis = nowMillis + ReconnectDelayMillis(failures, jitter);
}
