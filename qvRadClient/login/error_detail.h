// qvrad_error_detail's text: the calling thread's own words on its last call of qvrad.h that
// returns a status, set by every such call (empty when it succeeded), so that no later call
// shows an earlier one's reason. Refusals name the argument, the rule and the value's length,
// never the value of a secret, password or answer.
#pragma once

#include <cstddef>
#include <cstdint>

// Room for the words of a list of ten servers, each cut to fit.
constexpr std::size_t kErrorDetailSize = 1024;

void SetErrorDetail(const char* text);
const char* ErrorDetail();
// The thread's buffer, for words built in place (DescribeOutcomes); kErrorDetailSize bytes.
char* ErrorDetailBuffer();

// Each sets the detail and returns status (QVRAD_E_ARGUMENT unless given another), so that a
// refusal reads "return Refuse...(...)".
//   "<name>: <words>"
int Refuse(const char* name, const char* words, int status = -1);
//   "<name>: NULL"
int RefuseNull(const char* name);
//   "<name>: <value>; <low> to <high><unit>" (a number is never a secret)
int RefuseNumber(const char* name, std::int64_t value, std::int64_t low, std::int64_t high,
                 const char* unit = "");

//   "<name>: N octets; at most <limit>" for a text longer than limit (N measured within the
//   2048-octet bound: "2048 octets or more" past it)
int RefuseLength(const char* name, const char* text, std::size_t limit);

// Checks a text argument as CheckCredential does (not null, 1 to limit octets measured within
// the 2048-octet bound, not white space alone): QVRAD_OK, or QVRAD_E_ARGUMENT with the detail
// "<name>: NULL | empty | white space only | N octets; <rule>". Only the length is told.
int CheckText(const char* name, const char* text, std::size_t limit, const char* rule);

// The name of a QVRAD_OPT_* option ("QVRAD_OPT_TIMEOUT_MS"), or null for none.
const char* OptionName(int option);
