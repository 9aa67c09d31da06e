// qvrad-auth's names for the standard RADIUS attributes and how each value is shown, shared by
// --attributes and --verbose: text escaped, integers in decimal, addresses, the rest in hex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

enum class ValueForm : std::uint8_t { kText, kInteger, kAddress, kHex };

struct AttributeName {
    std::uint8_t type;
    const char* name;
    ValueForm form;
};

// The RFC 2865, RFC 2866, RFC 2869, RFC 3162 and RFC 6911 name of a standard attribute type,
// or null.
const AttributeName* FindAttributeName(std::uint32_t type);
// The same by its name (length characters, ASCII case ignored), or null.
const AttributeName* FindAttributeByName(const char* name, std::size_t length);

// Writes "NAME = VALUE" without a line ending: the name from the table (Attr-N for a type it
// lacks), the value as its form says ("..." escaped, decimal, an address, or 0x and hex digits).
// An integer or address of another length than its form has is shown in hex.
void WriteAttribute(std::FILE* out, std::uint32_t type, const std::uint8_t* value,
                    std::size_t length);

// Writes the value alone in the given form, as WriteAttribute does.
void WriteAttributeValue(std::FILE* out, ValueForm form, const std::uint8_t* value,
                         std::size_t length);

// A Vendor-Specific sub-attribute (RFC 2865 section 5.26), as --attributes and --verbose both
// name it, without a line ending: "Vendor-Specific vendor=N type=M = VALUE", the value as quoted
// text when it is printable text (Cisco-AVPair's "shell:priv-lvl=15"), else 0x and hex.
void WriteVendorAttribute(std::FILE* out, std::uint32_t vendor, std::uint32_t type,
                          const std::uint8_t* value, std::size_t length);

// One attribute of a packet as the rows qvrad_login_attribute hands out for it, each after lead
// and ended by a newline: a Vendor-Specific of the usual layout one row per sub-attribute, any
// other (a malformed Vendor-Specific too) one row.
void WriteAttributeRows(std::FILE* out, const char* lead, std::uint8_t type,
                        const std::uint8_t* value, std::size_t length);
