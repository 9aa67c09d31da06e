// qvrad-auth's observer of the library's exchange: it keeps the verified reply's Code and form
// for the exit status and its round trip for --status and, with --verbose, shows on standard
// error what went over the wire and why.
#pragma once

#include <cstdint>

#include "radius/client.h"

struct ExchangeTrace {
    bool verbose = false;
    bool replied = false;        // a reply verified and was taken
    std::uint8_t replyCode = 0;  // its Code (RFC 2865 section 4)
    // Whether its attributes parse to exactly its Length (RFC 2865 section 5): an Access-Accept
    // that does not is treated as a Reject.
    AttributeFault replyFault = AttributeFault::kNone;
    int sent = 0;                  // requests sent
    std::int64_t sentAt = 0;       // platform::MonotonicMillis() at the last one sent
    std::int64_t roundTrip = 0;    // milliseconds from that send to the reply taken
    bool unsignedDropped = false;  // a verified reply was dropped for want of a signature
    int lastServer = -1;           // the entry of the last transmission shown, for its switches
    // Why the last tls:// connection could not be made (empty: none failed), for --status, which
    // has no qvrad_error_detail.
    char tlsFailure[kTlsReasonSize] = {};

    ExchangeObserver Observer();
    // Forgets the exchange before, for the next one (an answer to an Access-Challenge).
    void NextExchange() {
        replied = false;
        replyCode = 0;
        replyFault = AttributeFault::kNone;
        sent = 0;
        unsignedDropped = false;
        lastServer = -1;
        tlsFailure[0] = '\0';
    }
};

// The name of a Code (RFC 2865 section 4 and the others this client meets), or null.
const char* CodeName(std::uint8_t code);

// The reason an attribute walk stopped, in words, for --verbose.
const char* AttributeFaultText(AttributeFault fault);
