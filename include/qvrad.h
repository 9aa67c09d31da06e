/* SPDX-License-Identifier: MIT */
/* qvrad.h: the structured C interface of qvRadClient, for new code: a login's outcome as codes,
 * every reply attribute, Access-Challenge answered (multi-factor logins), waits up to 300 s.
 * Usable from C and C++; beside, not instead of, auth and info (qvRadClient.h). See docs/api.md.
 *
 * Handles belong to the library and are freed only by its functions (a DLL and its host may not
 * share a C runtime); freeing NULL does nothing. A client holds servers and settings: set it up
 * on one thread, then any number of threads may log in through it at once, sharing its kept TLS
 * connections. The first login freezes it (later changes return QVRAD_E_BUSY). A login is used
 * by one thread at a time and must be freed before the client it came from. Accounting calls
 * freeze the client too, and any number of threads may make them at once. Every constant's value
 * below is fixed for good.
 */
#ifndef QVRAD_H
#define QVRAD_H

#include <stddef.h>
#include <stdint.h>

#include "qvRadClient.h" /* QVRAD_API, QVRAD_CALL */

#ifdef __cplusplus
extern "C" {
#endif

typedef struct qvrad_client qvrad_client; /* servers and settings; shared by threads once set up */
typedef struct qvrad_login qvrad_login;   /* one login: its reply, and its challenge if any */
typedef struct qvrad_attrs qvrad_attrs;   /* the caller's own request attributes (from 1.3.0) */

/* Statuses: every int the functions return, but qvrad_login_code and _prompt_echo. */
#define QVRAD_OK 0                       /* done; for a login: a verified reply came, any Code */
#define QVRAD_E_ARGUMENT (-1)            /* refused input (NULL, too long, out of range); nothing sent */
#define QVRAD_E_TIMEOUT (-2)             /* no verified reply within the timeout */
#define QVRAD_E_RESOLVE (-3)             /* no server could be resolved or reached by its family */
#define QVRAD_E_NOT_CHALLENGED (-4)      /* an answer to a login that is not waiting for one */
#define QVRAD_E_TOO_MANY_CHALLENGES (-5) /* more challenges than QVRAD_OPT_MAX_CHALLENGES */
#define QVRAD_E_BUSY (-6)                /* the client is frozen by its first login: nothing changed */
#define QVRAD_E_MEMORY (-7)              /* memory could not be had */
#define QVRAD_E_INTERNAL (-8)            /* the socket layer would not start, or no socket was had */
#define QVRAD_E_TLS (-9)                 /* every TLS server failed (settings, connection, checks) */
#define QVRAD_E_SPOOL (-10)              /* the spool folder was refused or could not be written */

/* RADIUS Codes of a verified reply (RFC 2865 section 4), as qvrad_login_code returns them. */
#define QVRAD_CODE_ACCEPT 2
#define QVRAD_CODE_REJECT 3
#define QVRAD_CODE_CHALLENGE 11

/* Options of qvrad_client_set_int. */
#define QVRAD_OPT_TIMEOUT_MS 1          /* 1000 to 300000, default 5000; from the first send */
#define QVRAD_OPT_MAX_TRANSMISSIONS 2   /* per server and login, 1 to 5, default 5 */
#define QVRAD_OPT_REQUIRE_MESSAGE_AUTHENTICATOR 3 /* QVRAD_REQUIRE_*; for servers added after */
#define QVRAD_OPT_MAX_CHALLENGES 4      /* 0 to 1000, default 10: challenges handed to the caller */
/* Options of qvrad_client_set_text. */
#define QVRAD_OPT_NAS_IDENTIFIER 5      /* NAS-Identifier; "" none; default QVRAD_NAS_IDENTIFIER */
#define QVRAD_OPT_NAS_IP_ADDRESS 6      /* an address, "auto", or NULL for none */
#define QVRAD_OPT_SPOOL_DIR 7           /* accounting records kept there; NULL or "" for none */
/* RADIUS over TLS, for servers added after (see docs/security.md). */
#define QVRAD_OPT_TLS_CA_FILE 20
#define QVRAD_OPT_TLS_CERT_FILE 21
#define QVRAD_OPT_TLS_KEY_FILE 22
#define QVRAD_OPT_TLS_SERVER_NAME 23
#define QVRAD_OPT_TLS_PSK_IDENTITY 24
#define QVRAD_OPT_TLS_PSK_FILE 25
#define QVRAD_OPT_TLS_PSK_TLS12 26      /* set_int: 1 lets the PSK serve TLS 1.2 (and only 1.2) */
/* Kept connections of the client's tls:// servers (set_int; see docs/api.md). */
#define QVRAD_OPT_TLS_MAX_CONNECTIONS 27 /* per server, 1 to 16, default 4 */
#define QVRAD_OPT_TLS_IDLE_MS 28        /* an idle one closed after, 0 to 3600000, default 25000;
                                         * 0: one connection per request, closed after it */

/* Values of QVRAD_OPT_REQUIRE_MESSAGE_AUTHENTICATOR (RFC 3579 section 3.2, CVE-2024-3596). */
#define QVRAD_REQUIRE_DEFAULT (-1) /* the process's QVRAD_REQUIRE_MESSAGE_AUTHENTICATOR (default) */
#define QVRAD_REQUIRE_AUTO 0       /* required once the server has signed a reply */
#define QVRAD_REQUIRE_YES 1        /* required in every reply */
#define QVRAD_REQUIRE_NO 2         /* never required (one that is present is still checked) */

/* A client with no servers and the default settings. */
QVRAD_API int QVRAD_CALL qvrad_client_new(qvrad_client** client);
/* Adds a server, tried in the order added (10 at most): host as auth takes one entry (a name,
 * an IPv4 or IPv6 address, "tls://host" for RADIUS over TLS), port 1 to 65535, secret 1 to 256
 * octets. */
QVRAD_API int QVRAD_CALL qvrad_client_add_server(qvrad_client* c, const char* host, int port,
                                                 const char* secret);
QVRAD_API int QVRAD_CALL qvrad_client_set_int(qvrad_client* c, int option, int64_t value);
QVRAD_API int QVRAD_CALL qvrad_client_set_text(qvrad_client* c, int option, const char* value);
/* Closes its kept TLS connections (close_notify), wipes its secrets and tickets and frees it.
 * Its logins must be freed before, and no login may run on it. */
QVRAD_API void QVRAD_CALL qvrad_client_free(qvrad_client* c);

/* One PAP login (user 1 to 253 octets, password 1 to 128). QVRAD_OK with *login set when a
 * verified reply came (see qvrad_login_code); any other status leaves *login NULL. */
QVRAD_API int QVRAD_CALL qvrad_login_pap(qvrad_client* c, const char* user, const char* password,
                                         qvrad_login** login);
/* Answers the login's Access-Challenge (as a password: 1 to 128 octets) with its State, to the
 * server that challenged and no other. QVRAD_OK when a verified reply came; on any other status
 * the login holds no reply (Code 0) and is no longer challenged. */
QVRAD_API int QVRAD_CALL qvrad_login_answer(qvrad_login* login, const char* answer);
/* The verified reply's Code: QVRAD_CODE_ACCEPT, _REJECT or _CHALLENGE; 0 for none. A reply whose
 * attributes do not parse (RFC 2865 section 5) is reported as a Reject, without attributes. */
QVRAD_API int QVRAD_CALL qvrad_login_code(const qvrad_login* login);
/* Its Reply-Messages (RFC 2865 section 5.18), in packet order, each NUL-terminated as received
 * (a NUL inside one ends it there). NULL past the count. */
QVRAD_API size_t QVRAD_CALL qvrad_login_message_count(const qvrad_login* login);
QVRAD_API const char* QVRAD_CALL qvrad_login_message(const qvrad_login* login, size_t i);
/* Every attribute in packet order; a Vendor-Specific (26) of RFC 2865 section 5.26's usual
 * layout gives one row per sub-attribute (vendor id, vendor type, value), one malformed in any
 * way gives one row of the whole attribute (vendor 0, type 26). Values are not NUL-terminated. */
QVRAD_API size_t QVRAD_CALL qvrad_login_attribute_count(const qvrad_login* login);
QVRAD_API int QVRAD_CALL qvrad_login_attribute(const qvrad_login* login, size_t i,
                                               uint32_t* vendor, uint32_t* type,
                                               const unsigned char** value, size_t* length);
/* 1 when a challenge's Prompt (RFC 2869 section 5.10) asks for the answer to be shown, else 0. */
QVRAD_API int QVRAD_CALL qvrad_login_prompt_echo(const qvrad_login* login);
QVRAD_API void QVRAD_CALL qvrad_login_free(qvrad_login* login);
/* The pointers a login hands out stay valid until qvrad_login_free or its next answer. */

/* Request attributes (from 1.3.0): a list the caller fills and passes to a login or an
 * accounting call, which send them after the library's own, in the order added (the NAS address,
 * decided per server, stays last). Each adder returns QVRAD_OK, or QVRAD_E_ARGUMENT and adds
 * nothing (qvrad_error_detail says why): a type outside 1..255, Vendor-Specific (26) but through
 * qvrad_attrs_add_vendor, an attribute the library owns (User-Name, User-Password,
 * CHAP-Password, NAS-IP-Address, State, NAS-Identifier, Proxy-State, EAP-Message,
 * Message-Authenticator, NAS-IPv6-Address), an empty value, one over 253 octets (247 for a
 * vendor's), or a list that would pass a packet's 4096 octets. A list is read, never changed, by
 * the calls it is passed to: threads may share one that no thread changes. */
QVRAD_API int QVRAD_CALL qvrad_attrs_new(qvrad_attrs** attrs);
/* Text (RFC 2865 section 5: 1 to 253 octets, sent as given, without its NUL). */
QVRAD_API int QVRAD_CALL qvrad_attrs_add_text(qvrad_attrs* attrs, int type, const char* text);
/* A 32-bit integer, in network order (Service-Type, NAS-Port-Type, Acct-Session-Time, ...). */
QVRAD_API int QVRAD_CALL qvrad_attrs_add_int(qvrad_attrs* attrs, int type, uint32_t value);
/* An IPv4 address from its dotted text (4 octets), or an IPv6 address from its text (16 octets,
 * RFC 3162); never looked up as a name. */
QVRAD_API int QVRAD_CALL qvrad_attrs_add_ipv4(qvrad_attrs* attrs, int type, const char* address);
QVRAD_API int QVRAD_CALL qvrad_attrs_add_ipv6(qvrad_attrs* attrs, int type, const char* address);
/* Any octets, 1 to 253. */
QVRAD_API int QVRAD_CALL qvrad_attrs_add_octets(qvrad_attrs* attrs, int type, const void* value,
                                                size_t length);
/* A Vendor-Specific attribute in RFC 2865 section 5.26's layout with one sub-attribute: vendor 1
 * to 16777215, vendor type 1 to 255, value 1 to 247 octets. */
QVRAD_API int QVRAD_CALL qvrad_attrs_add_vendor(qvrad_attrs* attrs, uint32_t vendor,
                                                int vendor_type, const void* value,
                                                size_t length);
QVRAD_API void QVRAD_CALL qvrad_attrs_free(qvrad_attrs* attrs);

/* qvrad_login_pap with the caller's attributes (NULL: none), which the login's answers to a
 * challenge carry too (a copy is kept). */
QVRAD_API int QVRAD_CALL qvrad_login_pap_attrs(qvrad_client* c, const char* user,
                                               const char* password, const qvrad_attrs* attrs,
                                               qvrad_login** login);

/* Accounting (RFC 2866), from 1.3.0. Values of Acct-Status-Type (RFC 2866 section 5.1). */
#define QVRAD_ACCT_START 1
#define QVRAD_ACCT_STOP 2
#define QVRAD_ACCT_INTERIM_UPDATE 3
#define QVRAD_ACCT_ON 7
#define QVRAD_ACCT_OFF 8

/* The accounting port of the server added as number index (from 0): 1 to 65535. By default
 * 1813, and for a tls:// server its own port (RFC 6614: one port for both). */
QVRAD_API int QVRAD_CALL qvrad_client_set_acct_port(qvrad_client* c, int index, int port);
/* Sends one Accounting-Request through the client's servers, in turn within its timeout, each
 * to its accounting port with its own secret: QVRAD_OK when a verified Accounting-Response came.
 * status_type is a QVRAD_ACCT_* value; session_id (Acct-Session-Id, 1 to 253 octets) is required
 * but for QVRAD_ACCT_ON and _OFF; user (User-Name) may be NULL; attrs may be NULL, and may not
 * carry Acct-Status-Type or Acct-Session-Id. Event-Timestamp is added when attrs has none, and
 * Acct-Delay-Time (0) when attrs has none. With QVRAD_OPT_SPOOL_DIR, the record is written there
 * before it is sent and removed once acknowledged: on QVRAD_E_TIMEOUT (or _RESOLVE, _TLS) it
 * stays, and a later qvrad_acct_send (once acknowledged) or qvrad_acct_flush sends it; if it
 * cannot be written, QVRAD_E_SPOOL and nothing is sent. */
QVRAD_API int QVRAD_CALL qvrad_acct_send(qvrad_client* c, int status_type, const char* session_id,
                                         const char* user, const qvrad_attrs* attrs);
/* Sends what the client's spool holds, oldest first, each with its Event-Timestamp and with
 * Acct-Delay-Time grown by the seconds it waited, until one is not acknowledged. QVRAD_OK when
 * none is left; *sent and *left (either may be NULL) count them. Files in the folder that are not
 * well-formed records of ours are left alone, never sent (qvrad_error_detail names the first). */
QVRAD_API int QVRAD_CALL qvrad_acct_flush(qvrad_client* c, size_t* sent, size_t* left);

/* A fixed English text for a status ("unknown status" for one not listed). */
QVRAD_API const char* QVRAD_CALL qvrad_strerror(int status);
/* The calling thread's words on its last call above that returns a status: after a failure,
 * what to fix (a refused argument or attribute by name, rule and length, never a secret's or
 * password's octets; for each server, the name that did not resolve in the name service's words,
 * silence after N transmissions, N replies discarded with the first one's reason, the TLS
 * failure; a spool's refusal); "" after a success. Valid until that thread's next such call. */
QVRAD_API const char* QVRAD_CALL qvrad_error_detail(void);

#ifdef __cplusplus
}
#endif

#endif /* QVRAD_H */
