// What each entry of a call came to, in words, for the detail of a structured call that got no
// verified reply: the name that did not resolve and the name service's words, silence after so
// many transmissions, replies discarded with the first one's reason, the TLS failure.
#pragma once

#include <cstddef>
#include <cstdint>

#include "radius/client.h"
#include "radius/packet.h"

// A reply's failed check in a few words, with the likeliest cause where one is clear ("bad
// Response Authenticator (wrong secret?)"). A fixed text.
const char* ReplyCheckWords(ReplyCheck check);

// One entry as the caller knows it: its place in the caller's list (from 1) and its host as
// written (null: the entry's resolved address is shown).
struct EntryLabel {
    std::int32_t place;
    const char* host;
};

// Writes lead, then each of the client's entries (labels[i] names entry i; null: by its place in
// the client) with what it came to, "; " between them, into out (size bytes, cut to fit).
void DescribeOutcomes(const CRadClient& client, const char* lead, const EntryLabel* labels,
                      char* out, std::size_t size);
