// qvrad-auth: one RADIUS PAP login from the command line through the library's structured
// interface (qvrad.h), Access-Challenges answered, or one Status-Server probe through auth's
// sibling, for operators checking a server, a shared secret or an account; its exit status is
// the server's decision, and --verbose shows the exchange as the library saw it.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "api/arguments.h"
#include "api/auth_call.h"
#include "api/module.h"
#include "api/result.h"
#include "accounting_cli.h"
#include "attribute_names.h"
#include "exchange_trace.h"
#include "load_mode.h"
#include "login/client_config.h"
#include "qvRadClient.h"
#include "qvrad.h"
#include "radius/nas_identity.h"
#include "terminal.h"
#include "text_escape.h"
#include "tls/tls_session.h"
#include "tls/tls_settings.h"
#include "version.h"

// Shared with the POSIX prompt (terminal.h). Unbuffered streams only: a stdio buffer would keep
// a copy of the secret that no wipe reaches.
LineRead ReadLine(std::FILE* in, char* text, std::size_t limit, std::size_t* length) {
    *length = 0;
    bool any = false;
    bool nul = false;
    int c;
    while ((c = std::fgetc(in)) != EOF) {
        any = true;
        if (c == '\n') break;
        // limit + 1 bytes are stored (the last may be the "\r" of "\r\n"); one more is too many.
        if (*length > limit) {
            text[*length] = '\0';
            return LineRead::kTooLong;
        }
        if (c == '\0') nul = true;
        text[(*length)++] = static_cast<char>(c);
    }
    text[*length] = '\0';
    if (std::ferror(in)) return LineRead::kError;
    if (!any) return LineRead::kEnd;
    if (*length > 0 && text[*length - 1] == '\r') text[--*length] = '\0';
    if (*length > limit) return LineRead::kTooLong;
    if (nul) return LineRead::kNul;
    return LineRead::kOk;
}

