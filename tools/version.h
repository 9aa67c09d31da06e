// qvrad-auth --version: the tool's version and the library's it links, whether RADIUS over TLS
// is built in (and with which TLS library), then the banner info() gives a host.
#pragma once

#include <cstdio>

void PrintVersion(std::FILE* out);
