/* SPDX-License-Identifier: MIT */
/* qvRadClient: a RADIUS (RFC 2865) PAP authentication client in one call.
 * The public C interface of the library; usable from C and C++.
 *
 * const char* auth(server, port, secret, user, password, timeout)
 *   Sends one Access-Request for user/password to server:port (UDP) and returns, within timeout
 *   seconds (1 to 19, counted from the first send), one text.
 *   server: a host name, an IPv4 address, or an IPv6 address bare or in brackets ("::1",
 *     "[2001:db8::1]", "fe80::1%eth0"); or a list of up to 10 of them separated by commas
 *     ("radius1.example.net, radius2.example.net"; white space around an entry is dropped), tried
 *     in order, each for its share of the timeout. A name uses its first IPv4 address, IPv6
 *     only when it has none. port, secret and timeout apply to every entry.
 *   A silent server is sent the same request again within its share (with a timeout of 3 s or
 *   more), at growing intervals of at least a second. The request names this machine with a
 *   NAS-Identifier, its host name (RFC 2865 section 4.1); the environment variables
 *   QVRAD_NAS_IDENTIFIER and QVRAD_NAS_IP_ADDRESS, read when the library loads, change that
 *   (docs/security.md). The text returned:
 *     the server's Reply-Message   an Access-Accept or Access-Reject carried one (the host
 *                                  tells them apart by the text)
 *     "6007#0#INVALID_INPUT_ERR"   an argument was refused (null, empty, too long, bad number)
 *     "6040#0#ERR_NETWORK_FAIL"    no reply verified within the timeout
 *     "6041#0#ERR_INVALID_RADIUS_FORMAT"
 *                                  the verified reply was not Accept/Reject, or carried no
 *                                  usable Reply-Message
 *     "6042#0#ERR_SDK_INTERNAL(Can not initialize WinSock)"
 *     "6042#0#ERR_SDK_INTERNAL(Can not create RADIUS client stack)"
 *     "6042#0#ERR_SDK_INTERNAL(CSingleLock fail)"
 *   The returned text is the calling thread's own: it stays valid until the next auth call on
 *   the same thread, or that thread's end, and no other thread's call can change it.
 *
 * const char* info(void)
 *   The version banner; constant, never to be written or freed.
 */
#ifndef QVRADCLIENT_H
#define QVRADCLIENT_H

#if defined(_WIN32)
#define QVRAD_CALL __cdecl
#if defined(QVRAD_BUILDING) || defined(QVRAD_STATIC)
#define QVRAD_API
#else
#define QVRAD_API __declspec(dllimport)
#endif
#else
#define QVRAD_CALL
#define QVRAD_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

QVRAD_API const char* QVRAD_CALL auth(const char* server, const char* port, const char* secret,
                                      const char* user, const char* password, const char* timeout);
QVRAD_API const char* QVRAD_CALL info(void);

#ifdef __cplusplus
}
#endif

#endif /* QVRADCLIENT_H */