namespace {

// Exit statuses: the Code of a verified reply, else the tool's own failure (as the text auth
// would give for it), an Access-Challenge left unanswered, or a usage fault (EX_USAGE of
// sysexits.h).
constexpr int kExitAccept = 0;
constexpr int kExitReject = 1;
constexpr int kExitNetworkFail = 2;
constexpr int kExitOtherCode = 3;
constexpr int kExitInvalidInput = 4;
constexpr int kExitInternal = 5;
constexpr int kExitChallenged = 6;
constexpr int kExitUsage = 64;

// The texts auth has none for, in the form of its 6042 texts (exit 5).
const char kResultMemory[] = "6042#0#ERR_SDK_INTERNAL(Out of memory)";
const char kResultUnexpected[] = "6042#0#ERR_SDK_INTERNAL(Unexpected status)";

// Access-Challenges answered in one login at most: the library's QVRAD_OPT_MAX_CHALLENGES
// default, set explicitly so that the two bounds agree.
constexpr int kMaxChallenges = 10;

// auth refuses any argument of 2048 bytes or more. Values are kept up to that length, so a
// longer one still reaches auth as too long and gets its verdict, never a shortened value
// that might pass.
constexpr std::size_t kKeepLength = 2048;

// A line read (stdin, the terminal, the secret file) ends at the library's limit plus this
// margin: a line a little too long still reaches auth and gets its verdict (exit 4), one far
// too long, or endless input, ends the reading at once (exit 64).
constexpr std::size_t kReadMargin = 64;
constexpr std::size_t kPasswordReadLimit = rad::kMaxPasswordLength + kReadMargin;  // 192
// An answer goes out as a password does (RFC 2865 section 4.4: in User-Password).
constexpr std::size_t kAnswerReadLimit = kPasswordReadLimit;
constexpr std::size_t kSecretReadLimit = rad::kMaxSecretLength + kReadMargin;  // 320
static_assert(kSecretReadLimit + 2 <= kKeepLength + 1, "a read line fits a Value");

// draft-ietf-radext-deprecating-radius: a shared secret of 12 octets or less draws a warning;
// one exchange seen on the wire is enough to search such a secret offline.
constexpr std::size_t kShortSecret = 12;

// RFC 6614 section 2.1: RADIUS over TLS listens on TCP port 2083.
const char kTlsPort[] = "2083";

const char kHelp[] =
    "Usage: qvrad-auth --server HOST [--port 1812] (--secret S | --secret-file F)\n"
    "                  --user U [--password P | --password-stdin]\n"
    "                  [--answer-stdin | --answer-file F] [--attributes] [--timeout 5]\n"
    "                  [--require-message-authenticator] [TLS options] [-v]\n"
    "       qvrad-auth --server HOST ... --user U [password] --repeat N [--parallel P]\n"
    "       qvrad-auth --status --server HOST [--port 1812] (--secret S | --secret-file F)\n"
    "                  [--timeout 5] [TLS options] [-v]\n"
    "       qvrad-auth --acct start|stop|interim|on|off --server HOST [--port 1813] (secret)\n"
    "                  [--session-id ID] [--user U] [--attr NAME=VALUE ...] [--spool DIR] [-v]\n"
    "       qvrad-auth --acct-flush --spool DIR --server HOST [--port 1813] (secret) [-v]\n"
    "       qvrad-auth --help | --version\n"
    "\n"
    "Sends one RADIUS (RFC 2865) Access-Request with a PAP password to HOST through the\n"
    "library's structured interface (qvrad.h), answers each Access-Challenge, prints the final\n"
    "reply's Reply-Messages (one a line), and exits with the server's decision.\n"
    "\n"
    "  --server HOST       server name, IPv4 or IPv6 address (::1, [::1]), or a list of up to\n"
    "                      10 separated by commas, tried in turn within the one timeout;\n"
    "                      tls://HOST is RADIUS over TLS (RFC 6614) to HOST, never in the clear\n"
    "  --port N            UDP port (TCP for tls://), 1 to 65535 (default 1812; 2083 when\n"
    "                      every server is tls://)\n"
    "  --secret S          shared secret\n"
    "  --secret-file F     shared secret: the first line of F, line ending dropped; refused\n"
    "                      (exit 64) unless F is a regular file, or if group or others have any\n"
    "                      access to F or another user owns it (mend it with: chmod 600 F)\n"
    "                      (without either, the environment variable QVRAD_SECRET, which is\n"
    "                      then removed from this process's environment; without any, when\n"
    "                      every server is tls://, \"radsec\")\n"
    "  --user U            User-Name, sent exactly as given (spaces included)\n"
    "  --password P        password\n"
    "  --password-stdin    password: one line read from standard input, line ending dropped\n"
    "                      (without either, it is asked for on the terminal, not echoed)\n"
    "  --answer-stdin      answers to Access-Challenges: one line of standard input each, in\n"
    "                      turn (after the password's line under --password-stdin)\n"
    "  --answer-file F     answers: one line of F each, in turn; F is checked as the secret\n"
    "                      file is (exit 64 when others may read it)\n"
    "                      (without either, each is asked for on the terminal, not echoed\n"
    "                      unless the challenge's Prompt says echo; with no terminal an\n"
    "                      Access-Challenge ends the run with exit 6)\n"
    "  --attributes        after the Reply-Messages, every attribute of the final reply, one\n"
    "                      a line, each line starting with a TAB\n"
    "  --timeout N         seconds from the first send to a verified reply, 1 to 300 (default\n"
    "                      5), for the login and again for each answer; a silent server is\n"
    "                      sent the request again within it (--status: 1 to 19)\n"
    "  --repeat N          load mode: the login N times (1 to 1000000) through one client,\n"
    "                      challenges not answered, then a summary on standard output: the\n"
    "                      counts by outcome, logins per second, latency p50, p90, p99 and\n"
    "                      max; a progress line on standard error when it is a terminal.\n"
    "                      Exit 0 only when every login got a verified reply (any Code), 2\n"
    "                      when one did not, 130 after Ctrl-C (the summary so far; a second\n"
    "                      Ctrl-C ends at once). No -v, --attributes or answers\n"
    "  --parallel P        load mode: P threads (1 to 256, at most N) log in at once through\n"
    "                      the one client (so they share what it keeps, TLS connections too)\n"
    "  --status            instead of a login, ask whether the server is alive: one\n"
    "                      Status-Server (RFC 5997) with a Message-Authenticator and no\n"
    "                      credentials, never sent twice; prints \"alive\" and the round trip\n"
    "                      when a verified Access-Accept (or Accounting-Response) comes back,\n"
    "                      with a warning when it is not signed (discarded under\n"
    "                      --require-message-authenticator)\n"
    "  --require-message-authenticator\n"
    "                      discard every reply without a valid Message-Authenticator, as\n"
    "                      QVRAD_REQUIRE_MESSAGE_AUTHENTICATOR=yes does (BlastRADIUS,\n"
    "                      CVE-2024-3596)\n"
    "  --nas-identifier T  NAS-Identifier sent, at most 253 bytes (default:\n"
    "                      QVRAD_NAS_IDENTIFIER, else this machine's host name); empty: none\n"
    "  --nas-ip-address A  NAS-IP-Address (NAS-IPv6-Address for IPv6) sent: an address, or\n"
    "                      auto for the local address toward each server (default:\n"
    "                      QVRAD_NAS_IP_ADDRESS, else none)\n"
    "  -v, --verbose       show the exchange on standard error: the request sent and its\n"
    "                      attributes (User-Password hidden), each datagram received and why it\n"
    "                      was discarded or taken, and the reply's attributes; for tls:// the\n"
    "                      TLS version and cipher suite, or why the connection failed, and the\n"
    "                      server's certificate chain (subject, issuer, subjectAltName,\n"
    "                      validity) whether or not it verified. Without -v a failure still\n"
    "                      says on standard error what to fix\n"
    "  --version           print this tool's version and the library's, whether RADIUS over\n"
    "                      TLS is built in (and its TLS library), then the library's banner\n"
    "  --attr NAME=VALUE   an attribute of the request, after the library's own, in the order\n"
    "                      given (repeatable): NAME from the --attributes table (RFC 2865,\n"
    "                      2866, 2869, 3162), or TYPE (1 to 255), or 26:VENDOR:TYPE for a\n"
    "                      vendor attribute; VALUE by the attribute's type: text as given,\n"
    "                      integers in decimal, addresses, 0x and hex digits for octets (and\n"
    "                      for unknown types, which are text otherwise); User-Name,\n"
    "                      User-Password, State, NAS-Identifier, NAS-IP-Address and the\n"
    "                      like are the library's own (exit 4, naming why)\n"
    "Accounting (RFC 2866), in place of a login:\n"
    "  --acct TYPE         one Accounting-Request: start, stop, interim (Interim-Update), on\n"
    "                      or off (Accounting-On/Off); port default 1813; Event-Timestamp and\n"
    "                      Acct-Delay-Time added; prints \"Accounting-Response: acknowledged\"\n"
    "  --session-id ID     Acct-Session-Id, required but for on and off\n"
    "  --spool DIR         keep the record in DIR (a folder only its owner can write to)\n"
    "                      until a server acknowledges it; one not acknowledged stays there\n"
    "  --acct-flush        with --spool DIR: send what DIR holds, oldest first, with\n"
    "                      Acct-Delay-Time grown by the time each waited; prints\n"
    "                      \"sent N, left M\"\n"
    "  Exit status: 0 acknowledged (--acct-flush: nothing left), 2 no verified\n"
    "  Accounting-Response (with --spool the record is kept, and the tool says so on\n"
    "  standard error), 4 refused input (an attribute, the spool folder), 64 bad usage.\n"
    "TLS options, for tls:// servers only (each sets what its variable sets, in its place;\n"
    "the variables not replaced still count). Certificates: all three files, PEM:\n"
    "  --tls-ca F          the CA that signs the server's certificate: the only trust\n"
    "                      anchor (QVRAD_TLS_CA_FILE)\n"
    "  --tls-cert F        this client's certificate (QVRAD_TLS_CERT_FILE)\n"
    "  --tls-key F         its private key, unencrypted (QVRAD_TLS_KEY_FILE)\n"
    "  --tls-server-name N the name the server's certificate must carry in its\n"
    "                      subjectAltName (default: HOST as given) (QVRAD_TLS_SERVER_NAME)\n"
    "Or a pre-shared key (RFC 9813), TLS 1.3 unless --tls-psk-tls12:\n"
    "  --tls-psk-identity I  the PSK identity, 1 to 128 bytes (QVRAD_TLS_PSK_IDENTITY)\n"
    "  --tls-psk-file F    the key: 16 to 64 octets as hex (QVRAD_TLS_PSK_FILE)\n"
    "  --tls-psk-tls12     the PSK serves TLS 1.2, and only 1.2 (QVRAD_TLS_PSK_TLS12=yes)\n"
    "Over TLS the RADIUS secret is \"radsec\" (RFC 6614); the secret given still must not be\n"
    "the PSK. A TLS failure prints 6040#0#ERR_NETWORK_FAIL (exit 2) and its reason on\n"
    "standard error; settings that make neither mode are a usage fault (exit 64).\n"
    "Options take \"--name value\" or \"--name=value\"; the last of a repeated option wins.\n"
    "\n"
    "Secrets and passwords given on the command line are visible to other users of this\n"
    "machine (ps, /proc/PID/cmdline) and may land in shell history; this program blanks its own\n"
    "copy of them, on POSIX systems only, and not before others may have looked. Prefer\n"
    "--secret-file or QVRAD_SECRET for the secret, and --password-stdin or the terminal prompt\n"
    "for the password. On Windows nothing is blanked; a secret or answer file is refused when\n"
    "its DACL lets Everyone, Users, Authenticated Users or Guests read it (mend it with icacls).\n"
    "A password or answer line over 192 bytes or a secret line over 320 ends the reading (exit\n"
    "64). A secret of 12 bytes or fewer draws a warning: use at least 16 random characters.\n"
    "\n"
    "A one-shot command never learns that a server signs its replies, so by default (auto) a\n"
    "forged unsigned reply would pass here: once a server is known to send Message-Authenticator,\n"
    "give --require-message-authenticator (or QVRAD_REQUIRE_MESSAGE_AUTHENTICATOR=yes).\n"
    "\n"
    "Output: each Reply-Message of the final reply on a line of its own, in packet order, or\n"
    "the text auth gives a host when there is none or no reply (below); an Access-Challenge's\n"
    "Reply-Messages go to standard error before its answer is read. Control characters (C0,\n"
    "DEL, C1, also as UTF-8), the bidirectional controls, U+2028, U+2029, the invisible format\n"
    "characters (U+00AD, U+180E, U+200B-U+200D, U+2060-U+206F, U+FEFF, U+FFF0-U+FFFB,\n"
    "U+1BCA0-U+1BCA3, U+1D173-U+1D17A, the tags U+E0000-U+E00FF, U+E01F0-U+E0FFF), bytes that\n"
    "are not valid UTF-8 and the backslash are printed as \\xHH and \\\\, so a Reply-Message\n"
    "always stays one harmless line. --attributes rows read \"NAME = VALUE\": RFC 2865 and 2869\n"
    "names (Attr-N for others), text in quotes and escaped, integers in decimal, addresses,\n"
    "the rest (Class, State, unknown types) as 0x and hex; a Vendor-Specific sub-attribute as\n"
    "\"Vendor-Specific vendor=N type=M = VALUE\", in quotes when it is printable text (a\n"
    "Cisco-AVPair), else 0x and hex; -v names attributes the same way.\n"
    "\n"
    "Exit status (a verified reply's Code decides; no text a server sends changes that):\n"
    "  0   Access-Accept (the text may still be 6041#0#ERR_INVALID_RADIUS_FORMAT, as a host\n"
    "      would get, when the Accept carried no Reply-Message); --status: alive\n"
    "  1   Access-Reject, or an Access-Accept whose attributes do not parse (RFC 2865 section 5)\n"
    "  2   6040#0#ERR_NETWORK_FAIL          no verified reply within the timeout, no server\n"
    "                                       resolved, or every tls:// server failed;\n"
    "                                       --status: no answer\n"
    "  3   6041#0#ERR_INVALID_RADIUS_FORMAT more than 10 Access-Challenges in one login;\n"
    "                                       --status: a reply of another Code\n"
    "  4   6007#0#INVALID_INPUT_ERR         the library refused an argument; nothing was sent\n"
    "  5   6042#0#ERR_SDK_INTERNAL(...)     the library could not run the exchange\n"
    "  6   challenged: an Access-Challenge came and no answer could be had (no terminal and\n"
    "      no --answer-stdin or --answer-file, or no line left in them); its Reply-Messages\n"
    "      are printed\n"
    "  64  bad usage\n"
    "  130 --repeat, --parallel: interrupted (Ctrl-C), the summary so far printed; there 0\n"
    "      means every login got a verified reply, 2 that one did not\n";

// A wipe the compiler cannot drop: the stores go through a volatile pointer.
void Wipe(void* memory, std::size_t size) {
    volatile unsigned char* p = static_cast<volatile unsigned char*>(memory);
    while (size-- > 0) *p++ = 0;
}

// A secret or password: fixed storage, wiped when it goes out of scope on every path.
struct Value {
    char text[kKeepLength + 1];
    std::size_t length;
    bool set;

