// The exports of request attributes and accounting (include/qvrad.h): every argument checked,
// a reason kept for each refusal, and the calls handed to login/accounting.cpp.
#include <cstring>
#include <new>

#include "api/arguments.h"
#include "api/call_outline.h"
#include "login/accounting.h"
#include "login/attrs.h"
#include "login/client_config.h"
#include "login/error_detail.h"
#include "login/login.h"
#include "platform/platform.h"
#include "qvrad.h"

namespace {

int Refused(const char* reason) {
    SetErrorDetail(reason);
    return QVRAD_E_ARGUMENT;
}

int Added(const char* refusal) {
    if (refusal == nullptr) {
        SetErrorDetail("");
        return QVRAD_OK;
    }
    return Refused(refusal);
}

// The length of text when it holds 1 to limit octets, else 0; never reads past limit + 1.
std::size_t TextWithin(const char* text, std::size_t limit) {
    if (text == nullptr) return 0;
    const void* end = std::memchr(text, '\0', limit + 1);
    return end == nullptr ? 0 : static_cast<std::size_t>(static_cast<const char*>(end) - text);
}

std::uint32_t TypeOf(int type) {
    return type < 0 ? 0 : static_cast<std::uint32_t>(type);  // 0: refused as out of range
}

int AddAddress(qvrad_attrs* attrs, int type, const char* text, std::uint8_t family) {
    if (attrs == nullptr) return Refused("no attribute list");
    platform::IpAddress address;
    if (text == nullptr || TextWithin(text, 63) == 0 ||
        platform::ParseAddressLiteral(text, &address) != 0 || address.family != family)
        return Refused(family == platform::kFamilyIPv4 ? "not an IPv4 address (a.b.c.d)"
                                                       : "not an IPv6 address");
    return Added(AddRequestAttribute(attrs->list, TypeOf(type), address.bytes,
                                     family == platform::kFamilyIPv4 ? 4 : 16));
}

bool KnownStatusType(int status) {
    return status == QVRAD_ACCT_START || status == QVRAD_ACCT_STOP ||
           status == QVRAD_ACCT_INTERIM_UPDATE || status == QVRAD_ACCT_ON ||
           status == QVRAD_ACCT_OFF;
}

}  // namespace

