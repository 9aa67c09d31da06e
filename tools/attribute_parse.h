// qvrad-auth's --attr NAME=VALUE: a name from the tool's table or a number (TYPE=VALUE,
// 26:VENDOR:TYPE=VALUE), the value parsed by the attribute's form, added to a request list.
#pragma once

#include <cstddef>

#include "qvrad.h"

// Adds one --attr argument to attrs: 0, or -1 with why (naming the attribute) in reason.
int AddAttributeArgument(const char* argument, qvrad_attrs* attrs, char* reason, std::size_t size);
