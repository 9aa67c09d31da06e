/* Mbed TLS 3.6 as qvRadClient builds it (MBEDTLS_CONFIG_FILE): a TLS client for RADIUS over TLS
 * (RFC 6614, RFC 9813) and nothing else. Plain C: the library's own files include it too. */
#ifndef QVRAD_TLS_MBEDTLS_CONFIG_H
#define QVRAD_TLS_MBEDTLS_CONFIG_H

#include <stddef.h>

/* --- Platform: memory, time, randomness and locks come from qvRadClient's platform layer. --- */
#define MBEDTLS_HAVE_ASM
#define MBEDTLS_PLATFORM_C
/* Every allocation through our hooks (tls/tls_library.cpp): the C++ global operator new and
 * delete, and each block wiped before it is released. */
#define MBEDTLS_PLATFORM_MEMORY
#define MBEDTLS_PLATFORM_CALLOC_MACRO qvrad_tls_calloc
#define MBEDTLS_PLATFORM_FREE_MACRO qvrad_tls_free
/* Certificate validity needs the calendar time; the platform layer reads it (no time() or
 * gmtime_s import on Windows), and ticket ages, unused here, the monotonic clock. */
#define MBEDTLS_HAVE_TIME
#define MBEDTLS_HAVE_TIME_DATE
#define MBEDTLS_PLATFORM_TIME_TYPE_MACRO long long
#define MBEDTLS_PLATFORM_TIME_MACRO qvrad_tls_time
#define MBEDTLS_PLATFORM_MS_TIME_ALT
#define MBEDTLS_PLATFORM_GMTIME_R_ALT
/* Names in certificates are printed by our C99 snprintf (the C++ runtime's), not by Mbed TLS's
 * wrapper for old Windows C runtimes, which imports _vsnprintf_s. */
#define MBEDTLS_PLATFORM_SNPRINTF_MACRO qvrad_tls_snprintf
/* No entropy collector or DRBG of Mbed TLS's own: PSA asks platform::RandomBytes for every
 * random byte (mbedtls_psa_external_get_random), so no import is added on Windows. */
#define MBEDTLS_NO_PLATFORM_ENTROPY
#define MBEDTLS_PSA_CRYPTO_EXTERNAL_RNG
/* Many host threads may log in at once, and PSA's key store is global: its locks are the
 * platform layer's (tls/threading_alt.h). */
#define MBEDTLS_THREADING_C
#define MBEDTLS_THREADING_ALT

/* --- Crypto: what TLS 1.2 and 1.3 with the suites below need, no more. --- */
#define MBEDTLS_PSA_CRYPTO_C
#define MBEDTLS_USE_PSA_CRYPTO
#define MBEDTLS_PSA_KEY_STORE_DYNAMIC
#define MBEDTLS_AES_C
/* Tables in read-only data: none is built at run time, so two threads never race to build
 * them. AES-NI, where the CPU has it, is constant-time. */
#define MBEDTLS_AES_ROM_TABLES
#define MBEDTLS_AESNI_C
#define MBEDTLS_GCM_C
#define MBEDTLS_CHACHA20_C
#define MBEDTLS_POLY1305_C
#define MBEDTLS_CHACHAPOLY_C
#define MBEDTLS_CIPHER_C
#define MBEDTLS_MD_C
#define MBEDTLS_SHA224_C /* sha256.c implements both; SHA-224 itself is never negotiated */
#define MBEDTLS_SHA256_C
#define MBEDTLS_SHA384_C
#define MBEDTLS_SHA512_C
#define MBEDTLS_HKDF_C
#define MBEDTLS_BIGNUM_C
#define MBEDTLS_ECP_C
#define MBEDTLS_ECP_NIST_OPTIM
#define MBEDTLS_ECP_DP_SECP256R1_ENABLED
#define MBEDTLS_ECP_DP_SECP384R1_ENABLED
#define MBEDTLS_ECP_DP_CURVE25519_ENABLED
#define MBEDTLS_ECDH_C
#define MBEDTLS_ECDSA_C
#define MBEDTLS_RSA_C
#define MBEDTLS_PKCS1_V15
#define MBEDTLS_PKCS1_V21
#define MBEDTLS_PK_C
#define MBEDTLS_PK_PARSE_C
#define MBEDTLS_PK_WRITE_C /* PSA imports a parsed private key through its DER form */
#define MBEDTLS_ASN1_PARSE_C
#define MBEDTLS_ASN1_WRITE_C
#define MBEDTLS_OID_C
#define MBEDTLS_BASE64_C
#define MBEDTLS_PEM_PARSE_C

