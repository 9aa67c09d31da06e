// Sending what a spool folder holds: each record locked, read, checked, handed to a sender (the
// accounting exchange, which lives above this folder), and removed once it was acknowledged.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/files.h"
#include "spool/spool_format.h"

// Sends one record's attributes, which waited seconds since they were spooled: 0 when a verified
// Accounting-Response came, anything else when none did.
using SendSpooledRecord = int (*)(void* context, const SpoolRecord& record, std::uint32_t waited);

struct DrainReport {
    std::size_t sent = 0;     // acknowledged and removed
    std::size_t left = 0;     // well-formed records still there (not acknowledged, or not tried)
    std::size_t busy = 0;     // records another process (or call) was handling: not touched
    std::size_t refused = 0;  // files left alone: not named as records, or not well-formed
    char reason[160] = {};    // the first refused file and why
    int lastStatus = 0;       // the sender's result for the record that stopped the drain
};

// Sends the folder's records oldest first, at most limit of them, each with its own exchange,
// and stops at the first one not acknowledged (the servers are unreachable: the rest would only
// wait their turn). nowSeconds is the UTC time that waits are counted to. 0, or -1 when the
// folder could not be listed.
int DrainSpool(platform::FolderHandle folder, SendSpooledRecord send, void* context,
               std::size_t limit, std::int64_t nowSeconds, DrainReport* report);

// The time a record waited, in whole seconds (0 when the clock went back), at most 2^32 - 1.
std::uint32_t SecondsWaited(std::int64_t spooledAt, std::int64_t nowSeconds);
