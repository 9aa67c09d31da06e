// The version lines: the build's project version (tools/CMakeLists.txt passes it in), the TLS
// library as compiled in, and auth's banner last, as --version always ended.
#include "version.h"

#include "qvRadClient.h"
#include "tls/tls_library.h"

#ifndef QVRAD_TOOL_VERSION
#error "tools/CMakeLists.txt defines QVRAD_TOOL_VERSION, the project's version"
#endif

void PrintVersion(std::FILE* out) {
    // The library's objects are linked into this program (no DLL beside it): one version.
    std::fputs("qvrad-auth " QVRAD_TOOL_VERSION "\n", out);
    std::fputs("library: qvRadClient " QVRAD_TOOL_VERSION ", linked in\n", out);
    const char* tls = TlsLibraryVersion();
    if (tls != nullptr)
        std::fprintf(out, "RADIUS over TLS: built in, with %s\n", tls);
    else
        std::fputs(
            "RADIUS over TLS: not built in (no Mbed TLS sources): tls:// servers are "
            "refused\n",
            out);
    std::fputs(info(), out);
    std::fputc('\n', out);
}
