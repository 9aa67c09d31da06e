// The Status-Server probe of RFC 5997: its request (Code 12 with a Message-Authenticator and no
// credentials) and what a verified reply to it says about the server.
#pragma once

#include "radius/packet.h"

// Completes a fresh Status-Server packet (Code 12, no attributes yet, its Request Authenticator
// and Identifier already set, as an Access-Request's are): one Message-Authenticator, the only
// attribute RFC 5997 section 3 requires, signed when the request is prepared for its server.
// 0, or -1 when the packet is not such a fresh Status-Server.
int BuildStatusServer(CRadPacket& request);

// Whether a verified reply to a Status-Server says its server is alive: an Access-Accept from an
// authentication port or an Accounting-Response from an accounting port (RFC 5997 section 3).
bool StatusReplyAlive(const CRadPacket& reply);
