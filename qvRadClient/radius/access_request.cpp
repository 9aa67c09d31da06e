// Building the Access-Request's attributes in their fixed order; the password's plaintext is
// kept in the packet only until it is wiped with it.
#include "radius/access_request.h"

#include "radius/request_attributes.h"

int BuildAccessRequest(CRadPacket& request, const AccessRequestFields& fields) {
    CRadAttrCursor cursor;
    int rc = request.BeginAttribute(rad::kMessageAuthenticator, cursor);
    rc |= cursor.AppendMessageAuthenticator();
    rc |= request.BeginAttribute(rad::kUserName, cursor);
    rc |= cursor.AppendText(fields.user);
    rc |= request.BeginAttribute(rad::kUserPassword, cursor);
    rc |= cursor.AppendPassword(fields.password);
    // RFC 2865 section 4.1: the request names its NAS. The identifier is the same for every
    // server; the address, where there is one, comes last, decided per server by the exchange
    // (its own family and route under auto).
    const NasIdentity& nas = *fields.nas;
    if (nas.identifierLength != 0) {
        rc |= request.BeginAttribute(rad::kNasIdentifier, cursor);
        rc |= cursor.AppendText(nas.identifier);
    }
    if (fields.state != nullptr) {
        rc |= request.BeginAttribute(rad::kState, cursor);
        rc |= cursor.AppendOctets(fields.state, fields.stateLength);
    }
    if (nas.address.mode != NasAddressMode::kNone) request.nasAddressOffset = request.Length();
    return rc == 0 ? 0 : -1;
}

int AppendCallerAttributes(CRadPacket& request, const RequestAttributes& extra) {
    // The slot is empty until the exchange fills it: it begins where the packet ends now.
    const bool slot = request.nasAddressOffset != 0;
    if (AppendRequestAttributes(request, extra, slot ? rad::kNasIpv6AddressLength : 0) != 0)
        return -1;
    if (slot) request.nasAddressOffset = request.Length();
    return 0;
}
