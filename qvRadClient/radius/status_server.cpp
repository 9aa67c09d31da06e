// The Status-Server request (RFC 5997 section 3) built with the packet's own attribute cursor,
// beside the Access-Request that api/auth_call.cpp builds the same way.
#include "radius/status_server.h"

int BuildStatusServer(CRadPacket& request) {
    if (request.Code() != rad::kStatusServer || request.Length() != rad::kHeaderLength) return -1;
    // RFC 5997 section 3: a Status-Server without a Message-Authenticator is discarded, and it
    // carries no User-Name or password. First, as in every request of ours (RFC 3579 3.2).
    CRadAttrCursor cursor;
    if (request.BeginAttribute(rad::kMessageAuthenticator, cursor) != 0) return -1;
    return cursor.AppendMessageAuthenticator();
}

bool StatusReplyAlive(const CRadPacket& reply) {
    return reply.Code() == rad::kAccessAccept || reply.Code() == rad::kAccountingResponse;
}
