// The structured interface's exports (include/qvrad.h): handles made and freed only here, every
// argument checked before anything is sent, and a status for every outcome.
#include "qvrad.h"

#include <cstring>
#include <new>

#include "api/arguments.h"
#include "api/call_outline.h"
#include "login/attrs.h"
#include "login/client_config.h"
#include "login/error_detail.h"
#include "login/login.h"
#include "platform/thread_random.h"
#include "spool/spool_file.h"
#include "radius/detail_text.h"
#include "tls/tls_session.h"

namespace {

// The length of text when it holds 1 to limit octets, else 0; never reads past limit + 1.
std::size_t TextWithin(const char* text, std::size_t limit) {
    if (text == nullptr) return 0;
    const void* end = std::memchr(text, '\0', limit + 1);
    return end == nullptr ? 0 : static_cast<std::size_t>(static_cast<const char*>(end) - text);
}

// Refuses an option the function does not set: one of the other function's (which), or none.
int RefuseOption(int option, const char* which, const char* function) {
    char words[128];
    DetailText text(words, sizeof words);
    if (OptionName(option) != nullptr)
        text.Text(OptionName(option)).Text(" takes ").Text(which);
    else
        text.Text("no QVRAD_OPT_* option of ").Text(function).Text(" is numbered so");
    return Refuse("option", words);
}

// A TLS setting's text (a path or a name): NULL or "" clears it, a longer one than limit is
// refused, never cut.
int SetTlsText(int option, char* into, std::size_t limit, const char* value) {
    const std::size_t n = value != nullptr ? TextWithin(value, limit) : 0;
    if (value != nullptr && value[0] != '\0' && n == 0)
        return RefuseLength(OptionName(option), value, limit);
    if (n != 0) std::memcpy(into, value, n);
    into[n] = '\0';
    return QVRAD_OK;
}

// A client whose settings may still change: not null, and not frozen by a login. Every call
// that returns a status starts here or clears the detail itself.
int Changeable(const qvrad_client* c) {
    SetErrorDetail("");
    if (c == nullptr) return RefuseNull("client");
    if (!c->frozen.load(std::memory_order_acquire)) return QVRAD_OK;
    return Refuse("client", "frozen by its first login: set it up before logging in", QVRAD_E_BUSY);
}

// Every call that read a secret, a password or an answer ends with the outline's wipe, whether it
// sent anything or not: the C library's string functions and copies leave those bytes in the
// vector registers (and in their frames), where a signal would store them in the host's stack.
int WipedAfter(int status) {
    WipeAfterCall();
    __asm__ __volatile__("" ::: "memory");  // not a tail call: the wipe runs below this frame
    return status;
}

// Adds a server to a changeable client; qvrad_client_add_server wipes after it.
int AddServer(qvrad_client* c, const char* host, int port, const char* secret) {
    const int changeable = Changeable(c);
    if (changeable != QVRAD_OK) return changeable;
    const std::size_t hostLength = TextWithin(host, kHostLimit);
    const std::size_t secretLength = TextWithin(secret, rad::kMaxSecretLength);
    if (host == nullptr) return RefuseNull("host");
    if (hostLength == 0)
        return host[0] == '\0' ? Refuse("host", "empty") : RefuseLength("host", host, kHostLimit);
    // One host: a list is made by adding servers, so a comma (never in a name) is refused.
    if (std::memchr(host, ',', hostLength) != nullptr)
        return Refuse("host", "holds a comma: add each server of a list by a call of its own");
    if (port < 1 || port > 65535) return RefuseNumber("port", port, 1, 65535);
    // The secret's length alone is told, never an octet of it.
    if (secret == nullptr) return RefuseNull("secret");
    if (secretLength == 0)
        return secret[0] == '\0' ? Refuse("secret", "empty; 1 to 256 octets")
                                 : RefuseLength("secret", secret, rad::kMaxSecretLength);
    if (c->serverCount >= CRadClient::kMaxServers)
        return Refuse("client", "has 10 servers already, the most it takes");
    const bool overTls = HasTlsScheme(host);
    if (overTls && hostLength == sizeof kTlsScheme - 1)
        return Refuse("host", "tls:// names no host");
    // Nothing falls back to UDP: a tls:// server without TLS, or with nothing to set a session
    // up from, is refused now rather than at every login.
    if (overTls && !TlsBuiltIn()) {
        SetErrorDetail("this build has no TLS (built without the Mbed TLS sources)");
        return QVRAD_E_TLS;
    }
    if (overTls && TlsSettingsEmpty(c->tls)) {
        SetErrorDetail(
            "no TLS settings: set the QVRAD_OPT_TLS_* options before adding a tls:// "
            "server");
        return QVRAD_E_TLS;
    }
    ServerSpec& spec = c->servers[c->serverCount];
    spec.overTls = overTls;
    if (overTls) spec.tls = c->tls;
    std::memcpy(spec.host, host, hostLength);
    spec.host[hostLength] = '\0';
    spec.port = static_cast<std::uint16_t>(port);
    spec.secret.Assign(secret, secretLength);
    spec.signing = c->signing;
    ++c->serverCount;
    return QVRAD_OK;
}

}  // namespace

