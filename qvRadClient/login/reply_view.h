// A verified reply as the structured interface hands it out: its Code, every attribute as a row
// (Vendor-Specific split by vendor), the Reply-Messages as texts, and the Prompt.
#pragma once

#include <cstddef>
#include <cstdint>

#include "radius/packet.h"

struct ReplyRow {
    std::uint32_t vendor;       // 0 for a standard attribute (and a malformed Vendor-Specific)
    std::uint32_t type;         // the attribute's Type, or the vendor's type
    const std::uint8_t* value;  // inside the packet the view was built from
    std::size_t length;
};

// Everything but the packet itself lives in one block of the heap, built for one reply.
struct ReplyView {
    int code = 0;  // 0: no reply
    ReplyRow* rows = nullptr;
    std::size_t rowCount = 0;
    const char** messages = nullptr;
    std::size_t messageCount = 0;
    int promptEcho = 0;
    const std::uint8_t* state = nullptr;  // an Access-Challenge's State, inside the packet
    std::uint16_t stateLength = 0;
    unsigned char* block = nullptr;
};

// Whether a Vendor-Specific value has RFC 2865 section 5.26's usual layout: a Vendor-Id whose
// high octet is 0 and whose enterprise code is not the reserved 0 (which would read as a
// standard attribute), then one or more sub-attributes (vendor type, vendor length >= 2, value)
// that fill it exactly. Their number, or 0 when it has not (the view then keeps it whole).
std::size_t VendorSubAttributes(const std::uint8_t* value, std::size_t length);

// Builds the view of a verified reply, which must stay where it is while the view is used. A
// reply whose attributes do not parse (RFC 2865 section 5) is treated as an Access-Reject and
// shows none of them. 0, or -1 (view empty) when the block could not be had.
int BuildReplyView(const CRadPacket& reply, ReplyView* view);
void FreeReplyView(ReplyView* view);
