// qvrad-auth's accounting: --attr for logins and accounting, --acct (one Accounting-Request in
// place of a login), --session-id, --spool and --acct-flush, parsed and run here so that the
// main file only hooks them in.
#pragma once

#include <cstddef>

#include "qvrad.h"

struct AccountingOptions {
    int statusType = 0;  // a QVRAD_ACCT_* value; 0: no --acct
    const char* sessionId = nullptr;
    const char* spool = nullptr;
    bool flush = false;
    static constexpr int kMaxAttributes = 256;
    const char* attributes[kMaxAttributes] = {};  // --attr arguments, in order
    int attributeCount = 0;

    // An accounting run (--acct or --acct-flush) rather than a login or a probe.
    bool Active() const { return statusType != 0 || flush; }
};

// Takes one option of these (name as given; value the option's value, null for a flag) when it is
// one: 1 taken, 0 not one of these, or the exit status of a usage fault (64).
int TakeAccountingOption(const char* name, const char* value, bool hasInlineValue,
                         AccountingOptions* options);
// Whether an option of these takes a value (the caller then reads it as for its own options).
bool AccountingOptionTakesValue(const char* name);
// Checks the combination after every option was read: 0, or the exit status of a usage fault.
int CheckAccountingOptions(const AccountingOptions& options, bool status, const char* user);

// The --attr list for a login or an accounting call: 0 with *attrs set (null when there is no
// --attr), or the exit status of a refusal (4, the reason on standard error).
int BuildAttributeList(const AccountingOptions& options, qvrad_attrs** attrs);

// Runs --acct or --acct-flush through a client whose servers are set up (port: the accounting
// port), and prints the outcome: the exit status (0 acknowledged, 2 no verified response, 4
// refused input, 5 internal).
int RunAccountingCommand(qvrad_client* client, const AccountingOptions& options, const char* user,
                         const char* timeout);