    Value() : text(), length(0), set(false) {}
    ~Value() { Wipe(text, sizeof text); }
    Value(const Value&) = delete;
    Value& operator=(const Value&) = delete;

    void Assign(const char* source) {
        Wipe(text, sizeof text);  // a longer earlier value must not linger past the new one
        length = 0;
        while (length < kKeepLength && source[length] != '\0') {
            text[length] = source[length];
            ++length;
        }
        text[length] = '\0';
        set = true;
    }
};

// Marks a Value given once a line was read into it; passes the outcome on.
LineRead Into(Value* value, LineRead got) {
    if (got == LineRead::kOk) {
        value->text[value->length] = '\0';
        value->set = true;
    }
    return got;
}

int Usage(const char* message, const char* detail = nullptr) {
    std::fputs("qvrad-auth: ", stderr);
    std::fputs(message, stderr);
    if (detail != nullptr) {
        std::fputs(": ", stderr);
        std::fputs(detail, stderr);
    }
    std::fputs("\nTry 'qvrad-auth --help'.\n", stderr);
    return kExitUsage;
}

// The --tls-* options: each, when given, takes the place of its QVRAD_TLS_* variable.
struct TlsOptions {
    const char* caFile = nullptr;
    const char* certFile = nullptr;
    const char* keyFile = nullptr;
    const char* serverName = nullptr;
    const char* pskIdentity = nullptr;
    const char* pskFile = nullptr;
    bool pskTls12 = false;

