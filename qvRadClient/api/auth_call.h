// The whole of one auth call, for the export and for qvrad-auth, which also watches the exchange:
// argument checks, the exchange, the result text published in the thread's buffer, the wipe.
// Beside it the Status-Server probe qvrad-auth --status makes, which is not exported.
#pragma once

#include "api/arguments.h"
#include "radius/client.h"

// Runs the call with these arguments and returns the calling thread's result buffer, as auth
// does (auth is this with no observer). observer, when not null, is told what the exchange sends
// and receives; it must not keep the packets it is shown.
const char* RunAuth(const AuthArguments& args, const ExchangeObserver* observer);

// What one Status-Server probe found.
enum class StatusOutcome : std::uint8_t {
    kAlive,          // a verified, signed Access-Accept or Accounting-Response
    kAliveUnsigned,  // the same without a Message-Authenticator (taken unless the setting is yes)
    kOtherCode,      // a verified, signed reply of another Code
    kNoAnswer,       // no such reply within the timeout (nothing sent if the host did not resolve)
    kInvalidInput,   // an argument refused, nothing sent (auth's kResultInvalidInput)
    kWinsock,        // the socket layer would not start (kResultWinsock)
    kClientStack,    // no socket for the call (kResultClientStack)
};

// One Status-Server (RFC 5997) to args.server with args.secret, through the same client, checks
// and wipe as RunAuth; args.user and args.password are not read. Sent once, never again
// (RFC 5997 section 4.1). A verified reply counts with or without a Message-Authenticator (one
// that is present must verify), but only signed when the process's setting is yes. observer as
// for RunAuth.
StatusOutcome RunStatus(const AuthArguments& args, const ExchangeObserver* observer);
