// The PSK file: read whole into a stack buffer, parsed, compared with the shared secret in
// constant time, and every copy but the caller's wiped at the one exit.
#include "tls/tls_psk.h"

#include "platform/platform.h"
#include "tls/tls_settings.h"

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Equal lengths and octets, in time that depends on the length alone.
bool SameOctets(const std::uint8_t* a, std::size_t aLength, const std::uint8_t* b,
                std::size_t bLength) {
    if (aLength != bLength) return false;
    unsigned difference = 0;
    for (std::size_t i = 0; i < aLength; ++i) difference |= static_cast<unsigned>(a[i] ^ b[i]);
    return difference == 0;
}

// Where the digits begin in a text ParsePskHex accepted (after the white space before them).
const char* HexDigits(const char* text, int length) {
    int at = 0;
    while (at < length && IsSpace(text[at])) ++at;
    return text + at;
}

// The file's room: 64 octets as hex, with generous white space around them.
constexpr std::size_t kPskFileRoom = 512;

}  // namespace

int ParsePskHex(const char* text, std::size_t length, std::uint8_t* out, std::size_t capacity) {
    std::size_t begin = 0;
    while (begin < length && IsSpace(text[begin])) ++begin;
    while (length > begin && IsSpace(text[length - 1])) --length;
    const std::size_t digits = length - begin;
    if (digits % 2 != 0 || digits / 2 > capacity) return -1;
    for (std::size_t i = 0; i < digits / 2; ++i) {
        const int high = HexValue(text[begin + 2 * i]);
        const int low = HexValue(text[begin + 2 * i + 1]);
        if (high < 0 || low < 0) {
            platform::SecureZero(out, capacity);
            return -1;
        }
        out[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
    return static_cast<int>(digits / 2);
}

int LoadPsk(const char* path, const std::uint8_t* secret, std::size_t secretLength,
            std::uint8_t* psk, std::size_t* length, const char** reason) {
    char text[kPskFileRoom];
    *length = 0;
    const char* why = nullptr;
    const int read = platform::ReadSmallFile(path, text, sizeof text);
    int octets = -1;
    if (read == -2)
        why = "the PSK file (QVRAD_TLS_PSK_FILE) is larger than a 64-octet key in hex";
    else if (read < 0)
        why = "the PSK file (QVRAD_TLS_PSK_FILE) cannot be read";
    else if ((octets = ParsePskHex(text, static_cast<std::size_t>(read), psk, kMaxPskLength)) < 0)
        why = "the PSK file (QVRAD_TLS_PSK_FILE) holds no key in hex of at most 64 octets";
    else if (static_cast<std::size_t>(octets) < kMinPskLength)
        why = "the PSK in QVRAD_TLS_PSK_FILE is shorter than 16 octets";
    else if (SameOctets(psk, static_cast<std::size_t>(octets), secret, secretLength) ||
             SameOctets(reinterpret_cast<const std::uint8_t*>(HexDigits(text, read)),
                        2 * static_cast<std::size_t>(octets), secret, secretLength))
        why = "the PSK in QVRAD_TLS_PSK_FILE is the RADIUS shared secret: use another key";
    platform::SecureZero(text, sizeof text);
    if (why != nullptr) {
        platform::SecureZero(psk, kMaxPskLength);
        if (reason != nullptr) *reason = why;
        return -1;
    }
    *length = static_cast<std::size_t>(octets);
    if (reason != nullptr) *reason = "";
    return 0;
}