    bool Any() const {
        return caFile != nullptr || certFile != nullptr || keyFile != nullptr ||
               serverName != nullptr || pskIdentity != nullptr || pskFile != nullptr || pskTls12;
    }
    // The field an option with a value sets, or null for another name.
    const char** Field(const char* name) {
        const struct {
            const char* name;
            const char** field;
        } table[] = {{"--tls-ca", &caFile},
                     {"--tls-cert", &certFile},
                     {"--tls-key", &keyFile},
                     {"--tls-server-name", &serverName},
                     {"--tls-psk-identity", &pskIdentity},
                     {"--tls-psk-file", &pskFile}};
        for (const auto& row : table)
            if (std::strcmp(name, row.name) == 0) return row.field;
        return nullptr;
    }
};

struct Options {
    bool verbose = false;
    bool status = false;
    bool requireSignature = false;
    const char* server = nullptr;
    const char* port = nullptr;  // null: 1812, or 2083 when every server is tls://
    const char* user = nullptr;
    const char* timeout = "5";
    const char* secretFile = nullptr;
    const char* nasIdentifier = nullptr;  // null: the library's setting stands
    const char* nasIpAddress = nullptr;
    bool passwordStdin = false;
    bool answerStdin = false;
    const char* answerFile = nullptr;
    bool attributes = false;
    bool help = false;
    bool version = false;
    TlsOptions tls;
    AccountingOptions acct;  // --attr, --acct, --session-id, --spool, --acct-flush
    // The load mode (load_mode.h): both null for one login.
    const char* repeat = nullptr;
    const char* parallel = nullptr;
    LoadSettings load;
    Value secret;    // --secret, copied out of argv
    Value password;  // --password, copied out of argv
};

// Copies a secret given in argv and blanks it there, which hides it from later readers of
// /proc/PID/cmdline on Linux (not from those who looked before).
void TakeFromArgv(char* argument, Value* value) {
    value->Assign(argument);
    Wipe(argument, std::strlen(argument));
}

// The entries of a server argument as auth splits it, and how many of them are tls://; 0 and 0
// for one that does not split (the library refuses it later, exit 4).
int EntryCount(const char* server, int* tlsEntries = nullptr) {
    ServerList list;
    if (tlsEntries != nullptr) *tlsEntries = 0;
    if (server == nullptr || SplitServerList(server, std::strlen(server), &list) != 0) return 0;
    for (std::int32_t i = 0; tlsEntries != nullptr && i < list.count; ++i)
        if (HasTlsScheme(list.text + list.entry[i])) ++*tlsEntries;
    return list.count;
}

int CountTlsEntries(const char* server) {
    int tlsEntries = 0;
    EntryCount(server, &tlsEntries);
    return tlsEntries;
}

// The load mode's options: counts in range, and none of what one login alone can show or answer.
// 0, or the exit status of a usage fault.
int CheckLoadOptions(Options* o) {
    if (o->repeat == nullptr && o->parallel == nullptr) return 0;
    if (o->repeat != nullptr && ParseCount(o->repeat, 1, kMaxRepeat, &o->load.repeat) != 0)
        return Usage("--repeat takes a number of logins from 1 to 1000000", o->repeat);
    if (o->parallel != nullptr && ParseCount(o->parallel, 1, kMaxParallel, &o->load.parallel) != 0)
        return Usage("--parallel takes a number of threads from 1 to 256", o->parallel);
    if (o->status) return Usage("--repeat and --parallel are for logins, not --status");
    if (o->verbose || o->attributes)
        return Usage("--repeat and --parallel show a summary: drop -v and --attributes");
    if (o->answerStdin || o->answerFile != nullptr)
        return Usage("--repeat and --parallel answer no Access-Challenge: drop the answers");
    return 0;
}

// 0, or the exit status of a usage fault. As getopt-style tools do, the last of a repeated
// option wins: a script can append an override to a base command line.
int ParseOptions(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        char* arg = argv[i];
        char* inlineValue = nullptr;
        if (std::strncmp(arg, "--", 2) == 0) {
            char* eq = std::strchr(arg, '=');
            if (eq != nullptr) {
                *eq = '\0';  // "--name=value": split in place; the name is compared alone
                inlineValue = eq + 1;
            }
        }
        const char* name = arg;
        // Each option with a value takes "--name value" or "--name=value".
        auto value = [&](char** out) -> int {
            if (inlineValue != nullptr) {
                *out = inlineValue;
                return 0;
            }
            if (i + 1 >= argc) return Usage("option needs a value", name);
            *out = argv[++i];
            return 0;
        };
        auto flag = [&]() -> int {
            return inlineValue != nullptr ? Usage("option takes no value", name) : 0;
        };
        char* v = nullptr;
        int rc = 0;
        if (std::strcmp(name, "--help") == 0 || std::strcmp(name, "-h") == 0) {
            if ((rc = flag()) != 0) return rc;
            o->help = true;
        } else if (std::strcmp(name, "--version") == 0) {
            if ((rc = flag()) != 0) return rc;
            o->version = true;
        } else if (std::strcmp(name, "--verbose") == 0 || std::strcmp(name, "-v") == 0) {
            if ((rc = flag()) != 0) return rc;
            o->verbose = true;
        } else if (std::strcmp(name, "--password-stdin") == 0) {
            if ((rc = flag()) != 0) return rc;
            o->passwordStdin = true;
        } else if (std::strcmp(name, "--answer-stdin") == 0) {
            if ((rc = flag()) != 0) return rc;
            o->answerStdin = true;
        } else if (std::strcmp(name, "--attributes") == 0) {
            if ((rc = flag()) != 0) return rc;
            o->attributes = true;
        } else if (std::strcmp(name, "--status") == 0) {
            if ((rc = flag()) != 0) return rc;
            o->status = true;
        } else if (std::strcmp(name, "--require-message-authenticator") == 0) {
            if ((rc = flag()) != 0) return rc;
            o->requireSignature = true;
        } else if (std::strcmp(name, "--tls-psk-tls12") == 0) {
            if ((rc = flag()) != 0) return rc;
            o->tls.pskTls12 = true;
        } else if (const char** tlsField = o->tls.Field(name)) {
            if ((rc = value(&v)) != 0) return rc;
            *tlsField = v;
        } else if (std::strcmp(name, "--server") == 0) {
            if ((rc = value(&v)) != 0) return rc;
            o->server = v;
        } else if (std::strcmp(name, "--port") == 0) {
            if ((rc = value(&v)) != 0) return rc;
            o->port = v;
        } else if (std::strcmp(name, "--user") == 0) {
            if ((rc = value(&v)) != 0) return rc;
            o->user = v;
        } else if (std::strcmp(name, "--timeout") == 0) {
            if ((rc = value(&v)) != 0) return rc;
            o->timeout = v;
        } else if (std::strcmp(name, "--nas-identifier") == 0) {
            if ((rc = value(&v)) != 0) return rc;
            o->nasIdentifier = v;
        } else if (std::strcmp(name, "--nas-ip-address") == 0) {
            if ((rc = value(&v)) != 0) return rc;
            o->nasIpAddress = v;
        } else if (std::strcmp(name, "--repeat") == 0) {
            if ((rc = value(&v)) != 0) return rc;
            o->repeat = v;
        } else if (std::strcmp(name, "--parallel") == 0) {
            if ((rc = value(&v)) != 0) return rc;
            o->parallel = v;
        } else if (std::strcmp(name, "--answer-file") == 0) {
            if ((rc = value(&v)) != 0) return rc;
            o->answerFile = v;
        } else if (std::strcmp(name, "--secret-file") == 0) {
            if ((rc = value(&v)) != 0) return rc;
            o->secretFile = v;
        } else if (std::strcmp(name, "--secret") == 0) {
            if ((rc = value(&v)) != 0) return rc;
            TakeFromArgv(v, &o->secret);  // every copy is blanked in argv, the last one kept
        } else if (std::strcmp(name, "--password") == 0) {
            if ((rc = value(&v)) != 0) return rc;
            TakeFromArgv(v, &o->password);
        } else if (AccountingOptionTakesValue(name) || std::strcmp(name, "--acct-flush") == 0) {
            if (AccountingOptionTakesValue(name) && (rc = value(&v)) != 0) return rc;
            if ((rc = TakeAccountingOption(name, v, inlineValue != nullptr, &o->acct)) != 1)
                return rc;
        } else {
            return Usage("unknown argument", name);
        }
    }
    if (o->help || o->version) return 0;
    if (o->server == nullptr) return Usage("--server is required");
    // RFC 5997 section 3: a Status-Server carries no credentials.
    if (o->status && (o->user != nullptr || o->password.set || o->passwordStdin || o->answerStdin ||
                      o->answerFile != nullptr))
        return Usage("--status sends no credentials: drop --user, the password and the answers");
    if (o->status && o->attributes)
        return Usage("--attributes shows a login's reply, not --status");
    if (int rc = CheckAccountingOptions(o->acct, o->status, o->user)) return rc;
    if (!o->status && !o->acct.Active() && o->user == nullptr) return Usage("--user is required");
    if (o->secret.set && o->secretFile != nullptr)
        return Usage("give the secret once: --secret or --secret-file");
    if (o->password.set && o->passwordStdin)
        return Usage("give the password once: --password or --password-stdin");
    if (o->answerStdin && o->answerFile != nullptr)
        return Usage("give the answers once: --answer-stdin or --answer-file");
    if (const int rc = CheckLoadOptions(o); rc != 0) return rc;
    int tlsEntries = 0;
    const int entries = EntryCount(o->server, &tlsEntries);
    if (o->tls.Any() && tlsEntries == 0)
        return Usage("the --tls-* options are for tls:// servers, and --server names none");
    if (o->port == nullptr)
        o->port = tlsEntries > 0 && tlsEntries == entries ? kTlsPort
                  : o->acct.Active()                      ? "1813"
                                                          : "1812";
    return 0;
}

// A line past its read limit, as a usage fault; what names the line.
int TooLong(const char* what, std::size_t limit) {
    char message[192];
    std::snprintf(message, sizeof message, "%s longer than %u bytes (the library takes %u at most)",
                  what, static_cast<unsigned>(limit), static_cast<unsigned>(limit - kReadMargin));
    return Usage(message);
}

// A secret or answer file that could not be opened: which, and the system's reason.
int CannotOpen(const char* what, const char* path, const SecretFileFacts& facts) {
    std::fprintf(stderr, "qvrad-auth: cannot open the %s %s: %s\n", what, path,
                 facts.cannotOpen[0] != '\0' ? facts.cannotOpen : "the reason is unknown");
    std::fputs("Try 'qvrad-auth --help'.\n", stderr);
    return kExitUsage;
}