extern "C" {

QVRAD_API int QVRAD_CALL qvrad_attrs_new(qvrad_attrs** attrs) {
    if (attrs == nullptr) return Refused("attrs: NULL");
    *attrs = new (std::nothrow) qvrad_attrs;
    if (*attrs == nullptr)
        return Refuse("attrs", "no memory for an attribute list", QVRAD_E_MEMORY);
    SetErrorDetail("");
    return QVRAD_OK;
}

QVRAD_API int QVRAD_CALL qvrad_attrs_add_text(qvrad_attrs* attrs, int type, const char* text) {
    if (attrs == nullptr) return Refused("no attribute list");
    const std::size_t n = TextWithin(text, rad::kMaxTextLength);
    if (n == 0)
        return Refused(text == nullptr || text[0] == '\0' ? "a text is 1 to 253 octets"
                                                          : "a value over 253 octets");
    return Added(AddRequestAttribute(attrs->list, TypeOf(type),
                                     reinterpret_cast<const std::uint8_t*>(text), n));
}

QVRAD_API int QVRAD_CALL qvrad_attrs_add_int(qvrad_attrs* attrs, int type, uint32_t value) {
    if (attrs == nullptr) return Refused("no attribute list");
    // RFC 2865 section 5: integers are 32 bits, most significant octet first.
    const std::uint8_t bytes[4] = {
        static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
        static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
    return Added(AddRequestAttribute(attrs->list, TypeOf(type), bytes, sizeof bytes));
}

QVRAD_API int QVRAD_CALL qvrad_attrs_add_ipv4(qvrad_attrs* attrs, int type, const char* address) {
    return AddAddress(attrs, type, address, platform::kFamilyIPv4);
}

QVRAD_API int QVRAD_CALL qvrad_attrs_add_ipv6(qvrad_attrs* attrs, int type, const char* address) {
    return AddAddress(attrs, type, address, platform::kFamilyIPv6);
}

QVRAD_API int QVRAD_CALL qvrad_attrs_add_octets(qvrad_attrs* attrs, int type, const void* value,
                                                size_t length) {
    if (attrs == nullptr) return Refused("no attribute list");
    return Added(AddRequestAttribute(attrs->list, TypeOf(type),
                                     static_cast<const std::uint8_t*>(value), length));
}

QVRAD_API int QVRAD_CALL qvrad_attrs_add_vendor(qvrad_attrs* attrs, uint32_t vendor,
                                                int vendor_type, const void* value, size_t length) {
    if (attrs == nullptr) return Refused("no attribute list");
    return Added(AddVendorAttribute(attrs->list, vendor, TypeOf(vendor_type),
                                    static_cast<const std::uint8_t*>(value), length));
}

QVRAD_API void QVRAD_CALL qvrad_attrs_free(qvrad_attrs* attrs) {
    delete attrs;
}

QVRAD_API int QVRAD_CALL qvrad_client_set_acct_port(qvrad_client* c, int index, int port) {
    if (c == nullptr) return RefuseNull("client");
    if (c->frozen.load(std::memory_order_acquire))
        return Refuse("client", "in use by a login or an accounting call: its settings are fixed",
                      QVRAD_E_BUSY);
    if (index < 0 || index >= c->serverCount)
        return RefuseNumber("index", index, 0, c->serverCount - 1);
    if (port < 1 || port > 65535) return RefuseNumber("port", port, 1, 65535);
    c->servers[index].acctPort = static_cast<std::uint16_t>(port);
    SetErrorDetail("");
    return QVRAD_OK;
}

QVRAD_API int QVRAD_CALL qvrad_acct_send(qvrad_client* c, int status_type, const char* session_id,
                                         const char* user, const qvrad_attrs* attrs) {
    if (c == nullptr || c->serverCount == 0)
        return Refused("no client, or a client without servers");
    if (!KnownStatusType(status_type))
        return Refused(
            "Acct-Status-Type is Start 1, Stop 2, Interim-Update 3, Accounting-On 7 "
            "or Accounting-Off 8");
    const bool onOff = status_type == QVRAD_ACCT_ON || status_type == QVRAD_ACCT_OFF;
    // RFC 2866 section 5.5: every record of a session carries its Acct-Session-Id; On and Off
    // are about the NAS, not a session.
    if (session_id == nullptr && !onOff)
        return Refused("Acct-Session-Id is required for Start, Stop and Interim-Update");
    if (session_id != nullptr && TextWithin(session_id, rad::kMaxTextLength) == 0)
        return Refused("Acct-Session-Id is 1 to 253 octets");
    if (user != nullptr && CheckCredential(user, rad::kMaxTextLength) != 0)
        return Refused("User-Name is 1 to 253 octets, not only white space");
    const RequestAttributes* extra = attrs != nullptr ? &attrs->list : nullptr;
    if (extra != nullptr && HasRequestAttribute(*extra, rad::kAcctStatusType))
        return Refused("Acct-Status-Type (40) is the library's own: it comes from status_type");
    if (extra != nullptr && HasRequestAttribute(*extra, rad::kAcctSessionId))
        return Refused("Acct-Session-Id (44) is the library's own: it comes from session_id");
    SetErrorDetail("");
    c->frozen.store(true, std::memory_order_release);
    const AccountingArguments arguments = {static_cast<std::uint32_t>(status_type), session_id,
                                           user, extra};
    return RunAccounting(*c, arguments);
}

QVRAD_API int QVRAD_CALL qvrad_acct_flush(qvrad_client* c, size_t* sent, size_t* left) {
    if (sent != nullptr) *sent = 0;
    if (left != nullptr) *left = 0;
    if (c == nullptr || c->serverCount == 0)
        return Refused("no client, or a client without servers");
    if (c->spoolDir[0] == '\0')
        return Refused("the client has no spool folder (QVRAD_OPT_SPOOL_DIR)");
    SetErrorDetail("");
    c->frozen.store(true, std::memory_order_release);
    return FlushAccountingSpool(*c, sent, left);
}

}  // extern "C"