extern "C" {

QVRAD_API int QVRAD_CALL qvrad_client_new(qvrad_client** client) {
    SetErrorDetail("");
    if (client == nullptr) return RefuseNull("client");
    *client = new (std::nothrow) qvrad_client;
    if (*client == nullptr) return Refuse("client", "no memory for a client", QVRAD_E_MEMORY);
    (*client)->tlsPool = new (std::nothrow) TlsPool;
    if ((*client)->tlsPool == nullptr) {
        delete *client;
        *client = nullptr;
        return Refuse("client", "no memory for a client", QVRAD_E_MEMORY);
    }
    (*client)->nas = ProcessNasIdentity();
    (*client)->tls = ProcessTlsSettings();
    return QVRAD_OK;
}

QVRAD_API int QVRAD_CALL qvrad_client_add_server(qvrad_client* c, const char* host, int port,
                                                 const char* secret) {
    return WipedAfter(AddServer(c, host, port, secret));
}

QVRAD_API int QVRAD_CALL qvrad_client_set_int(qvrad_client* c, int option, int64_t value) {
    const int changeable = Changeable(c);
    if (changeable != QVRAD_OK) return changeable;
    switch (option) {
        case QVRAD_OPT_TIMEOUT_MS:
            if (value < 1000 || value > 300000)
                return RefuseNumber(OptionName(option), value, 1000, 300000, " ms");
            c->timeoutMillis = static_cast<std::int32_t>(value);
            return QVRAD_OK;
        case QVRAD_OPT_MAX_TRANSMISSIONS:
            if (value < 1 || value > CRadSchedule::kMaxTransmissions)
                return RefuseNumber(OptionName(option), value, 1, CRadSchedule::kMaxTransmissions);
            c->maxTransmissions = static_cast<std::int32_t>(value);
            return QVRAD_OK;
        case QVRAD_OPT_REQUIRE_MESSAGE_AUTHENTICATOR:
            if (value < QVRAD_REQUIRE_DEFAULT || value > QVRAD_REQUIRE_NO)
                return RefuseNumber(OptionName(option), value, QVRAD_REQUIRE_DEFAULT,
                                    QVRAD_REQUIRE_NO);
            c->signing = static_cast<std::int8_t>(value);
            return QVRAD_OK;
        case QVRAD_OPT_MAX_CHALLENGES:
            if (value < 0 || value > 1000) return RefuseNumber(OptionName(option), value, 0, 1000);
            c->maxChallenges = static_cast<std::int32_t>(value);
            return QVRAD_OK;
        case QVRAD_OPT_TLS_PSK_TLS12:
            if (value < 0 || value > 1) return RefuseNumber(OptionName(option), value, 0, 1);
            c->tls.pskTls12 = value == 1 ? PskTls12::kOn : PskTls12::kOff;
            return QVRAD_OK;
        case QVRAD_OPT_TLS_MAX_CONNECTIONS:
            if (value < 1 || value > TlsServerRecord::kMaxConnections) return QVRAD_E_ARGUMENT;
            c->tlsPool->maxConnections = static_cast<std::int32_t>(value);
            return QVRAD_OK;
        case QVRAD_OPT_TLS_IDLE_MS:
            if (value < 0 || value > 3600000) return QVRAD_E_ARGUMENT;
            c->tlsPool->idleMillis = value;
            return QVRAD_OK;
        default:
            return RefuseOption(option, "a text: set it with qvrad_client_set_text",
                                "qvrad_client_set_int");
    }
}

QVRAD_API int QVRAD_CALL qvrad_client_set_text(qvrad_client* c, int option, const char* value) {
    const int changeable = Changeable(c);
    if (changeable != QVRAD_OK) return changeable;
    NasIdentity nas = c->nas;
    switch (option) {
        case QVRAD_OPT_NAS_IDENTIFIER: {
            // NULL: the process's (QVRAD_NAS_IDENTIFIER, else the host name); "": none.
            if (value == nullptr) {
                const NasIdentity& process = ProcessNasIdentity();
                std::memcpy(nas.identifier, process.identifier, sizeof nas.identifier);
                nas.identifierLength = process.identifierLength;
            } else {
                if (value[0] != '\0' && TextWithin(value, rad::kMaxTextLength) == 0)
                    return RefuseLength(OptionName(option), value, rad::kMaxTextLength);
                ParseNasIdentifier(value, nullptr, &nas);
            }
            break;
        }
        case QVRAD_OPT_NAS_IP_ADDRESS:
            if ((value != nullptr && TextWithin(value, 64) == 0) ||
                ParseNasIpAddress(value, &nas) != 0)
                return Refuse(OptionName(option), "not an IPv4 or IPv6 address, nor auto");
            break;
        case QVRAD_OPT_TLS_CA_FILE:
            return SetTlsText(option, c->tls.caFile, kMaxTlsPathLength, value);
        case QVRAD_OPT_TLS_CERT_FILE:
            return SetTlsText(option, c->tls.certFile, kMaxTlsPathLength, value);
        case QVRAD_OPT_TLS_KEY_FILE:
            return SetTlsText(option, c->tls.keyFile, kMaxTlsPathLength, value);
        case QVRAD_OPT_TLS_PSK_FILE:
            return SetTlsText(option, c->tls.pskFile, kMaxTlsPathLength, value);
        case QVRAD_OPT_TLS_SERVER_NAME:
            return SetTlsText(option, c->tls.serverName, kMaxTlsServerNameLength, value);
        case QVRAD_OPT_SPOOL_DIR: {
            // Checked now as at each use: a folder others can write to is refused.
            const std::size_t n = value != nullptr ? TextWithin(value, kSpoolPathLimit) : 0;
            if (value != nullptr && value[0] != '\0' && n == 0) return QVRAD_E_ARGUMENT;
            if (n != 0) {
                platform::FolderHandle folder = platform::kInvalidFolder;
                const char* refused = OpenSpoolFolder(value, &folder);
                platform::FolderClose(folder);
                if (refused != nullptr) {
                    SetErrorDetail(refused);
                    return QVRAD_E_SPOOL;
                }
                std::memcpy(c->spoolDir, value, n);
            }
            c->spoolDir[n] = '\0';
            return QVRAD_OK;
        }
        case QVRAD_OPT_TLS_PSK_IDENTITY: {
            // RFC 4279 section 5.3: up to 128 octets; NULL or "" for none.
            const std::size_t n = value != nullptr ? TextWithin(value, kMaxPskIdentityLength) : 0;
            if (value != nullptr && value[0] != '\0' && n == 0)
                return RefuseLength(OptionName(option), value, kMaxPskIdentityLength);
            if (n != 0) std::memcpy(c->tls.pskIdentity, value, n);
            c->tls.pskIdentityLength = static_cast<std::uint8_t>(n);
            return QVRAD_OK;
        }
        default:
            return RefuseOption(option, "a number: set it with qvrad_client_set_int",
                                "qvrad_client_set_text");
    }
    c->nas = nas;
    return QVRAD_OK;
}

QVRAD_API void QVRAD_CALL qvrad_client_free(qvrad_client* c) {
    if (c == nullptr) return;
    TlsPool* pool = c->tlsPool;
    c->tlsPool = nullptr;
    delete c;  // each server's secret wipes itself
    // Its kept connections: close_notify on each, then the wipe of a call that used TLS.
    if (pool != nullptr) CloseTlsPool(pool);
}

QVRAD_API int QVRAD_CALL qvrad_login_pap(qvrad_client* c, const char* user, const char* password,
                                         qvrad_login** login) {
    return qvrad_login_pap_attrs(c, user, password, nullptr, login);
}

QVRAD_API int QVRAD_CALL qvrad_login_pap_attrs(qvrad_client* c, const char* user,
                                               const char* password, const qvrad_attrs* attrs,
                                               qvrad_login** login) {
    SetErrorDetail("");
    if (login == nullptr) return WipedAfter(RefuseNull("login"));
    *login = nullptr;
    if (c == nullptr) return WipedAfter(RefuseNull("client"));
    if (c->serverCount == 0)
        return WipedAfter(Refuse("client", "has no server: add one with qvrad_client_add_server"));
    if (CheckText("user", user, rad::kMaxTextLength,
                  "a User-Name holds 1 to 253 octets (RFC 2865 section 5.1)") != QVRAD_OK ||
        CheckText("password", password, rad::kMaxPasswordLength,
                  "a PAP password is 1 to 128 octets (RFC 2865 section 5.2)") != QVRAD_OK)
        return WipedAfter(QVRAD_E_ARGUMENT);
    // From here on the client is only read: threads may share it without a lock.
    c->frozen.store(true, std::memory_order_release);
    qvrad_login* made = new (std::nothrow) qvrad_login;
    if (made == nullptr)
        return WipedAfter(Refuse("login", "no memory for a login", QVRAD_E_MEMORY));
    made->client = c;
    std::memcpy(made->user, user, std::strlen(user) + 1);
    // A login's first Identifier at random (RFC 2865 section 3 asks only that it differ from
    // the outstanding ones): a server's duplicate detection keys on the source address, port
    // and Identifier, and each login's socket takes a fresh ephemeral port, which the system
    // hands out again soon under load; from Identifier 0 every time, FreeRADIUS took a new login
    // on a reused port for a retransmission of an earlier one and dropped it.
    std::uint8_t first = 0;
    if (platform::ThreadRandomBytes(&first, 1) == 0) made->identifiers = first;
    if (attrs != nullptr && attrs->list.count != 0) {
        made->extra = new (std::nothrow) RequestAttributes(attrs->list);
        if (made->extra == nullptr) {
            delete made;
            return WipedAfter(QVRAD_E_MEMORY);
        }
    }
    const int status = RunLogin(*made, password, false);
    if (status != QVRAD_OK) {
        delete made;
        return status;
    }
    *login = made;
    return QVRAD_OK;
}

QVRAD_API int QVRAD_CALL qvrad_login_answer(qvrad_login* login, const char* answer) {
    SetErrorDetail("");
    if (login == nullptr) return WipedAfter(RefuseNull("login"));
    // RFC 2865 section 4.4: the answer goes in User-Password, as a password does.
    if (CheckText("answer", answer, rad::kMaxPasswordLength,
                  "an answer goes as a password: 1 to 128 octets (RFC 2865 section 5.2)") !=
        QVRAD_OK)
        return WipedAfter(QVRAD_E_ARGUMENT);
    if (!login->challenged)
        return WipedAfter(Refuse("login",
                                 "not waiting for an answer (no Access-Challenge, or it was "
                                 "answered or ended)",
                                 QVRAD_E_NOT_CHALLENGED));
    return RunLogin(*login, answer, true);
}

QVRAD_API int QVRAD_CALL qvrad_login_code(const qvrad_login* login) {
    return login != nullptr ? login->view.code : 0;
}

QVRAD_API size_t QVRAD_CALL qvrad_login_message_count(const qvrad_login* login) {
    return login != nullptr ? login->view.messageCount : 0;
}

QVRAD_API const char* QVRAD_CALL qvrad_login_message(const qvrad_login* login, size_t i) {
    if (login == nullptr || i >= login->view.messageCount) return nullptr;
    return login->view.messages[i];
}

QVRAD_API size_t QVRAD_CALL qvrad_login_attribute_count(const qvrad_login* login) {
    return login != nullptr ? login->view.rowCount : 0;
}

QVRAD_API int QVRAD_CALL qvrad_login_attribute(const qvrad_login* login, size_t i, uint32_t* vendor,
                                               uint32_t* type, const unsigned char** value,
                                               size_t* length) {
    SetErrorDetail("");
    if (login == nullptr) return RefuseNull("login");
    if (vendor == nullptr || type == nullptr || value == nullptr || length == nullptr)
        return Refuse("vendor, type, value, length", "NULL: each must point to a variable");
    if (i >= login->view.rowCount) {
        char words[96];
        DetailText(words, sizeof words)
            .Text("past the last attribute: the reply has ")
            .Number(login->view.rowCount);
        return Refuse("i", words);
    }
    const ReplyRow& row = login->view.rows[i];
    *vendor = row.vendor;
    *type = row.type;
    *value = row.value;
    *length = row.length;
    return QVRAD_OK;
}

QVRAD_API int QVRAD_CALL qvrad_login_prompt_echo(const qvrad_login* login) {
    return login != nullptr && login->challenged ? login->view.promptEcho : 0;
}

QVRAD_API void QVRAD_CALL qvrad_login_free(qvrad_login* login) {
    delete login;
}

QVRAD_API const char* QVRAD_CALL qvrad_error_detail(void) {
    return ErrorDetail();
}

QVRAD_API const char* QVRAD_CALL qvrad_strerror(int status) {
    switch (status) {
        case QVRAD_OK:
            return "success: a verified reply came (its Code says whether the user is in)";
        case QVRAD_E_ARGUMENT:
            return "an argument was refused (null, empty, too long or out of range); nothing was "
                   "sent";
        case QVRAD_E_TIMEOUT:
            return "no verified reply within the timeout";
        case QVRAD_E_RESOLVE:
            return "no server could be resolved, or none is of an address family this host has";
        case QVRAD_E_NOT_CHALLENGED:
            return "the login is not waiting for an answer to a challenge";
        case QVRAD_E_TOO_MANY_CHALLENGES:
            return "the server challenged more often than the client allows";
        case QVRAD_E_BUSY:
            return "the client is in use by a login: its settings can no longer change";
        case QVRAD_E_MEMORY:
            return "out of memory";
        case QVRAD_E_INTERNAL:
            return "the socket layer could not be started, or no socket could be made";
        case QVRAD_E_TLS:
            return "RADIUS over TLS failed for every TLS server (settings, connection or "
                   "certificate checks)";
        case QVRAD_E_SPOOL:
            return "the spool folder was refused (others can write to it) or the record could "
                   "not be written there; nothing was sent";
        default:
            return "unknown status";
    }
}

}  // extern "C"