int ReadSecretFile(const char* path, Value* secret) {
    SecretFileState state = SecretFileState::kCannotOpen;
    SecretFileFacts facts;
    std::FILE* file = OpenSecretFile(path, &state, &facts);
    if (state != SecretFileState::kOk && state != SecretFileState::kCannotOpen) {
        ExplainSecretFile("secret file", path, state, facts);
        return kExitUsage;
    }
    if (file == nullptr) return CannotOpen("secret file", path, facts);
    const LineRead got =
        Into(secret, ReadLine(file, secret->text, kSecretReadLimit, &secret->length));
    std::fclose(file);
    if (got == LineRead::kEnd) return Usage("the secret file is empty", path);
    if (got == LineRead::kNul) return Usage("the secret file's first line holds a NUL byte", path);
    if (got == LineRead::kTooLong)
        return TooLong("the secret file's first line is", kSecretReadLimit);
    if (got == LineRead::kError) return Usage("cannot read the secret file", path);
    return 0;
}

int ReadPassword(const Options& o, Value* password) {
    if (o.passwordStdin) {
        const LineRead got =
            Into(password, ReadLine(stdin, password->text, kPasswordReadLimit, &password->length));
        if (got == LineRead::kEnd) return Usage("--password-stdin: standard input is empty");
        if (got == LineRead::kNul) return Usage("--password-stdin: the line holds a NUL byte");
        if (got == LineRead::kTooLong)
            return TooLong("--password-stdin: the line is", kPasswordReadLimit);
        if (got == LineRead::kError) return Usage("--password-stdin: cannot read standard input");
        return 0;
    }
    if (!StdinIsTerminal())
        return Usage("no password: give --password-stdin to read it from standard input");
    const LineRead got = Into(password, ReadTerminalLine("Password: ", false, password->text,
                                                         kPasswordReadLimit, &password->length));
    std::fputs("\n", stderr);  // the Enter was not echoed
    if (got == LineRead::kError)
        return Usage("cannot read the password from the terminal with its echo off");
    if (got == LineRead::kNul) return Usage("the password holds a NUL byte");
    if (got == LineRead::kTooLong) return TooLong("the typed password is", kPasswordReadLimit);
    if (got != LineRead::kOk) return Usage("no password was typed");
    return 0;
}

// The result on one line, escaped: a server's text must not move the cursor, inject lines or
// send terminal commands.
void PrintResult(const char* text) {
    WriteEscaped(stdout, reinterpret_cast<const unsigned char*>(text), std::strlen(text));
    std::fputc('\n', stdout);
}

// Why no reply was taken, where the trace of the last exchange knows more than the result.
void ExplainNoReply(const ExchangeTrace& trace, const Options& o, bool probe) {
    if (!trace.replied && trace.unsignedDropped)
        std::fputs(
            "qvrad-auth: a reply whose authenticator verified came without the "
            "Message-Authenticator it must carry, and was discarded\n",
            stderr);
    else if (o.verbose && !trace.replied && trace.sent > 0)
        std::fprintf(stderr,
                     "No reply verified within %s s. A server drops a request whose "
                     "Message-Authenticator does not verify: check the shared secret, then the "
                     "address and the port.%s\n",
                     o.timeout, probe ? " A server may also not answer Status-Server." : "");
}

// Where the answers to Access-Challenges come from (RFC 2865 section 4.4).
struct AnswerSource {
    std::FILE* file = nullptr;  // --answer-file, opened and checked before anything is sent
    bool fromStdin = false;     // --answer-stdin
    int read = 0;               // answers read so far

    AnswerSource() = default;
    ~AnswerSource() {
        if (file != nullptr) std::fclose(file);
    }
    AnswerSource(const AnswerSource&) = delete;
    AnswerSource& operator=(const AnswerSource&) = delete;
};

int OpenAnswerFile(const char* path, AnswerSource* answers) {
    SecretFileState state = SecretFileState::kCannotOpen;
    SecretFileFacts facts;
    answers->file = OpenSecretFile(path, &state, &facts);
    if (state != SecretFileState::kOk && state != SecretFileState::kCannotOpen) {
        ExplainSecretFile("answer file", path, state, facts);
        return kExitUsage;
    }
    if (answers->file == nullptr) return CannotOpen("answer file", path, facts);
    return 0;
}

// Each Reply-Message (RFC 2865 section 5.18) of the login's reply on a line of its own, escaped:
// a server's text must not move the cursor, inject lines or send terminal commands. An empty
// one shows nothing and is left out. The count printed.
std::size_t PrintMessages(std::FILE* out, const qvrad_login* login) {
    std::size_t printed = 0;
    const std::size_t count = qvrad_login_message_count(login);
    for (std::size_t i = 0; i < count; ++i) {
        const char* text = qvrad_login_message(login, i);
        if (text == nullptr || text[0] == '\0') continue;
        WriteEscaped(out, reinterpret_cast<const unsigned char*>(text), std::strlen(text));
        std::fputc('\n', out);
        ++printed;
    }
    return printed;
}

// The final reply on standard output: its Reply-Messages, or the text auth gives a host for a
// reply without one (so the first line stays what auth's caller reads), then with --attributes
// every attribute, each line opened by a TAB, which no escaped message line holds.
void PrintReply(const qvrad_login* login, bool attributes) {
    if (PrintMessages(stdout, login) == 0) PrintResult(kResultInvalidFormat);
    if (!attributes) return;
    const std::size_t count = qvrad_login_attribute_count(login);
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t vendor = 0, type = 0;
        const unsigned char* value = nullptr;
        std::size_t length = 0;
        if (qvrad_login_attribute(login, i, &vendor, &type, &value, &length) != QVRAD_OK) break;
        std::fputc('\t', stdout);
        if (vendor != 0)
            WriteVendorAttribute(stdout, vendor, type, value, length);  // as --verbose names it
        else
            WriteAttribute(stdout, type, value, length);
        std::fputc('\n', stdout);
    }
}

// A verified reply's Code decides, whatever text it carried: a server's text never changes it.
// RFC 2865 section 5: an Accept whose attributes do not parse comes as a Reject from the
// library.
int CodeExitStatus(int code) {
    if (code == QVRAD_CODE_ACCEPT) return kExitAccept;
    if (code == QVRAD_CODE_REJECT) return kExitReject;
    return kExitOtherCode;
}

// A login that ended without a verified reply to report: auth's text for the same failure, and
// its exit status; a line on standard error where auth's text says less than the status.
int ReportFailure(int status, bool explained = false) {
    const char* text = kResultUnexpected;
    int exitStatus = kExitInternal;
    switch (status) {
        case QVRAD_E_ARGUMENT:
            text = kResultInvalidInput;
            exitStatus = kExitInvalidInput;
            break;
        case QVRAD_E_TIMEOUT:
        case QVRAD_E_RESOLVE:  // auth gives a name that does not resolve the same text
        case QVRAD_E_TLS:
            text = kResultNetworkFail;
            exitStatus = kExitNetworkFail;
            break;
        case QVRAD_E_TOO_MANY_CHALLENGES:
            // auth's text for an Access-Challenge, the reply it cannot take.
            text = kResultInvalidFormat;
            exitStatus = kExitOtherCode;
            break;
        case QVRAD_E_INTERNAL:
            text = kResultClientStack;  // the socket layer started at load (ModuleProcessAttach)
            break;
        case QVRAD_E_MEMORY:
            text = kResultMemory;
            break;
        default:
            break;
    }
    // What to fix, without -v: the library's detail of the failed call (which argument and why,
    // what each server did), else the status in words. The tool's own refusals said theirs.
    const char* detail = qvrad_error_detail();
    if (!explained && detail[0] != '\0') {
        // The detail may quote a server's name or a certificate's: escaped, as a server's text.
        std::fputs("qvrad-auth: ", stderr);
        WriteEscaped(stderr, reinterpret_cast<const unsigned char*>(detail), std::strlen(detail));
        std::fputc('\n', stderr);
    } else if (!explained) {
        std::fprintf(stderr, "qvrad-auth: %s\n", qvrad_strerror(status));
    }
    PrintResult(text);
    return exitStatus;
}

