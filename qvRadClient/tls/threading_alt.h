/* Mbed TLS's mutex type under MBEDTLS_THREADING_ALT: storage for the platform layer's lock
 * (platform::LockStorage, 64 bytes aligned to 16) and whether it was set up. Plain C. */
#ifndef QVRAD_TLS_THREADING_ALT_H
#define QVRAD_TLS_THREADING_ALT_H

typedef struct mbedtls_threading_mutex_t {
    unsigned char lock[64] __attribute__((aligned(16)));
    char ready;
} mbedtls_threading_mutex_t;

#endif /* QVRAD_TLS_THREADING_ALT_H */
