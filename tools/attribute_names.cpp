// The attribute table qvrad-auth prints with: names and value forms of RFC 2865 section 5,
// RFC 2869 section 5 and RFC 3162 section 2, kept in the tool (the library hands out numbers).
#include "attribute_names.h"

#include <cstring>

#include "login/reply_view.h"
#include "platform/platform.h"
#include "radius/constants.h"
#include "text_escape.h"

namespace {

constexpr ValueForm kText = ValueForm::kText;
constexpr ValueForm kInteger = ValueForm::kInteger;  // 4 octets, network order (RFC 2865 s. 5)
constexpr ValueForm kAddress = ValueForm::kAddress;  // 4 octets, or 16 for IPv6 (RFC 3162)
constexpr ValueForm kHex = ValueForm::kHex;

// In type order. "text" types of RFC 8044's list are shown as text; "string" types (binary by
// definition) in hex.
const AttributeName kNames[] = {
    {1, "User-Name", kText},                     // RFC 2865 section 5.1
    {2, "User-Password", kHex},                  // 5.2 (never in a reply; --verbose hides it)
    {3, "CHAP-Password", kHex},                  // 5.3
    {4, "NAS-IP-Address", kAddress},             // 5.4
    {5, "NAS-Port", kInteger},                   // 5.5
    {6, "Service-Type", kInteger},               // 5.6
    {7, "Framed-Protocol", kInteger},            // 5.7
    {8, "Framed-IP-Address", kAddress},          // 5.8
    {9, "Framed-IP-Netmask", kAddress},          // 5.9
    {10, "Framed-Routing", kInteger},            // 5.10
    {11, "Filter-Id", kText},                    // 5.11
    {12, "Framed-MTU", kInteger},                // 5.12
    {13, "Framed-Compression", kInteger},        // 5.13
    {14, "Login-IP-Host", kAddress},             // 5.14
    {15, "Login-Service", kInteger},             // 5.15
    {16, "Login-TCP-Port", kInteger},            // 5.16
    {18, "Reply-Message", kText},                // 5.18
    {19, "Callback-Number", kText},              // 5.19
    {20, "Callback-Id", kText},                  // 5.20
    {22, "Framed-Route", kText},                 // 5.22
    {23, "Framed-IPX-Network", kAddress},        // 5.23 (four octets, shown as RFC 8044 does)
    {24, "State", kHex},                         // 5.24
    {25, "Class", kHex},                         // 5.25
    {26, "Vendor-Specific", kHex},               // 5.26 (one of an unusual layout, whole)
    {27, "Session-Timeout", kInteger},           // 5.27
    {28, "Idle-Timeout", kInteger},              // 5.28
    {29, "Termination-Action", kInteger},        // 5.29
    {30, "Called-Station-Id", kText},            // 5.30
    {31, "Calling-Station-Id", kText},           // 5.31
    {32, "NAS-Identifier", kText},               // 5.32
    {33, "Proxy-State", kHex},                   // 5.33
    {34, "Login-LAT-Service", kText},            // 5.34
    {35, "Login-LAT-Node", kText},               // 5.35
    {36, "Login-LAT-Group", kHex},               // 5.36
    {37, "Framed-AppleTalk-Link", kInteger},     // 5.37
    {38, "Framed-AppleTalk-Network", kInteger},  // 5.38
    {39, "Framed-AppleTalk-Zone", kText},        // 5.39
    {40, "Acct-Status-Type", kInteger},          // RFC 2866 section 5.1
    {41, "Acct-Delay-Time", kInteger},           // 5.2
    {42, "Acct-Input-Octets", kInteger},         // 5.3
    {43, "Acct-Output-Octets", kInteger},        // 5.4
    {44, "Acct-Session-Id", kText},              // 5.5
    {45, "Acct-Authentic", kInteger},            // 5.6
    {46, "Acct-Session-Time", kInteger},         // 5.7
    {47, "Acct-Input-Packets", kInteger},        // 5.8
    {48, "Acct-Output-Packets", kInteger},       // 5.9
    {49, "Acct-Terminate-Cause", kInteger},      // 5.10
    {50, "Acct-Multi-Session-Id", kText},        // 5.11
    {51, "Acct-Link-Count", kInteger},           // 5.12
    {52, "Acct-Input-Gigawords", kInteger},      // RFC 2869 section 5.1
    {53, "Acct-Output-Gigawords", kInteger},     // RFC 2869 section 5.2
    {55, "Event-Timestamp", kInteger},           // RFC 2869 section 5.3
    {60, "CHAP-Challenge", kHex},                // RFC 2865 section 5.40
    {61, "NAS-Port-Type", kInteger},             // 5.41
    {62, "Port-Limit", kInteger},                // 5.42
    {63, "Login-LAT-Port", kText},               // 5.43
    {70, "ARAP-Password", kHex},                 // RFC 2869 section 5.4
    {71, "ARAP-Features", kHex},                 // 5.5
    {72, "ARAP-Zone-Access", kInteger},          // 5.6
    {73, "ARAP-Security", kInteger},             // 5.7
    {74, "ARAP-Security-Data", kHex},            // 5.8
    {75, "Password-Retry", kInteger},            // 5.9
    {76, "Prompt", kInteger},                    // 5.10
    {77, "Connect-Info", kText},                 // 5.11
    {78, "Configuration-Token", kHex},           // 5.12
    {79, "EAP-Message", kHex},                   // 5.13
    {80, "Message-Authenticator", kHex},         // 5.14
    {84, "ARAP-Challenge-Response", kHex},       // 5.15
    {85, "Acct-Interim-Interval", kInteger},     // 5.16
    {87, "NAS-Port-Id", kText},                  // 5.17
    {88, "Framed-Pool", kText},                  // 5.18
    {95, "NAS-IPv6-Address", kAddress},          // RFC 3162 section 2.1
    {96, "Framed-Interface-Id", kHex},           // 2.2
    {97, "Framed-IPv6-Prefix", kHex},            // 2.3
    {98, "Login-IPv6-Host", kAddress},           // 2.4
    {99, "Framed-IPv6-Route", kText},            // 2.5
    {100, "Framed-IPv6-Pool", kText},            // 2.6
    {168, "Framed-IPv6-Address", kAddress},      // RFC 6911 section 3.1
};

}  // namespace