// How reading an answer ended: one to send, none to be had (exit 6), or a usage fault.
enum class Answered { kYes, kNone, kUsage };

// The answer to the challenge the login holds, from the answer source or the terminal. Its
// Reply-Messages are shown first, on standard error: they are what the server asks.
Answered ReadAnswer(const qvrad_login* login, AnswerSource* answers, Value* answer) {
    if (answers->file == nullptr && !answers->fromStdin && !StdinIsTerminal()) {
        // The messages go to standard output with the reply, as the run's result.
        std::fputs(
            "qvrad-auth: the server sent an Access-Challenge; give the answer with "
            "--answer-stdin or --answer-file, or run on a terminal\n",
            stderr);
        return Answered::kNone;
    }
    PrintMessages(stderr, login);
    const int number = answers->read + 1;
    LineRead got = LineRead::kEnd;
    const char* what = nullptr;
    if (answers->file != nullptr || answers->fromStdin) {
        what = answers->file != nullptr ? "the answer file" : "standard input";
        got = Into(answer, ReadLine(answers->file != nullptr ? answers->file : stdin, answer->text,
                                    kAnswerReadLimit, &answer->length));
        if (got == LineRead::kEnd) {
            std::fprintf(stderr, "qvrad-auth: %s holds no answer to challenge %d\n", what, number);
            return Answered::kNone;
        }
    } else {
        what = "the terminal";
        // RFC 2869 section 5.10: the answer is echoed only when the Prompt says so.
        const bool echo = qvrad_login_prompt_echo(login) == 1;
        got = Into(answer, ReadTerminalLine("Answer: ", echo, answer->text, kAnswerReadLimit,
                                            &answer->length));
        if (!echo) std::fputs("\n", stderr);  // the Enter was not echoed
        if (got == LineRead::kEnd) {
            std::fputs("qvrad-auth: no answer was typed\n", stderr);
            return Answered::kNone;
        }
    }
    ++answers->read;
    if (got == LineRead::kOk) return Answered::kYes;
    char message[96];
    std::snprintf(message, sizeof message, "the answer to challenge %d from %s%s", number, what,
                  got == LineRead::kTooLong ? " is" : "");
    if (got == LineRead::kNul)
        Usage(message, "the line holds a NUL byte");
    else if (got == LineRead::kTooLong)
        TooLong(message, kAnswerReadLimit);
    else
        Usage(message, "cannot be read");
    return Answered::kUsage;
}

// Frees what the structured interface handed out, on every path (the client wipes its
// secrets); the login before its client, as qvrad.h asks.
struct Handles {
    qvrad_client* client = nullptr;
    qvrad_login* login = nullptr;

    Handles() = default;
    ~Handles() {
        qvrad_login_free(login);
        qvrad_client_free(client);
    }
    Handles(const Handles&) = delete;
    Handles& operator=(const Handles&) = delete;
};

// A --tls-* path or name in place of its variable, as ReadTlsSettingsFromEnvironment takes the
// variable: longer than the field holds, it is cleared and marked too long, never cut.
void TakeTlsText(const char* value, char* field, std::size_t size, std::uint8_t bit,
                 TlsSettings* into) {
    if (value == nullptr) return;
    const std::size_t length = std::strlen(value);
    std::memset(field, 0, size);
    into->tooLong = static_cast<std::uint8_t>(into->tooLong & ~bit);
    if (length >= size)
        into->tooLong |= bit;
    else
        std::memcpy(field, value, length);
}

// The TLS settings of the run: the environment's, as the library read them at load, with each
// --tls-* option in its variable's place, made the process's record, which a client starts
// from (for a login) and auth's call takes (for --status). 0, or the exit status of a fault:
// a build without TLS (6007, exit 4, as auth gives), or settings that make neither mode
// (exit 64, with the reason).
int SetUpTls(const TlsOptions& tls) {
    static TlsSettings settings;  // 4.4 KiB of paths: not on the stack
    settings = ProcessTlsSettings();
    TakeTlsText(tls.caFile, settings.caFile, sizeof settings.caFile, kTlsCaFileBit, &settings);
    TakeTlsText(tls.certFile, settings.certFile, sizeof settings.certFile, kTlsCertFileBit,
                &settings);
    TakeTlsText(tls.keyFile, settings.keyFile, sizeof settings.keyFile, kTlsKeyFileBit, &settings);
    TakeTlsText(tls.pskFile, settings.pskFile, sizeof settings.pskFile, kTlsPskFileBit, &settings);
    TakeTlsText(tls.serverName, settings.serverName, sizeof settings.serverName, kTlsServerNameBit,
                &settings);
    if (tls.pskIdentity != nullptr) {
        // RFC 4279 section 5.3: up to 128 octets, taken as given.
        const std::size_t length = std::strlen(tls.pskIdentity);
        std::memset(settings.pskIdentity, 0, sizeof settings.pskIdentity);
        settings.pskIdentityLength = 0;
        settings.tooLong = static_cast<std::uint8_t>(settings.tooLong & ~kTlsPskIdentityBit);
        if (length > kMaxPskIdentityLength) {
            settings.tooLong |= kTlsPskIdentityBit;
        } else {
            std::memcpy(settings.pskIdentity, tls.pskIdentity, length);
            settings.pskIdentityLength = static_cast<std::uint8_t>(length);
        }
    }
    if (tls.pskTls12) settings.pskTls12 = PskTls12::kOn;
    SetProcessTlsSettings(settings);
    if (!TlsBuiltIn()) {
        std::fputs(
            "qvrad-auth: this build has no TLS (built without the Mbed TLS sources): tls:// "
            "servers are refused, nothing was sent\n",
            stderr);
        PrintResult(kResultInvalidInput);
        return kExitInvalidInput;
    }
    const char* reason = "";
    if (CheckTlsSettings(settings, &reason) != TlsMode::kIncomplete) return 0;
    // The library's reason names the variables; the options stand in their place.
    std::fputs(
        "qvrad-auth: --tls-ca, --tls-cert, --tls-key, --tls-server-name, --tls-psk-identity, "
        "--tls-psk-file and --tls-psk-tls12 set QVRAD_TLS_CA_FILE, _CERT_FILE, _KEY_FILE, "
        "_SERVER_NAME, _PSK_IDENTITY, _PSK_FILE and _PSK_TLS12=yes\n",
        stderr);
    return Usage("the TLS settings make no mode", reason);
}

