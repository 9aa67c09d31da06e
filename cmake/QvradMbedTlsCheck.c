/* Compiled and linked against the system's Mbed TLS at configure time (cmake/QvradTlsSystem.cmake):
 * each thing RADIUS over TLS needs of its configuration that is missing is one #error naming it. */
#include <mbedtls/build_info.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>
#include <psa/crypto.h>

#if MBEDTLS_VERSION_NUMBER < 0x03060000 || MBEDTLS_VERSION_NUMBER >= 0x04000000
#error qvrad-needs: Mbed TLS 3.6 or a later 3.x
#endif
/* Many threads log in at once through one process-wide PSA key store. */
#if !defined(MBEDTLS_THREADING_C)
#error qvrad-needs: MBEDTLS_THREADING_C
#endif
#if !defined(MBEDTLS_THREADING_PTHREAD)
#error qvrad-needs: MBEDTLS_THREADING_PTHREAD
#endif
#if !defined(MBEDTLS_PSA_CRYPTO_C)
#error qvrad-needs: MBEDTLS_PSA_CRYPTO_C
#endif
/* The client side of TLS 1.2 and 1.3 (RFC 6614, RFC 9813). */
#if !defined(MBEDTLS_SSL_TLS_C) || !defined(MBEDTLS_SSL_CLI_C)
#error qvrad-needs: MBEDTLS_SSL_TLS_C and MBEDTLS_SSL_CLI_C
#endif
#if !defined(MBEDTLS_SSL_PROTO_TLS1_2)
#error qvrad-needs: MBEDTLS_SSL_PROTO_TLS1_2
#endif
#if !defined(MBEDTLS_SSL_PROTO_TLS1_3)
#error qvrad-needs: MBEDTLS_SSL_PROTO_TLS1_3
#endif
#if !defined(MBEDTLS_SSL_TLS1_3_KEY_EXCHANGE_MODE_EPHEMERAL_ENABLED)
#error qvrad-needs: MBEDTLS_SSL_TLS1_3_KEY_EXCHANGE_MODE_EPHEMERAL_ENABLED
#endif
/* psk_dhe_ke, the only TLS 1.3 PSK mode the client offers (RFC 9813 section 4). */
#if !defined(MBEDTLS_SSL_TLS1_3_KEY_EXCHANGE_MODE_PSK_EPHEMERAL_ENABLED)
#error qvrad-needs: MBEDTLS_SSL_TLS1_3_KEY_EXCHANGE_MODE_PSK_EPHEMERAL_ENABLED
#endif
#if !defined(MBEDTLS_KEY_EXCHANGE_ECDHE_RSA_ENABLED) || \
    !defined(MBEDTLS_KEY_EXCHANGE_ECDHE_ECDSA_ENABLED)
#error qvrad-needs: MBEDTLS_KEY_EXCHANGE_ECDHE_RSA_ENABLED and _ECDHE_ECDSA_ENABLED
#endif
#if !defined(MBEDTLS_KEY_EXCHANGE_ECDHE_PSK_ENABLED)
#error qvrad-needs: MBEDTLS_KEY_EXCHANGE_ECDHE_PSK_ENABLED
#endif
#if !defined(MBEDTLS_SSL_EXTENDED_MASTER_SECRET)
#error qvrad-needs: MBEDTLS_SSL_EXTENDED_MASTER_SECRET
#endif
#if !defined(MBEDTLS_SSL_KEEP_PEER_CERTIFICATE)
#error qvrad-needs: MBEDTLS_SSL_KEEP_PEER_CERTIFICATE
#endif
#if !defined(MBEDTLS_SSL_SERVER_NAME_INDICATION) || !defined(MBEDTLS_SSL_ALPN)
#error qvrad-needs: MBEDTLS_SSL_SERVER_NAME_INDICATION and MBEDTLS_SSL_ALPN
#endif
/* A server may send full 16 KiB records. */
#if MBEDTLS_SSL_IN_CONTENT_LEN < 16384
#error qvrad-needs: MBEDTLS_SSL_IN_CONTENT_LEN of 16384
#endif
/* The suites (AES-GCM, ChaCha20-Poly1305 with SHA-256 and SHA-384) and groups (X25519, P-256,
 * P-384) the client offers. */
#if !defined(MBEDTLS_AES_C) || !defined(MBEDTLS_GCM_C) || !defined(MBEDTLS_CHACHAPOLY_C) || \
    !defined(MBEDTLS_CIPHER_C)
#error qvrad-needs: MBEDTLS_AES_C, MBEDTLS_GCM_C, MBEDTLS_CHACHAPOLY_C and MBEDTLS_CIPHER_C
#endif
#if !defined(MBEDTLS_SHA256_C) || !defined(MBEDTLS_SHA384_C)
#error qvrad-needs: MBEDTLS_SHA256_C and MBEDTLS_SHA384_C
#endif
#if !defined(MBEDTLS_ECP_C) || !defined(MBEDTLS_ECP_DP_CURVE25519_ENABLED) || \
    !defined(MBEDTLS_ECP_DP_SECP256R1_ENABLED) || !defined(MBEDTLS_ECP_DP_SECP384R1_ENABLED)
#error qvrad-needs: MBEDTLS_ECP_C with X25519, P-256 and P-384
#endif
/* Certificates: RSA (PKCS #1 v1.5 and PSS) and ECDSA, PEM or DER, keys parsed and re-encoded. */
#if !defined(MBEDTLS_X509_CRT_PARSE_C) || !defined(MBEDTLS_PEM_PARSE_C) || \
    !defined(MBEDTLS_PK_PARSE_C) || !defined(MBEDTLS_PK_WRITE_C)
#error qvrad-needs: MBEDTLS_X509_CRT_PARSE_C, MBEDTLS_PEM_PARSE_C, MBEDTLS_PK_PARSE_C and MBEDTLS_PK_WRITE_C
#endif
#if !defined(MBEDTLS_RSA_C) || !defined(MBEDTLS_PKCS1_V15) || !defined(MBEDTLS_PKCS1_V21) || \
    !defined(MBEDTLS_ECDSA_C)
#error qvrad-needs: MBEDTLS_RSA_C, MBEDTLS_PKCS1_V15, MBEDTLS_PKCS1_V21 and MBEDTLS_ECDSA_C
#endif

/* One function of each of the three libraries, so that they link as well. */
int main(void) {
    mbedtls_ssl_config config;
    mbedtls_x509_crt chain;
    mbedtls_ssl_config_init(&config);
    mbedtls_x509_crt_init(&chain);
    mbedtls_x509_crt_free(&chain);
    mbedtls_ssl_config_free(&config);
    return psa_crypto_init() == PSA_SUCCESS ? 0 : 1;
}
