// The argument checks of auth, in their fixed order, and the overflow-safe atoi-style parse.
// A refused call sends nothing and returns "6007#0#INVALID_INPUT_ERR".
#pragma once

#include <cstddef>
#include <cstdint>

#include "tls/tls_settings.h"

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

constexpr std::size_t kArgumentLimit = 2048;  // scratch and result buffers are 2048 bytes
constexpr int kMaxServerEntries = 10;         // the client's entries

// The server argument as a list of entries, each NUL-terminated in place in text.
struct ServerList {
    char text[kArgumentLimit];
    std::uint16_t entry[kMaxServerEntries];  // offset of each entry's first character in text
    std::int32_t count;
};

// Splits a server argument of length characters. Without a comma it is one entry, exactly as
// given. With commas, each entry is trimmed of white space at both ends; an empty entry (a,,b
// or a comma first or last), one of white space only, or more than 10 entries: -1.
int SplitServerList(const char* server, std::size_t length, ServerList* list);

struct CheckedArguments {
    std::uint16_t port;  // the parsed port reduced to its low 16 bits, never 0
    std::int32_t timeoutSeconds;
    ServerList servers;
};

// The entries written tls:// need a host, a build with TLS and TLS settings of some kind (their
// completeness is the exchange's to judge, entry by entry): 0, or -1.
int CheckTlsEntries(const ServerList& list);

// The check auth makes of its user and password, for the structured interface's logins and
// answers: 0 when text is not null, holds 1 to limit octets (measured within the 2048-byte
// bound) and something other than white space.
int CheckCredential(const char* text, std::size_t limit);

// 0 when every check passes, -1 at the first failure.
int CheckAuthArguments(const AuthArguments& args, CheckedArguments* checked);
// The same checks of server, port, secret and timeout alone, for a Status-Server, which sends no
// credentials (user and password are not read).
int CheckStatusArguments(const AuthArguments& args, CheckedArguments* checked);
