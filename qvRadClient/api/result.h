// The fixed result texts and the turning of an exchange's outcome into one of them.
#pragma once

#include "radius/packet.h"

extern const char kResultInvalidInput[];
extern const char kResultNetworkFail[];
extern const char kResultInvalidFormat[];
extern const char kResultWinsock[];
extern const char kResultClientStack[];
extern const char kResultLockFail[];

// Writes the result for a verified reply, or for none, into result (zero-filled, resultSize
// bytes). At most resultSize - 1 bytes are copied, so the text stays NUL-terminated.
void ReplyToResult(CRadPacket* reply, char* result, unsigned resultSize);