const AttributeName* FindAttributeName(std::uint32_t type) {
    for (const AttributeName& n : kNames)
        if (n.type == type) return &n;
    return nullptr;
}

const AttributeName* FindAttributeByName(const char* name, std::size_t length) {
    for (const AttributeName& n : kNames) {
        std::size_t i = 0;
        for (; i < length && n.name[i] != '\0'; ++i) {
            const char a =
                name[i] >= 'A' && name[i] <= 'Z' ? static_cast<char>(name[i] + 32) : name[i];
            const char b = n.name[i] >= 'A' && n.name[i] <= 'Z' ? static_cast<char>(n.name[i] + 32)
                                                                : n.name[i];
            if (a != b) break;
        }
        if (i == length && n.name[i] == '\0') return &n;
    }
    return nullptr;
}

void WriteAttributeValue(std::FILE* out, ValueForm form, const std::uint8_t* value,
                         std::size_t length) {
    if (form == ValueForm::kText) {
        std::fputc('"', out);
        WriteEscaped(out, value, length);
        std::fputc('"', out);
        return;
    }
    if (form == ValueForm::kInteger && length == 4) {
        const unsigned long number = static_cast<unsigned long>(value[0]) << 24 |
                                     static_cast<unsigned long>(value[1]) << 16 |
                                     static_cast<unsigned long>(value[2]) << 8 | value[3];
        std::fprintf(out, "%lu", number);
        return;
    }
    if (form == ValueForm::kAddress && (length == 4 || length == 16)) {
        platform::IpAddress ip;
        ip.family = length == 4 ? platform::kFamilyIPv4 : platform::kFamilyIPv6;
        std::memcpy(ip.bytes, value, length);
        char text[64];
        platform::FormatAddress(ip, text, sizeof text);
        std::fputs(text, out);
        return;
    }
    std::fputs("0x", out);
    for (std::size_t i = 0; i < length; ++i) std::fprintf(out, "%02x", value[i]);
}

void WriteAttribute(std::FILE* out, std::uint32_t type, const std::uint8_t* value,
                    std::size_t length) {
    const AttributeName* known = FindAttributeName(type);
    if (known != nullptr)
        std::fprintf(out, "%s = ", known->name);
    else
        std::fprintf(out, "Attr-%lu = ", static_cast<unsigned long>(type));
    WriteAttributeValue(out, known != nullptr ? known->form : ValueForm::kHex, value, length);
}

void WriteVendorAttribute(std::FILE* out, std::uint32_t vendor, std::uint32_t type,
                          const std::uint8_t* value, std::size_t length) {
    // The vendor's own numbering: no dictionary here, so numbers; a vendor's text values (most
    // of them, Cisco-AVPair among them) read as text.
    std::fprintf(out, "Vendor-Specific vendor=%lu type=%lu = ", static_cast<unsigned long>(vendor),
                 static_cast<unsigned long>(type));
    WriteAttributeValue(out, IsPrintableText(value, length) ? ValueForm::kText : ValueForm::kHex,
                        value, length);
}

void WriteAttributeRows(std::FILE* out, const char* lead, std::uint8_t type,
                        const std::uint8_t* value, std::size_t length) {
    if (type == rad::kVendorSpecific && VendorSubAttributes(value, length) != 0) {
        // The library's split (login/reply_view.cpp): Vendor-Id, then type, length, value.
        const std::uint32_t vendor = static_cast<std::uint32_t>(value[1]) << 16 |
                                     static_cast<std::uint32_t>(value[2]) << 8 | value[3];
        for (std::size_t at = 4; at < length; at += value[at + 1]) {
            std::fputs(lead, out);
            WriteVendorAttribute(out, vendor, value[at], value + at + 2,
                                 static_cast<std::size_t>(value[at + 1] - 2));
            std::fputc('\n', out);
        }
        return;
    }
    std::fputs(lead, out);
    WriteAttribute(out, type, value, length);
    std::fputc('\n', out);
}
