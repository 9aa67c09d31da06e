// The whole of one auth call, for the export and for qvrad-auth, which also watches the exchange:
// argument checks, the exchange, the result text published in the thread's buffer, the wipe.
#pragma once

#include "api/arguments.h"
#include "radius/client.h"

// Runs the call with these arguments and returns the calling thread's result buffer, as auth
// does (auth is this with no observer). observer, when not null, is told what the exchange sends
// and receives; it must not keep the packets it is shown.
const char* RunAuth(const AuthArguments& args, const ExchangeObserver* observer);