// A port or timeout as auth parses it (atoi, refused past int), or -1; a text of auth's
// 2048-byte argument bound or longer, -1 too.
int ParseNumber(const char* text) {
    int value = -1;
    if (std::memchr(text, '\0', kArgumentLimit) == nullptr || ParseAtoiChecked(text, &value) != 0)
        return -1;
    return value;
}

// What SetUpClient returns besides 0 and a usage fault's exit status: the library refused a
// value (its detail says which), this tool refused one (and said why), no memory.
constexpr int kLibraryRefused = -1;
constexpr int kNoMemory = -2;
constexpr int kToolRefused = -3;

// A value of an option this tool refuses as auth would (6007, exit 4): the reason, the value
// escaped, on standard error.
int Refused(const char* option, const char* value, const char* rule) {
    std::fprintf(stderr, "qvrad-auth: %s ", option);
    WriteEscaped(stderr, reinterpret_cast<const unsigned char*>(value),
                 std::strlen(value) < kArgumentLimit ? std::strlen(value) : kArgumentLimit);
    std::fprintf(stderr, ": %s\n", rule);
    return kToolRefused;
}

// The client of the login: every server of the list with the one port and secret, the
// options. 0, a usage fault's exit status, or one of the values above (auth's 6007, exit 4).
int SetUpClient(Options& o, const ExchangeObserver* observer, qvrad_client** made) {
    if (qvrad_client_new(made) != QVRAD_OK) return kNoMemory;
    qvrad_client* c = *made;
    // --verbose and the exit notes watch the exchange through the library's internal hook.
    c->observer = observer;
    if (o.nasIdentifier != nullptr &&
        qvrad_client_set_text(c, QVRAD_OPT_NAS_IDENTIFIER, o.nasIdentifier) != QVRAD_OK)
        return Usage("--nas-identifier takes at most 253 bytes");
    if (o.nasIpAddress != nullptr &&
        qvrad_client_set_text(c, QVRAD_OPT_NAS_IP_ADDRESS, o.nasIpAddress) != QVRAD_OK)
        return Usage("--nas-ip-address takes an IPv4 or IPv6 address or auto", o.nasIpAddress);
    if (o.requireSignature && qvrad_client_set_int(c, QVRAD_OPT_REQUIRE_MESSAGE_AUTHENTICATOR,
                                                   QVRAD_REQUIRE_YES) != QVRAD_OK)
        return kLibraryRefused;
    const int timeout = ParseNumber(o.timeout);
    if (timeout < 1 || timeout > 300)
        return Refused("--timeout", o.timeout, "seconds from 1 to 300");
    if (qvrad_client_set_int(c, QVRAD_OPT_TIMEOUT_MS, static_cast<std::int64_t>(timeout) * 1000) !=
            QVRAD_OK ||
        qvrad_client_set_int(c, QVRAD_OPT_MAX_CHALLENGES, kMaxChallenges) != QVRAD_OK)
        return kLibraryRefused;
    // A list as auth splits it; each entry is one server of the client, in order.
    ServerList list;
    if (SplitServerList(o.server, std::strlen(o.server), &list) != 0)
        return Refused("--server", o.server,
                       "a list has 1 to 10 entries, none empty (a,,b, a comma first or last) or "
                       "of white space only");
    const int port = ParseNumber(o.port);
    if (port < 1 || port > 65535) return Refused("--port", o.port, "a number from 1 to 65535");
    for (std::int32_t i = 0; i < list.count; ++i)
        if (qvrad_client_add_server(c, list.text + list.entry[i], port, o.secret.text) != QVRAD_OK)
            return kLibraryRefused;
    return 0;
}

// One login, its challenges answered: what it printed decided, the exit status returned.
int RunLogin(Options& o, AnswerSource* answers, ExchangeTrace* trace,
             const ExchangeObserver* observer) {
    Handles h;
    const int setUp = SetUpClient(o, observer, &h.client);
    Wipe(o.secret.text, sizeof o.secret.text);  // the client holds its own copies
    if (setUp == kNoMemory) return ReportFailure(QVRAD_E_MEMORY);
    if (setUp == kToolRefused) return ReportFailure(QVRAD_E_ARGUMENT, true);
    if (setUp > 0) return setUp;
    qvrad_attrs* attrs = nullptr;
    const int refused = setUp == 0 ? BuildAttributeList(o.acct, &attrs) : 0;
    int status = setUp == 0 && refused == 0
                     ? qvrad_login_pap_attrs(h.client, o.user, o.password.text, attrs, &h.login)
                     : QVRAD_E_ARGUMENT;
    qvrad_attrs_free(attrs);
    Wipe(o.password.text, sizeof o.password.text);
    if (refused != 0) return refused;
    // The library's bound ends the loop first (QVRAD_E_TOO_MANY_CHALLENGES); this one only
    // makes the loop's end plain.
    for (int round = 0; status == QVRAD_OK && round < kMaxChallenges &&
                        qvrad_login_code(h.login) == QVRAD_CODE_CHALLENGE;
         ++round) {
        Value answer;
        const Answered got = ReadAnswer(h.login, answers, &answer);
        if (got == Answered::kUsage) return kExitUsage;
        if (got == Answered::kNone) {
            PrintReply(h.login, o.attributes);
            return kExitChallenged;
        }
        trace->NextExchange();
        status = qvrad_login_answer(h.login, answer.text);
    }
    if (status != QVRAD_OK) {
        // A TLS failure's reason says more than the secret hint.
        if (status != QVRAD_E_TLS) ExplainNoReply(*trace, o, false);
        return ReportFailure(status);
    }
    if (qvrad_login_code(h.login) == QVRAD_CODE_CHALLENGE)
        return ReportFailure(QVRAD_E_TOO_MANY_CHALLENGES);
    PrintReply(h.login, o.attributes);
    return CodeExitStatus(qvrad_login_code(h.login));
}

// --acct or --acct-flush: the client as for a login, each server's accounting port the one
// given.
int RunAccountingRun(Options& o, const ExchangeObserver* observer) {
    Handles h;
    const int setUp = SetUpClient(o, observer, &h.client);
    Wipe(o.secret.text, sizeof o.secret.text);
    if (setUp == kNoMemory) return ReportFailure(QVRAD_E_MEMORY);
    if (setUp == kToolRefused || setUp == kLibraryRefused)
        return ReportFailure(QVRAD_E_ARGUMENT, setUp == kToolRefused);
    if (setUp > 0) return setUp;
    for (int i = 0; i < EntryCount(o.server); ++i)
        if (qvrad_client_set_acct_port(h.client, i, ParseNumber(o.port)) != QVRAD_OK)
            return ReportFailure(QVRAD_E_ARGUMENT);
    return RunAccountingCommand(h.client, o.acct, o.user, o.timeout);
}

// The load mode: one client, its logins by the threads of load_mode.cpp, the summary.
int RunLoadLogins(Options& o) {
    Handles h;
    const int setUp = SetUpClient(o, nullptr, &h.client);
    Wipe(o.secret.text, sizeof o.secret.text);  // the client holds its own copies
    int exitStatus = 0;
    if (setUp == kNoMemory)
        exitStatus = ReportFailure(QVRAD_E_MEMORY);
    else if (setUp == kToolRefused || setUp == kLibraryRefused)
        exitStatus = ReportFailure(QVRAD_E_ARGUMENT, setUp == kToolRefused);
    else if (setUp > 0)
        exitStatus = setUp;
    o.load.timeoutSeconds = ParseNumber(o.timeout);
    if (setUp == 0) exitStatus = RunLoad(h.client, o.user, o.password.text, o.load, stdout);
    Wipe(o.password.text, sizeof o.password.text);
    return exitStatus;
}

