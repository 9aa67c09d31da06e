// The two exports. auth runs one whole RADIUS authentication on the caller's thread (RunAuth,
// with no observer) and returns that thread's result text; info returns the banner.
#include "qvRadClient.h"

#include "api/auth_call.h"
#include "api/module.h"

extern "C" QVRAD_API const char* QVRAD_CALL auth(const char* server, const char* port,
                                                 const char* secret, const char* user,
                                                 const char* password, const char* timeout) {
    const AuthArguments args = {server, port, secret, user, password, timeout};
    return RunAuth(args, nullptr);
}

extern "C" QVRAD_API const char* QVRAD_CALL info(void) {
    return kBanner;
}
