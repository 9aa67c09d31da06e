// The argument checks of auth. Lengths are measured with a bound, so a huge or unterminated
// argument is never scanned past 2048 bytes, and nothing is copied before the limits hold.
#include "api/arguments.h"

#include <cctype>
#include <climits>
#include <cstddef>
#include <cstring>

#include "radius/constants.h"
#include "tls/tls_session.h"
#include "tls/tls_settings.h"

namespace {

std::size_t BoundedLength(const char* text) {
    // memchr stops at the first match as if reading byte by byte (C11 7.24.5.1), so it reads
    // no further than the byte loop it replaces, a word at a time.
    const void* end = std::memchr(text, '\0', kArgumentLimit);
    return end == nullptr ? kArgumentLimit
                          : static_cast<std::size_t>(static_cast<const char*>(end) - text);
}

bool IsSpace(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// True when the text is something other than white space alone: the same answer as trimming a
// copy and testing it for emptiness, without copying a password into a scratch buffer.
bool HasNonSpace(const char* text, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i)
        if (!IsSpace(text[i])) return true;
    return false;
}

}  // namespace

int SplitServerList(const char* server, std::size_t length, ServerList* list) {
    list->count = 0;
    if (length >= kArgumentLimit) return -1;
    std::memcpy(list->text, server, length);
    list->text[length] = '\0';
    if (std::memchr(server, ',', length) == nullptr) {
        list->entry[list->count++] = 0;
        return 0;
    }
    // No host name or address holds a comma (RFC 1123 section 2.1), so a comma only separates.
    std::size_t begin = 0;
    for (std::size_t i = 0; i <= length; ++i) {
        if (i < length && list->text[i] != ',') continue;
        std::size_t first = begin, last = i;
        while (first < last && IsSpace(list->text[first])) ++first;
        while (last > first && IsSpace(list->text[last - 1])) --last;
        if (first == last || list->count >= kMaxServerEntries) return -1;
        list->text[last] = '\0';
        list->entry[list->count++] = static_cast<std::uint16_t>(first);
        begin = i + 1;
    }
    return 0;
}

int ParseAtoiChecked(const char* text, int* value) {
    std::size_t i = 0;
    while (IsSpace(text[i])) ++i;
    bool negative = false;
    if (text[i] == '+' || text[i] == '-') {
        negative = text[i] == '-';
        ++i;
    }
    // Magnitudes up to INT_MAX + 1 are representable (the negative end); beyond that, refuse.
    const long long limit = static_cast<long long>(INT_MAX) + (negative ? 1 : 0);
    long long magnitude = 0;
    for (; text[i] >= '0' && text[i] <= '9'; ++i) {
        magnitude = magnitude * 10 + (text[i] - '0');
        if (magnitude > limit) return -1;
    }
    *value = static_cast<int>(negative ? -magnitude : magnitude);
    return 0;
}

namespace {

// Measures each text within its bound: -1 when one is null, or 2048 bytes or longer.
int MeasureArguments(const char* const* all, int count, std::size_t* lengths) {
    for (int i = 0; i < count; ++i) {
        if (all[i] == nullptr) return -1;
        lengths[i] = BoundedLength(all[i]);
        if (lengths[i] >= kArgumentLimit) return -1;
    }
    return 0;
}

// Port and timeout, parsed as atoi does; the last checks of both calls. The port keeps its low
// 16 bits (a UDP port is 16 bits, RFC 768); one whose low 16 bits are 0 (65536, 131072, ...) is
// refused like 0 itself, since nothing can be sent to port 0.
int CheckPortAndTimeout(const char* portText, const char* timeoutText, CheckedArguments* checked) {
    int parsed = 0;
    if (ParseAtoiChecked(portText, &parsed) != 0 || parsed <= 0) return -1;
    const std::uint16_t port = static_cast<std::uint16_t>(static_cast<unsigned>(parsed) & 0xFFFFu);
    if (port == 0) return -1;
    int timeout = 0;
    if (ParseAtoiChecked(timeoutText, &timeout) != 0 || timeout < 1 || timeout > 19) return -1;
    checked->port = port;
    checked->timeoutSeconds = timeout;
    return 0;
}

}  // namespace

int CheckCredential(const char* text, std::size_t limit) {
    if (text == nullptr) return -1;
    const std::size_t length = BoundedLength(text);
    return length != 0 && length <= limit && HasNonSpace(text, length) ? 0 : -1;
}

int CheckTlsEntries(const ServerList& list) {
    for (std::int32_t i = 0; i < list.count; ++i) {
        const char* entry = list.text + list.entry[i];
        if (!HasTlsScheme(entry)) continue;
        // RFC 6614: the host and the settings that make a TLS session are the caller's to give;
        // without them, or without TLS in this build, nothing is sent and nothing falls back.
        if (entry[sizeof kTlsScheme - 1] == '\0' || !TlsBuiltIn() ||
            TlsSettingsEmpty(ProcessTlsSettings()))
            return -1;
    }
    return 0;
}

int CheckAuthArguments(const AuthArguments& args, CheckedArguments* checked) {
    const char* const all[6] = {args.server, args.port,     args.secret,
                                args.user,   args.password, args.timeout};
    std::size_t lengths[6];
    if (MeasureArguments(all, 6, lengths) != 0) return -1;
    const std::size_t serverLength = lengths[0], secretLength = lengths[2], userLength = lengths[3],
                      passwordLength = lengths[4];
    // What the packet and the secret record can hold, and a secret to hide and verify with.
    if (userLength > rad::kMaxTextLength || passwordLength > rad::kMaxPasswordLength ||
        secretLength > rad::kMaxSecretLength || secretLength == 0)
        return -1;
    if (serverLength == 0 || userLength == 0 || passwordLength == 0) return -1;
    if (!HasNonSpace(args.user, userLength) || !HasNonSpace(args.password, passwordLength))
        return -1;
    if (SplitServerList(args.server, serverLength, &checked->servers) != 0) return -1;
    if (CheckTlsEntries(checked->servers) != 0) return -1;
    return CheckPortAndTimeout(args.port, args.timeout, checked);
}

int CheckStatusArguments(const AuthArguments& args, CheckedArguments* checked) {
    const char* const all[4] = {args.server, args.port, args.secret, args.timeout};
    std::size_t lengths[4];
    if (MeasureArguments(all, 4, lengths) != 0) return -1;
    // A secret to sign the Message-Authenticator and verify the reply with.
    if (lengths[0] == 0 || lengths[2] == 0 || lengths[2] > rad::kMaxSecretLength) return -1;
    // One server: a probe asks one server whether it is alive, never a list.
    if (SplitServerList(args.server, lengths[0], &checked->servers) != 0 ||
        checked->servers.count != 1)
        return -1;
    return CheckPortAndTimeout(args.port, args.timeout, checked);
}