// The Status-Server probe's line and exit status.
int ReportStatus(StatusOutcome outcome, const ExchangeTrace& trace, const char* timeout) {
    char line[96];
    int exitStatus = kExitInternal;
    switch (outcome) {
        case StatusOutcome::kAliveUnsigned:
            std::fputs(
                "qvrad-auth: warning: the server does not sign its Status-Server replies (no "
                "Message-Authenticator); its Response Authenticator verified\n",
                stderr);
            [[fallthrough]];
        case StatusOutcome::kAlive:
            std::snprintf(line, sizeof line, "alive, round trip %lld ms",
                          static_cast<long long>(trace.roundTrip));
            exitStatus = kExitAccept;
            break;
        case StatusOutcome::kOtherCode: {
            const char* name = CodeName(trace.replyCode);
            if (name != nullptr)
                std::snprintf(line, sizeof line, "answered %s, not alive", name);
            else
                std::snprintf(line, sizeof line, "answered Code %u, not alive", trace.replyCode);
            exitStatus = kExitOtherCode;
            break;
        }
        case StatusOutcome::kNoAnswer:
            // Not "down": a server may have Status-Server turned off, or drop it.
            std::snprintf(line, sizeof line, "no answer within %s s", timeout);
            exitStatus = kExitNetworkFail;
            break;
        case StatusOutcome::kInvalidInput:
            std::snprintf(line, sizeof line, "%s", kResultInvalidInput);
            exitStatus = kExitInvalidInput;
            break;
        case StatusOutcome::kWinsock:
            std::snprintf(line, sizeof line, "%s", kResultWinsock);
            break;
        case StatusOutcome::kClientStack:
            std::snprintf(line, sizeof line, "%s", kResultClientStack);
            break;
    }
    PrintResult(line);
    return exitStatus;
}

// The Status-Server probe through auth's sibling, with auth's checks (one server, a timeout of
// 1 to 19 s).
int RunProbe(Options& o, ExchangeTrace& trace, const ExchangeObserver& observer) {
    // The same process setting QVRAD_REQUIRE_MESSAGE_AUTHENTICATOR=yes gives at load.
    if (o.requireSignature) SetProcessReplySigning(ReplySigning::kRequire);
    // A Status-Server names no NAS (RFC 5997 section 3); the address is still checked, as for
    // a login.
    NasIdentity nas = ProcessNasIdentity();
    if (o.nasIpAddress != nullptr && ParseNasIpAddress(o.nasIpAddress, &nas) != 0)
        return Usage("--nas-ip-address takes an IPv4 or IPv6 address or auto", o.nasIpAddress);
    AuthArguments args = {};
    args.server = o.server;
    // auth keeps a port's low 16 bits; the tool refuses one past 65535, as for a login.
    args.port = ParseNumber(o.port) > 65535 ? "0" : o.port;
    args.secret = o.secret.text;
    args.timeout = o.timeout;
    // auth's sibling refuses without words: the probe's rules told here first (a secret's
    // length alone), the refusal itself still the library's.
    const int port = ParseNumber(o.port), timeout = ParseNumber(o.timeout);
    if (EntryCount(o.server) != 1)
        Refused("--server", o.server, "--status asks one server, never a list");
    else if (port < 1 || port > 65535)
        Refused("--port", o.port, "a number from 1 to 65535");
    else if (timeout < 1 || timeout > 19)
        Refused("--timeout", o.timeout, "seconds from 1 to 19 for --status");
    else if (o.secret.length == 0 || o.secret.length > rad::kMaxSecretLength)
        std::fprintf(stderr, "qvrad-auth: secret: %u octets; 1 to 256\n",
                     static_cast<unsigned>(o.secret.length));
    const StatusOutcome outcome = RunStatus(args, &observer);
    Wipe(o.secret.text, sizeof o.secret.text);
    ExplainNoReply(trace, o, true);
    if (outcome == StatusOutcome::kNoAnswer && trace.tlsFailure[0] != '\0') {
        std::fputs("qvrad-auth: RADIUS over TLS failed: ", stderr);
        WriteEscaped(stderr, reinterpret_cast<const unsigned char*>(trace.tlsFailure),
                     std::strlen(trace.tlsFailure));
        std::fputc('\n', stderr);
    }
    return ReportStatus(outcome, trace, o.timeout);
}

}  // namespace

int main(int argc, char** argv) {
    // Before any read: unbuffered, so a password read from stdin stays in our wiped buffer only.
    std::setvbuf(stdin, nullptr, _IONBF, 0);

    Options o;
    int rc = ParseOptions(argc, Utf8Arguments(argc, argv), &o);
    if (rc != 0) return rc;
    if (o.help) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (o.version) {
        PrintVersion(stdout);
        return std::fflush(stdout) == 0 ? 0 : kExitInternal;
    }

    if (o.secretFile != nullptr) {
        if ((rc = ReadSecretFile(o.secretFile, &o.secret)) != 0) return rc;
    } else if (!o.secret.set) {
        if (TakeEnvironment("QVRAD_SECRET", o.secret.text, kKeepLength, &o.secret.length))
            o.secret.set = true;
        else if (CountTlsEntries(o.server) == EntryCount(o.server) && EntryCount(o.server) > 0)
            o.secret.Assign(rad::kTlsSecret);  // RFC 6614 section 2.3: the secret over TLS
        else
            return Usage("no secret: give --secret-file, QVRAD_SECRET or --secret");
    }
    if (!o.status && !o.acct.Active() && !o.password.set &&
        (rc = ReadPassword(o, &o.password)) != 0)
        return rc;
    AnswerSource answers;
    answers.fromStdin = o.answerStdin;
    if (o.answerFile != nullptr && (rc = OpenAnswerFile(o.answerFile, &answers)) != 0) return rc;

    // The library's load-time work, which the shared library does when it is loaded: the
    // reply-signing and NAS settings and the socket start.
    if (ModuleProcessAttach() != 0) {
        std::fputs("qvrad-auth: the library could not start its socket layer\n", stderr);
        return kExitInternal;
    }
    // Over TLS the secret only keeps a PSK equal to it from use: no warning for a TLS-only run.
    if (o.secret.length > 0 && o.secret.length <= kShortSecret &&
        CountTlsEntries(o.server) < EntryCount(o.server))
        std::fprintf(stderr,
                     "qvrad-auth: warning: the shared secret is %u bytes; one of 12 or fewer can "
                     "be found offline from one exchange seen on the wire: use at least 16 random "
                     "characters\n",
                     static_cast<unsigned>(o.secret.length));

    if (CountTlsEntries(o.server) > 0 && (rc = SetUpTls(o.tls)) != 0) return rc;

    ExchangeTrace trace;
    trace.verbose = o.verbose;
    const ExchangeObserver observer = trace.Observer();
    const int exitStatus = o.status                                   ? RunProbe(o, trace, observer)
                           : o.acct.Active()                          ? RunAccountingRun(o, &observer)
                           : o.repeat != nullptr || o.parallel != nullptr ? RunLoadLogins(o)
                                                                       : RunLogin(o, &answers, &trace, &observer);
    if (std::fflush(stdout) != 0) return kExitInternal;
    return exitStatus;
}
