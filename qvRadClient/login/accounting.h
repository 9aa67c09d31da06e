// Accounting through a structured client (RFC 2866): one Accounting-Request sent through the
// exchange logins use, to each server's accounting port, and the client's spool kept on the way.
#pragma once

#include <cstddef>
#include <cstdint>

#include "login/client_config.h"
#include "radius/request_attributes.h"

// What the caller asked to account for (checked by the exports).
struct AccountingArguments {
    std::uint32_t statusType;
    const char* sessionId;           // null for none (Accounting-On and -Off)
    const char* user;                // null for none
    const RequestAttributes* extra;  // null for none
};

// Sends one kept attribute area (NAS address excluded) as an Accounting-Request, its first
// Acct-Delay-Time grown by waited seconds, to the client's servers in turn within its timeout:
// QVRAD_OK when a verified Accounting-Response came, else a QVRAD_* status.
int SendAccountingArea(const qvrad_client& client, const std::uint8_t* area, std::uint16_t length,
                       std::uint32_t waited);
// One accounting call: the request built, written to the client's spool first when it has one,
// sent, removed from the spool once acknowledged, and then (when it was) older records of the
// spool sent, oldest first, a bounded number per call.
int RunAccounting(const qvrad_client& client, const AccountingArguments& arguments);
// Sends every record of the client's spool, oldest first, until one is not acknowledged.
// *sent and *left (when not null) count them.
int FlushAccountingSpool(const qvrad_client& client, std::size_t* sent, std::size_t* left);

// Records of the spool an accounting call sends after its own, at most.
constexpr std::size_t kDrainPerCall = 16;
