// Parsing --attr arguments: names through the attribute table, numbers in decimal, values by
// form (text as given, decimal or 0x integers, address literals, 0x octets), and every refusal
// worded with the attribute it concerns, the library's reason included.
#include "attribute_parse.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "attribute_names.h"

namespace {

constexpr std::size_t kMaxOctets = 253;  // RFC 2865 section 5

// Decimal digits only, into value (at most max): false for anything else.
bool ParseDecimal(const char* text, std::size_t length, std::uint64_t max, std::uint64_t* value) {
    if (length == 0 || length > 10) return false;
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        v = v * 10 + static_cast<std::uint64_t>(text[i] - '0');
    }
    if (v > max) return false;
    *value = v;
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool HasHexPrefix(const char* text) {
    return text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

// "0x" and an even number of hex digits: the octets, their count in *count. false otherwise.
bool ParseHexOctets(const char* text, std::uint8_t* out, std::size_t capacity, std::size_t* count) {
    const char* digits = text + 2;
    const std::size_t n = std::strlen(digits);
    if (n == 0 || n % 2 != 0 || n / 2 > capacity) return false;
    for (std::size_t i = 0; i < n; i += 2) {
        const int hi = HexDigit(digits[i]), lo = HexDigit(digits[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out[i / 2] = static_cast<std::uint8_t>(hi * 16 + lo);
    }
    *count = n / 2;
    return true;
}

int Refuse(char* reason, std::size_t size, const char* attribute, const char* why) {
    std::snprintf(reason, size, "--attr %s: %s", attribute, why);
    return -1;
}

int Library(int status, char* reason, std::size_t size, const char* attribute) {
    if (status == QVRAD_OK) return 0;
    return Refuse(reason, size, attribute, qvrad_error_detail());
}

}  // namespace

int AddAttributeArgument(const char* argument, qvrad_attrs* attrs, char* reason, std::size_t size) {
    const char* eq = std::strchr(argument, '=');
    if (eq == nullptr || eq == argument)
        return Refuse(reason, size, argument, "not NAME=VALUE (a name, TYPE or 26:VENDOR:TYPE)");
    const std::size_t nameLength = static_cast<std::size_t>(eq - argument);
    char name[96];
    std::snprintf(name, sizeof name, "%.*s", static_cast<int>(nameLength < 95 ? nameLength : 95),
                  argument);
    const char* value = eq + 1;
    if (value[0] == '\0') return Refuse(reason, size, name, "an empty value is never sent");

    // 26:VENDOR:TYPE, RFC 2865 section 5.26.
    if (std::strncmp(name, "26:", 3) == 0) {
        const char* vendorText = name + 3;
        const char* colon = std::strchr(vendorText, ':');
        std::uint64_t vendor = 0, type = 0;
        if (colon == nullptr ||
            !ParseDecimal(vendorText, static_cast<std::size_t>(colon - vendorText), 0xFFFFFF,
                          &vendor) ||
            !ParseDecimal(colon + 1, std::strlen(colon + 1), 255, &type))
            return Refuse(reason, size, name,
                          "a vendor attribute is 26:VENDOR:TYPE, vendor 1 to 16777215, type 1 "
                          "to 255, in decimal");
        std::uint8_t octets[kMaxOctets];
        std::size_t count = 0;
        if (HasHexPrefix(value)) {
            if (!ParseHexOctets(value, octets, sizeof octets, &count))
                return Refuse(reason, size, name,
                              "0x and an even number of hex digits, 1 to 247 octets");
            return Library(qvrad_attrs_add_vendor(attrs, static_cast<std::uint32_t>(vendor),
                                                  static_cast<int>(type), octets, count),
                           reason, size, name);
        }
        return Library(qvrad_attrs_add_vendor(attrs, static_cast<std::uint32_t>(vendor),
                                              static_cast<int>(type), value, std::strlen(value)),
                       reason, size, name);
    }

    // A name from the table, or a number: its form then from the table, or octets (0x) or text.
    const AttributeName* known = FindAttributeByName(name, std::strlen(name));
    std::uint64_t number = 0;
    if (known == nullptr) {
        if (!ParseDecimal(name, std::strlen(name), 255, &number) || number == 0)
            return Refuse(reason, size, name,
                          "not an attribute name of the table (see --help) nor a type 1 to 255");
        known = FindAttributeName(static_cast<std::uint32_t>(number));
    } else {
        number = known->type;
    }
    const int type = static_cast<int>(number);
    const ValueForm form = known != nullptr ? known->form : ValueForm::kHex;
    switch (form) {
        case ValueForm::kInteger: {
            std::uint64_t v = 0;
            std::uint8_t octets[4];
            std::size_t count = 0;
            if (HasHexPrefix(value) && ParseHexOctets(value, octets, sizeof octets, &count) &&
                count == 4)
                v = (std::uint64_t{octets[0]} << 24) | (std::uint64_t{octets[1]} << 16) |
                    (std::uint64_t{octets[2]} << 8) | octets[3];
            else if (!ParseDecimal(value, std::strlen(value), 0xFFFFFFFFu, &v))
                return Refuse(reason, size, name,
                              "an integer: 0 to 4294967295 in decimal, or 0x and 8 hex digits");
            return Library(qvrad_attrs_add_int(attrs, type, static_cast<std::uint32_t>(v)), reason,
                           size, name);
        }
        case ValueForm::kAddress:
            if (std::strchr(value, ':') != nullptr)
                return Library(qvrad_attrs_add_ipv6(attrs, type, value), reason, size, name);
            return Library(qvrad_attrs_add_ipv4(attrs, type, value), reason, size, name);
        case ValueForm::kText:
            return Library(qvrad_attrs_add_text(attrs, type, value), reason, size, name);
        case ValueForm::kHex:
            break;
    }
    if (HasHexPrefix(value)) {
        std::uint8_t octets[kMaxOctets];
        std::size_t count = 0;
        if (!ParseHexOctets(value, octets, sizeof octets, &count))
            return Refuse(reason, size, name,
                          "0x and an even number of hex digits, 1 to 253 octets");
        return Library(qvrad_attrs_add_octets(attrs, type, octets, count), reason, size, name);
    }
    return Library(qvrad_attrs_add_text(attrs, type, value), reason, size, name);
}
