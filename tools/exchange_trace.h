// qvrad-auth's observer of the library's exchange: it keeps the verified reply's Code for the
// exit status and, with --verbose, shows on standard error what went over the wire and why.
#pragma once

#include <cstdint>

#include "radius/client.h"

struct ExchangeTrace {
    bool verbose = false;
    bool replied = false;        // a reply verified and was taken
    std::uint8_t replyCode = 0;  // its Code (RFC 2865 section 4)
    int sent = 0;                // requests sent
    int lastServer = -1;         // the entry of the last transmission shown, for its switches

    ExchangeObserver Observer();
};
