// Building an Accounting-Request's attribute area, loading a kept one back, and its Request
// Authenticator (RFC 2866 section 3), which the exchange computes per server at preparation.
#include "radius/accounting_request.h"

#include <cstring>

#include "md5/md5.h"
#include "platform/platform.h"
#include "radius/request_attributes.h"

namespace {

int AppendInteger(CRadPacket& request, std::uint8_t type, std::uint32_t value) {
    CRadAttrCursor cursor;
    const std::uint8_t bytes[4] = {
        static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
        static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
    if (request.BeginAttribute(type, cursor) != 0) return -1;
    return cursor.AppendOctets(bytes, sizeof bytes);
}

int AppendText(CRadPacket& request, std::uint8_t type, const char* text) {
    CRadAttrCursor cursor;
    if (request.BeginAttribute(type, cursor) != 0) return -1;
    return cursor.AppendText(text);
}

}  // namespace

int BuildAccountingAttributes(CRadPacket& request, const AccountingFields& fields) {
    int rc = AppendInteger(request, rad::kAcctStatusType, fields.statusType);
    if (fields.sessionId != nullptr)
        rc |= AppendText(request, rad::kAcctSessionId, fields.sessionId);
    if (fields.user != nullptr) rc |= AppendText(request, rad::kUserName, fields.user);
    const NasIdentity& nas = *fields.nas;
    if (nas.identifierLength != 0) rc |= AppendText(request, rad::kNasIdentifier, nas.identifier);
    const RequestAttributes* extra = fields.extra;
    // The time of the event, which a record sent again later keeps, so that a server can tell a
    // repeated record from a new one.
    if (extra == nullptr || !HasRequestAttribute(*extra, rad::kEventTimestamp))
        rc |= AppendInteger(request, rad::kEventTimestamp, fields.eventTimestamp);
    // Always present, so that a record kept and sent again has a place to say how long it waited
    // without moving anything (RFC 2866 section 5.2).
    if (extra == nullptr || !HasRequestAttribute(*extra, rad::kAcctDelayTime))
        rc |= AppendInteger(request, rad::kAcctDelayTime, 0);
    const std::uint16_t reserve =
        nas.address.mode != NasAddressMode::kNone ? rad::kNasIpv6AddressLength : 0;
    if (extra != nullptr) rc |= AppendRequestAttributes(request, *extra, reserve);
    if (rc != 0 || request.Length() + reserve > rad::kMaxPacketLength) return -1;
    if (nas.address.mode != NasAddressMode::kNone) request.nasAddressOffset = request.Length();
    return 0;
}

int LoadAccountingArea(CRadPacket& request, const std::uint8_t* area, std::uint16_t length,
                       const NasIdentity& nas, std::uint32_t waited) {
    const std::uint16_t reserve =
        nas.address.mode != NasAddressMode::kNone ? rad::kNasIpv6AddressLength : 0;
    if (length > rad::kMaxPacketLength - rad::kHeaderLength - reserve) return -1;
    request.octets[0] = rad::kAccountingRequest;
    std::memcpy(request.octets + rad::kHeaderLength, area, length);
    request.SetLength(static_cast<std::uint16_t>(rad::kHeaderLength + length));
    request.nasAddressOffset = 0;
    if (request.CheckAttributes() != AttributeFault::kNone) return -1;
    std::uint8_t* at = request.octets + rad::kHeaderLength;
    std::uint8_t* const end = request.octets + rad::kHeaderLength + length;
    for (; at < end; at += at[1]) {
        if (at[0] != rad::kAcctDelayTime || at[1] != rad::kIntegerAttributeLength) continue;
        const std::uint32_t before = (static_cast<std::uint32_t>(at[2]) << 24) |
                                     (static_cast<std::uint32_t>(at[3]) << 16) |
                                     (static_cast<std::uint32_t>(at[4]) << 8) | at[5];
        const std::uint32_t after = waited > 0xFFFFFFFFu - before ? 0xFFFFFFFFu : before + waited;
        at[2] = static_cast<std::uint8_t>(after >> 24);
        at[3] = static_cast<std::uint8_t>(after >> 16);
        at[4] = static_cast<std::uint8_t>(after >> 8);
        at[5] = static_cast<std::uint8_t>(after);
        break;
    }
    if (nas.address.mode != NasAddressMode::kNone) request.nasAddressOffset = request.Length();
    return 0;
}

void SignAccountingRequest(CRadPacket& request, const CRadSecret& secret) {
    const std::uint16_t length = request.Length();
    if (length < rad::kHeaderLength || length > rad::kMaxPacketLength ||
        secret.length > rad::kMaxSecretLength)
        return;
    std::uint8_t* authenticator = request.octets + rad::kAuthenticatorOffset;
    std::memset(authenticator, 0, rad::kAuthenticatorLength);
    // Through a context, so that no copy of the secret is left behind the packet.
    MD5_CTX ctx;
    MD5Init(&ctx);
    MD5Update(&ctx, request.octets, length);
    MD5Update(&ctx, secret.octets, secret.length);
    std::uint8_t digest[kMd5DigestLength];
    MD5Final(digest, &ctx);  // wipes the context
    std::memcpy(authenticator, digest, sizeof digest);
    platform::SecureZero(digest, sizeof digest);
}
