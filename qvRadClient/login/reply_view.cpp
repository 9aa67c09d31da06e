// Splitting a verified reply into rows and texts: two walks over its attributes, one to size the
// block and one to fill it, each bounded by the packet's Length.
#include "login/reply_view.h"

#include <cstring>
#include <new>

#include "radius/constants.h"

namespace {

constexpr std::size_t kVendorIdLength = 4;  // RFC 2865 section 5.26: Vendor-Id, high octet 0

// A walk over the attributes of a packet whose attributes parse.
template <class Visit>
void EachAttribute(const std::uint8_t* packet, std::uint16_t length, Visit visit) {
    for (int at = rad::kHeaderLength; at < length; at += packet[at + 1])
        visit(packet[at], packet + at + 2, static_cast<std::size_t>(packet[at + 1] - 2));
}

}  // namespace

std::size_t VendorSubAttributes(const std::uint8_t* value, std::size_t length) {
    if (length < kVendorIdLength + 2 || value[0] != 0 || (value[1] | value[2] | value[3]) == 0)
        return 0;
    std::size_t rows = 0;
    for (std::size_t at = kVendorIdLength; at < length;) {
        if (at + 2 > length || value[at + 1] < 2 || at + value[at + 1] > length) return 0;
        at += value[at + 1];
        ++rows;
    }
    return rows;
}

int BuildReplyView(const CRadPacket& reply, ReplyView* view) {
    *view = ReplyView();
    const std::uint8_t* packet = reply.octets;
    const std::uint16_t length = reply.Length();
    view->code = reply.Code();
    // RFC 2865 section 5: a reply whose attributes do not parse is treated as an Access-Reject;
    // none of them is handed out (a State among them could not be trusted). This also holds the
    // Length within 20..4096.
    if (reply.CheckAttributes() != AttributeFault::kNone) {
        view->code = rad::kAccessReject;
        return 0;
    }
    std::size_t rows = 0, messages = 0, text = 0;
    EachAttribute(packet, length, [&](std::uint8_t type, const std::uint8_t* value, std::size_t n) {
        const std::size_t vendorRows =
            type == rad::kVendorSpecific ? VendorSubAttributes(value, n) : 0;
        rows += vendorRows != 0 ? vendorRows : 1;
        if (type == rad::kReplyMessage) {
            ++messages;
            const void* nul = std::memchr(value, '\0', n);
            text += (nul != nullptr
                         ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - value)
                         : n) +
                    1;
        }
    });
    const std::size_t bytes = rows * sizeof(ReplyRow) + messages * sizeof(const char*) + text;
    if (bytes != 0) {
        view->block = new (std::nothrow) unsigned char[bytes];
        if (view->block == nullptr) {
            *view = ReplyView();
            return -1;
        }
    }
    // Rows first, then the message pointers (both pointer-aligned), then the texts.
    view->rows = reinterpret_cast<ReplyRow*>(view->block);
    view->messages = reinterpret_cast<const char**>(view->block + rows * sizeof(ReplyRow));
    char* texts = reinterpret_cast<char*>(view->block + rows * sizeof(ReplyRow) +
                                          messages * sizeof(const char*));
    EachAttribute(packet, length, [&](std::uint8_t type, const std::uint8_t* value, std::size_t n) {
        if (type == rad::kVendorSpecific && VendorSubAttributes(value, n) != 0) {
            const std::uint32_t vendor = static_cast<std::uint32_t>(value[1]) << 16 |
                                         static_cast<std::uint32_t>(value[2]) << 8 | value[3];
            for (std::size_t at = kVendorIdLength; at < n; at += value[at + 1])
                view->rows[view->rowCount++] = {vendor, value[at], value + at + 2,
                                                static_cast<std::size_t>(value[at + 1] - 2)};
            return;
        }
        view->rows[view->rowCount++] = {0, type, value, n};
        if (type == rad::kReplyMessage) {
            const void* nul = std::memchr(value, '\0', n);
            const std::size_t keep =
                nul != nullptr
                    ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - value)
                    : n;
            if (keep != 0) std::memcpy(texts, value, keep);
            texts[keep] = '\0';
            view->messages[view->messageCount++] = texts;
            texts += keep + 1;
        }
        // RFC 2869 section 5.10: Prompt is a 4-octet integer, 1 Echo, 0 No-Echo (the default).
        if (type == rad::kPrompt && n == 4)
            view->promptEcho = value[0] == 0 && value[1] == 0 && value[2] == 0 && value[3] == 1;
        if (type == rad::kState) {
            view->state = value;
            view->stateLength = static_cast<std::uint16_t>(n);
        }
    });
    return 0;
}

void FreeReplyView(ReplyView* view) {
    delete[] view->block;
    *view = ReplyView();
}
