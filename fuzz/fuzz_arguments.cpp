// Fuzz target for auth's argument checks: six arbitrary strings through CheckAuthArguments,
// held to the documented rules worked out with the C library, then through auth itself, from
// which only the fixed texts may come.
//
// Input: byte 0 bits 0..5 make argument i a null pointer; byte 1 bits 0..5 stretch argument i
// by repetition to 2040..2055 bytes, across the 2048-byte limit; the rest holds the six texts
// separated by NUL bytes (missing ones are empty). Order: server, port, secret, user, password,
// timeout.
//
// auth is called with the server forced to 127.0.0.1, the port to a local UDP socket that never
// answers and the timeout to 1 wherever each of these passes its own check, which leaves the
// outcome of the checks as it was (a server list that passes becomes that one address). A refused
// call returns at once; an accepted one waits its whole second, so only the first few accepted
// inputs of a process reach auth.
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "api/arguments.h"
#include "api/module.h"
#include "api/result.h"
#include "fuzz_support.h"
#include "platform/platform.h"
#include "qvRadClient.h"
#include "tls/tls_session.h"
#include "tls/tls_settings.h"

namespace {

constexpr std::size_t kLimit = 2048;
constexpr int kAcceptedCallsPerProcess = 3;

// A UDP socket on 127.0.0.1 that is never read: accepted calls send there and time out.
struct Sink {
    platform::SocketHandle socket = platform::kInvalidSocket;
    char port[8] = {};
    Sink() {
        socket = platform::UdpSocketOpen();
        std::uint16_t number = 0;
        FUZZ_CHECK(socket != platform::kInvalidSocket);
        FUZZ_CHECK(platform::SocketBindIPv4(socket, platform::ParseIPv4("127.0.0.1"), 0) == 0);
        FUZZ_CHECK(platform::SocketLocalPort(socket, &number) == 0 && number != 0);
        std::snprintf(port, sizeof port, "%u", number);
    }
};

Sink& TheSink() {
    static Sink* sink = new Sink;  // kept open for the process
    return *sink;
}

std::size_t Length(const char* text) {
    return text == nullptr ? 0 : strnlen(text, kLimit);
}

bool AllSpace(const char* text) {
    for (; *text != '\0'; ++text)
        if (!std::isspace(static_cast<unsigned char>(*text))) return false;
    return true;
}

// atoi's reading (strtol in base 10) with a value outside int refused.
bool ParseInt(const char* text, long* value) {
    errno = 0;
    char* end = nullptr;
    const long parsed = std::strtol(text, &end, 10);
    if (errno == ERANGE || parsed > INT_MAX || parsed < INT_MIN) return false;
    *value = parsed;
    return true;
}

// A positive number whose low 16 bits, the port used, are not 0.
bool PortPasses(const char* port) {
    long value = 0;
    return port != nullptr && Length(port) < kLimit && ParseInt(port, &value) && value > 0 &&
           value % 65536 != 0;
}

bool TimeoutPasses(const char* timeout) {
    long value = 0;
    return timeout != nullptr && Length(timeout) < kLimit && ParseInt(timeout, &value) &&
           value >= 1 && value <= 19;
}

// The server's entries as the README states them: the text itself without a comma; with commas,
// each piece trimmed of white space, none empty, at most 10. Their starts and lengths in the
// text, and how many; -1 when refused.
struct Entries {
    std::size_t start[11];
    std::size_t length[11];
};

int SplitServer(const char* server, Entries* e) {
    const std::size_t length = std::strlen(server);
    if (std::memchr(server, ',', length) == nullptr) {
        e->start[0] = 0;
        e->length[0] = length;
        return 1;
    }
    int count = 0;
    for (std::size_t begin = 0; begin <= length;) {
        const void* comma = std::memchr(server + begin, ',', length - begin);
        const std::size_t end =
            comma != nullptr ? static_cast<std::size_t>(static_cast<const char*>(comma) - server)
                             : length;
        std::size_t first = begin, last = end;
        while (first < last && std::isspace(static_cast<unsigned char>(server[first]))) ++first;
        while (last > first && std::isspace(static_cast<unsigned char>(server[last - 1]))) --last;
        if (first == last || count == 10) return -1;
        e->start[count] = first;
        e->length[count++] = last - first;
        begin = end + 1;
    }
    return count;
}

// A tls:// entry needs a host after the scheme, and a build and process that can make a TLS
// session (the settings are the process's, read at load: none here unless the run sets them).
bool TlsEntryPasses(const char* entry, std::size_t length) {
    static const char kScheme[] = "tls://";
    if (length < sizeof kScheme - 1 || std::memcmp(entry, kScheme, sizeof kScheme - 1) != 0)
        return true;
    return length > sizeof kScheme - 1 && TlsBuiltIn() && !TlsSettingsEmpty(ProcessTlsSettings());
}

bool ServerPasses(const char* server) {
    Entries e;
    if (server == nullptr || Length(server) == 0 || Length(server) >= kLimit) return false;
    const int count = SplitServer(server, &e);
    if (count <= 0) return false;
    for (int i = 0; i < count; ++i)
        if (!TlsEntryPasses(server + e.start[i], e.length[i])) return false;
    return true;
}

// The rules as the README states them.
bool ShouldAccept(const char* const a[6]) {
    for (int i = 0; i < 6; ++i)
        if (a[i] == nullptr || Length(a[i]) >= kLimit) return false;
    const std::size_t server = Length(a[0]), secret = Length(a[2]), user = Length(a[3]),
                      password = Length(a[4]);
    if (server == 0 || user == 0 || password == 0 || secret == 0) return false;
    if (user > 253 || password > 128 || secret > 256) return false;
    if (AllSpace(a[3]) || AllSpace(a[4])) return false;
    return ServerPasses(a[0]) && PortPasses(a[1]) && TimeoutPasses(a[5]);
}

int g_acceptedCalls = 0;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FUZZ_CHECK(ModuleProcessAttach() == 0);
    TheSink();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const std::uint8_t nulls = in.Byte();
    const std::uint8_t stretch = in.Byte();
    std::size_t restLength = 0;
    const std::uint8_t* rest = in.Rest(&restLength);
    std::string texts[6];
    for (std::size_t i = 0, field = 0; i < restLength && field < 6; ++i) {
        if (rest[i] == 0)
            ++field;
        else
            texts[field].push_back(static_cast<char>(rest[i]));
    }
    const char* args[6];
    for (int i = 0; i < 6; ++i) {
        std::string& t = texts[i];
        if ((stretch >> i & 1) != 0 && !t.empty()) {
            const std::size_t target = 2040 + t.size() % 16;
            while (t.size() < target) t += t.substr(0, target - t.size());
        }
        args[i] = (nulls >> i & 1) != 0 ? nullptr : t.c_str();
    }