/* --- Certificates: X.509 chains to the CA file, no revocation lists, no writing. --- */
#define MBEDTLS_X509_USE_C
#define MBEDTLS_X509_CRT_PARSE_C
#define MBEDTLS_X509_RSASSA_PSS_SUPPORT
#define MBEDTLS_X509_MAX_INTERMEDIATE_CA 8

/* --- TLS: client side only, 1.2 and 1.3. --- */
#define MBEDTLS_SSL_TLS_C
#define MBEDTLS_SSL_CLI_C
#define MBEDTLS_SSL_PROTO_TLS1_2
#define MBEDTLS_SSL_PROTO_TLS1_3
/* TLS 1.2: forward secrecy only (ECDHE with certificates; ECDHE-PSK, RFC 5489). */
#define MBEDTLS_KEY_EXCHANGE_ECDHE_RSA_ENABLED
#define MBEDTLS_KEY_EXCHANGE_ECDHE_ECDSA_ENABLED
#define MBEDTLS_KEY_EXCHANGE_ECDHE_PSK_ENABLED
#define MBEDTLS_SSL_EXTENDED_MASTER_SECRET /* RFC 7627 */
/* TLS 1.3: (EC)DHE with certificates, psk_dhe_ke with a PSK; never psk_ke alone (RFC 9813
 * section 4: forward secrecy), no 0-RTT (MBEDTLS_SSL_EARLY_DATA is left out). */
#define MBEDTLS_SSL_TLS1_3_KEY_EXCHANGE_MODE_EPHEMERAL_ENABLED
#define MBEDTLS_SSL_TLS1_3_KEY_EXCHANGE_MODE_PSK_EPHEMERAL_ENABLED
#define MBEDTLS_SSL_TLS1_3_COMPATIBILITY_MODE /* RFC 8446 appendix D.4: through middleboxes */
#define MBEDTLS_SSL_KEEP_PEER_CERTIFICATE     /* the TLS 1.3 client needs it */
#define MBEDTLS_SSL_SERVER_NAME_INDICATION    /* RFC 6066 section 3 */
#define MBEDTLS_SSL_ALPN                      /* RFC 7301: "radius/1.0" */
#define MBEDTLS_SSL_ALL_ALERT_MESSAGES
/* Resumption of kept connections' sessions from tickets (RFC 8446 section 2.2, RFC 5077),
 * client side: the tickets are kept in our memory (tls/tls_tickets.h), never on disk. */
#define MBEDTLS_SSL_SESSION_TICKETS
/* Left out: renegotiation, 0-RTT (early data), DTLS, CBC suites, RSA and DHE key exchanges,
 * CRLs, the server side and file access. */
#define MBEDTLS_SSL_MAX_HOST_NAME_LEN 255
/* A server may send full 16 KiB records; ours are RADIUS packets (at most 4096 octets) and a
 * client certificate chain, which Mbed TLS fragments over several records. */
#define MBEDTLS_SSL_IN_CONTENT_LEN 16384
#define MBEDTLS_SSL_OUT_CONTENT_LEN 8192

#ifdef __cplusplus
extern "C" {
#endif
void* qvrad_tls_calloc(size_t count, size_t size);
void qvrad_tls_free(void* block);
long long qvrad_tls_time(long long* now);
/* C99 formats (the C++ runtime's vsnprintf is C99 on MinGW too). */
#if defined(__clang__)
__attribute__((format(printf, 3, 4)))
#elif defined(__GNUC__)
__attribute__((format(gnu_printf, 3, 4)))
#endif
int qvrad_tls_snprintf(char* text, size_t size, const char* format, ...);
#ifdef __cplusplus
}
#endif

#endif /* QVRAD_TLS_MBEDTLS_CONFIG_H */
