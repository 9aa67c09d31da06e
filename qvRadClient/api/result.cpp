// The result texts and the reading of a verified reply: its Code, then its first
// Reply-Message (RFC 2865 section 5.18), copied only when the whole reply is well formed.
#include "api/result.h"

#include <cstring>

const char kResultInvalidInput[] = "6007#0#INVALID_INPUT_ERR";
const char kResultNetworkFail[] = "6040#0#ERR_NETWORK_FAIL";
const char kResultInvalidFormat[] = "6041#0#ERR_INVALID_RADIUS_FORMAT";
const char kResultWinsock[] = "6042#0#ERR_SDK_INTERNAL(Can not initialize WinSock)";
const char kResultClientStack[] = "6042#0#ERR_SDK_INTERNAL(Can not create RADIUS client stack)";
const char kResultLockFail[] = "6042#0#ERR_SDK_INTERNAL(CSingleLock fail)";

namespace {

void CopyText(char* result, unsigned resultSize, const char* text) {
    std::size_t n = std::strlen(text);
    if (n >= resultSize) n = resultSize - 1;
    std::memcpy(result, text, n);
    result[n] = '\0';
}

}  // namespace

void ReplyToResult(CRadPacket* reply, char* result, unsigned resultSize) {
    if (resultSize == 0) return;
    if (reply == nullptr) {
        CopyText(result, resultSize, kResultNetworkFail);
        return;
    }
    const std::uint8_t code = reply->Code();
    if (code != rad::kAccessAccept && code != rad::kAccessReject) {
        CopyText(result, resultSize, kResultInvalidFormat);
        return;
    }
    CRadAttrCursor cursor;
    const std::uint8_t* value = nullptr;
    std::uint16_t valueLength = 0;
    // An attribute list that does not parse could hide a Proxy-State behind the break, so such
    // a reply's text is never used (RFC 2865 section 5: it is treated as a Reject).
    if (reply->CheckAttributes() != AttributeFault::kNone ||
        reply->FindAttribute(rad::kReplyMessage, cursor) != 0 ||
        cursor.GetValue(&value, &valueLength) != 0 || valueLength == 0) {
        CopyText(result, resultSize, kResultInvalidFormat);
        return;
    }
    // A Reply-Message value is at most 253 bytes, far inside the result; the bound stays.
    std::size_t n = valueLength;
    if (n >= resultSize) n = resultSize - 1;
    std::memcpy(result, value, n);
    result[n] = '\0';
}