    const AuthArguments raw = {args[0], args[1], args[2], args[3], args[4], args[5]};
    static CheckedArguments checked;  // large: kept out of the stack
    checked.port = 0xBEEF;
    checked.timeoutSeconds = -7;
    const int rc = CheckAuthArguments(raw, &checked);
    const bool accept = ShouldAccept(args);
    FUZZ_CHECK(rc == (accept ? 0 : -1));
    if (accept) {
        long port = 0, timeout = 0;
        FUZZ_CHECK(ParseInt(args[1], &port) && ParseInt(args[5], &timeout));
        FUZZ_CHECK(checked.port ==
                   static_cast<std::uint16_t>(static_cast<unsigned long>(port) & 0xFFFF));
        FUZZ_CHECK(checked.timeoutSeconds == timeout);
        Entries e;
        const int count = SplitServer(args[0], &e);
        FUZZ_CHECK(checked.servers.count == count);
        for (int i = 0; i < count; ++i) {
            const char* entry = checked.servers.text + checked.servers.entry[i];
            FUZZ_CHECK(std::strlen(entry) == e.length[i] &&
                       std::memcmp(entry, args[0] + e.start[i], e.length[i]) == 0);
        }
    } else {
        FUZZ_CHECK(checked.port == 0xBEEF && checked.timeoutSeconds == -7);  // untouched
    }

    // Nothing leaves this host: each argument that passes its own check is replaced by one
    // that passes too.
    const char* forced[6] = {args[0], args[1], args[2], args[3], args[4], args[5]};
    if (ServerPasses(args[0])) forced[0] = "127.0.0.1";
    if (PortPasses(args[1])) forced[1] = TheSink().port;
    if (TimeoutPasses(args[5])) forced[5] = "1";
    const AuthArguments f = {forced[0], forced[1], forced[2], forced[3], forced[4], forced[5]};
    static CheckedArguments unused;
    FUZZ_CHECK(CheckAuthArguments(f, &unused) == rc);

    if (!accept || g_acceptedCalls < kAcceptedCallsPerProcess) {
        if (accept) ++g_acceptedCalls;
        const char* text = auth(forced[0], forced[1], forced[2], forced[3], forced[4], forced[5]);
        FUZZ_CHECK(text != nullptr);
        // Refused: nothing sent. Accepted: the sink never answers.
        FUZZ_CHECK(std::strcmp(text, accept ? kResultNetworkFail : kResultInvalidInput) == 0);
    }
    return 0;
}
