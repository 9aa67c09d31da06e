// The NAS identification setting: the two texts parsed into one plain record, kept for the
// process and read by every call; nothing here runs per call.
#include "radius/nas_identity.h"

#include <cstring>

namespace {

bool IsAuto(const char* value) {
    const char word[] = "auto";
    for (std::size_t i = 0; i < sizeof word; ++i) {
        const char c =
            value[i] >= 'A' && value[i] <= 'Z' ? static_cast<char>(value[i] + 32) : value[i];
        if (c != word[i]) return false;  // also stops at the value's NUL
    }
    return true;
}

// Written at load, before any call can run, and between calls by the tool and the tests.
NasIdentity g_nasIdentity;

}  // namespace

void ParseNasIdentifier(const char* value, const char* hostName, NasIdentity* into) {
    const char* text = value != nullptr ? value : hostName;
    std::size_t n = 0;
    if (text != nullptr)
        while (n < rad::kMaxTextLength && text[n] != '\0') ++n;
    std::memset(into->identifier, 0, sizeof into->identifier);
    if (n != 0) std::memcpy(into->identifier, text, n);
    into->identifierLength = static_cast<std::uint16_t>(n);
}

int ParseNasIpAddress(const char* value, NasIdentity* into) {
    into->address = NasAddressSetting();
    if (value == nullptr) return 0;
    if (IsAuto(value)) {
        into->address.mode = NasAddressMode::kAuto;
        return 0;
    }
    if (platform::ParseAddressLiteral(value, &into->address.fixed) != 0) return -1;
    into->address.mode = NasAddressMode::kFixed;
    return 0;
}

const NasIdentity& ProcessNasIdentity() {
    return g_nasIdentity;
}

void SetProcessNasIdentity(const NasIdentity& identity) {
    g_nasIdentity = identity;
}
