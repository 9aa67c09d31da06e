/* Test shim for qvrad-auth's exit status 5: preloaded (LD_PRELOAD), it takes every free file
 * descriptor before main runs, so the library cannot create its UDP socket and auth returns
 * "6042#0#ERR_SDK_INTERNAL(Can not create RADIUS client stack)". The test caps RLIMIT_NOFILE,
 * and the loop is bounded in any case. */
#include <unistd.h>

__attribute__((constructor)) static void take_all_descriptors(void) {
    for (int i = 0; i < 65536; ++i)
        if (dup(2) < 0) break;
}
