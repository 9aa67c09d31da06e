// A kept connection's bookkeeping, always under its pool's lock: Identifiers, the check of each
// packet read against the request its Identifier names, and whom to wake.
#include "radius/tls_connection.h"

#include <cstring>

TlsConnection::TlsConnection() {
    secret.Assign(rad::kTlsSecret, sizeof rad::kTlsSecret - 1);
}

int TlsConnection::TakeIdentifier() {
    if (inFlight >= kMaxInFlight) return -1;
    for (int tried = 0; tried < kMaxInFlight; ++tried) {
        const int identifier = nextIdentifier;
        nextIdentifier = static_cast<std::uint8_t>(identifier == 255 ? 1 : identifier + 1);
        if (!slots[identifier].held) {
            slots[identifier].held = true;
            ++inFlight;
            return identifier;
        }
    }
    return -1;
}

void TlsConnection::Register(int identifier, TlsWaiter& waiter, const std::uint8_t* authenticator,
                             std::int64_t nowMillis) {
    TlsSlot& slot = slots[identifier];
    std::memcpy(slot.authenticator, authenticator, rad::kAuthenticatorLength);
    slot.waiter = &waiter;
    waiter.waiting = true;
    waiter.done = false;
    // The watchdog's quiet time runs from the moment a request waits on a connection that had
    // none waiting, or from the last octets received.
    if (waiting++ == 0) quietSinceMillis = nowMillis;
}

void TlsConnection::Unregister(int identifier, TlsWaiter& waiter) {
    TlsSlot& slot = slots[identifier];
    if (slot.waiter != &waiter) return;
    slot.waiter = nullptr;
    waiter.waiting = false;
    --waiting;
}

void TlsConnection::Die(const char* why) {
    if (!dead) CopyReason(reason, sizeof reason, why);
    dead = true;
    for (TlsSlot& slot : slots)
        if (slot.waiter != nullptr) platform::CondSignal(&slot.waiter->cond);
}

void TlsConnection::Dispatch(std::uint16_t length) {
    const std::uint8_t identifier = inbound.octets[1];
    bool signedReply = false;
    if (identifier == kWatchdogIdentifier) {
        // The answer to the watchdog's Status-Server (RFC 5997 section 3), checked like any reply.
        if (watchdogPending &&
            inbound.CheckResponseTo(kWatchdogIdentifier, watchdogAuthenticator, &secret, length,
                                    &signedReply, &hmacKey) == ReplyCheck::kVerified)
            watchdogPending = false;
        else
            ++strays;
        return;
    }
    TlsSlot& slot = slots[identifier];
    TlsWaiter* waiter = slot.waiter;
    if (waiter == nullptr || !waiter->waiting || waiter->done) {
        ++strays;  // a late reply to a request that gave up, or none this client sent
        return;
    }
    ReplyCheck verdict = inbound.CheckResponseTo(identifier, slot.authenticator, &secret, length,
                                                 &signedReply, &hmacKey);
    if (verdict == ReplyCheck::kVerified && waiter->rejects != nullptr &&
        waiter->rejects(waiter->rejectsContext, inbound))
        verdict = ReplyCheck::kMalformed;
    if (verdict != ReplyCheck::kVerified) {
        // RFC 2865 section 4: discarded; the connection and the other requests on it go on, and
        // this request still waits for its own reply until its deadline.
        if (waiter->discarded++ == 0) waiter->firstDiscard = verdict;
        return;
    }
    std::memcpy(waiter->reply->octets, inbound.octets, length);
    waiter->received = length;
    waiter->signedReply = signedReply;
    waiter->done = true;
    platform::CondSignal(&waiter->cond);
}

void TlsConnection::HandOff() {
    if (leading || writing) return;
    for (TlsSlot& slot : slots) {
        TlsWaiter* waiter = slot.waiter;
        if (waiter != nullptr && waiter->waiting && !waiter->done) {
            platform::CondSignal(&waiter->cond);
            return;
        }
    }
}
