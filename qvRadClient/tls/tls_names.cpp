// Matching the server's name against subjectAltName entries: plain byte work on the entries'
// octets, so it needs no TLS library and runs the same in every build.
#include "tls/tls_names.h"

#include <cstring>

#include "platform/platform.h"

namespace {

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}

bool SameLetters(const char* a, const std::uint8_t* b, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i)
        if (Lower(a[i]) != Lower(static_cast<char>(b[i]))) return false;
    return true;
}

}  // namespace

bool DnsIdMatches(const char* reference, const std::uint8_t* presented, std::size_t length) {
    if (reference == nullptr || presented == nullptr || length == 0) return false;
    std::size_t referenceLength = std::strlen(reference);
    if (referenceLength > 0 && reference[referenceLength - 1] == '.') --referenceLength;
    if (referenceLength == 0 || IsAddressLiteral(reference)) return false;
    // No NUL inside a name: an entry with one is not the name it looks like when printed.
    if (std::memchr(presented, 0, length) != nullptr) return false;
    if (length >= 2 && presented[0] == '*' && presented[1] == '.') {
        // "*.rest": the reference's first label (not empty) stands for the "*", the rest must
        // match whole; the rest must itself hold a dot, so "*.com"-like entries match nothing.
        const std::uint8_t* rest = presented + 1;  // ".rest"
        const std::size_t restLength = length - 1;
        if (std::memchr(rest + 1, '.', restLength - 1) == nullptr) return false;
        const char* dot = static_cast<const char*>(std::memchr(reference, '.', referenceLength));
        if (dot == nullptr || dot == reference) return false;
        const std::size_t tail = referenceLength - static_cast<std::size_t>(dot - reference);
        return tail == restLength && SameLetters(dot, rest, restLength);
    }
    if (std::memchr(presented, '*', length) != nullptr) return false;
    return length == referenceLength && SameLetters(reference, presented, length);
}

bool IpIdMatches(const char* reference, const std::uint8_t* presented, std::size_t length) {
    platform::IpAddress address;
    if (reference == nullptr || presented == nullptr ||
        platform::ParseAddressLiteral(reference, &address) != 0)
        return false;
    const std::size_t size = address.family == platform::kFamilyIPv4 ? 4 : 16;
    return length == size && std::memcmp(address.bytes, presented, size) == 0;
}

bool IsAddressLiteral(const char* reference) {
    platform::IpAddress address;
    return reference != nullptr && platform::ParseAddressLiteral(reference, &address) == 0;
}
