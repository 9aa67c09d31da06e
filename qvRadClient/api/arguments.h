// The argument checks of auth, in their fixed order, and the overflow-safe atoi-style parse.
// A refused call sends nothing and returns "6007#0#INVALID_INPUT_ERR".
#pragma once

#include <cstdint>

// Parses as atoi does (leading white space, one sign, digits up to the first non-digit, none
// gives 0) but refuses, with -1, a value that does not fit in int.
int ParseAtoiChecked(const char* text, int* value);

struct AuthArguments {
    const char* server;
    const char* port;
    const char* secret;
    const char* user;
    const char* password;
    const char* timeout;
};

struct CheckedArguments {
    std::uint16_t port;  // the parsed port reduced to its low 16 bits
    std::int32_t timeoutSeconds;
};

// 0 when every check passes, -1 at the first failure.
int CheckAuthArguments(const AuthArguments& args, CheckedArguments* checked);
// The same checks of server, port, secret and timeout alone, for a Status-Server, which sends no
// credentials (user and password are not read).
int CheckStatusArguments(const AuthArguments& args, CheckedArguments* checked);
