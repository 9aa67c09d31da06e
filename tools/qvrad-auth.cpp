// qvrad-auth: one RADIUS PAP login from the command line through the library's own auth call,
// or one Status-Server probe through its sibling, for operators checking a server, a shared
// secret or an account; its exit status is the server's decision, and --verbose shows the
// exchange as the library saw it.
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "api/auth_call.h"
#include "api/module.h"
#include "api/result.h"
#include "exchange_trace.h"
#include "qvRadClient.h"
#include "radius/nas_identity.h"
#include "terminal.h"
#include "text_escape.h"

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

// Exit statuses: the Code of a verified reply, else the tool's own failure (which error text
// auth gave), or a usage fault (EX_USAGE of sysexits.h).
constexpr int kExitAccept = 0;
constexpr int kExitReject = 1;
constexpr int kExitNetworkFail = 2;
constexpr int kExitOtherCode = 3;
constexpr int kExitInvalidInput = 4;
constexpr int kExitInternal = 5;
constexpr int kExitUsage = 64;

// Every 6042 text of the library (kResultWinsock and its kin) begins so.
const char kInternalPrefix[] = "6042#";

// auth refuses any argument of 2048 bytes or more. Values are kept up to that length, so a
// longer one still reaches auth as too long and gets its verdict, never a shortened value
// that might pass.
constexpr std::size_t kKeepLength = 2048;

// A line read (stdin, the terminal, the secret file) ends at the library's limit plus this
// margin: a line a little too long still reaches auth and gets its verdict (exit 4), one far
// too long, or endless input, ends the reading at once (exit 64).
constexpr std::size_t kReadMargin = 64;
constexpr std::size_t kPasswordReadLimit = rad::kMaxPasswordLength + kReadMargin;  // 192
constexpr std::size_t kSecretReadLimit = rad::kMaxSecretLength + kReadMargin;      // 320
static_assert(kSecretReadLimit + 2 <= kKeepLength + 1, "a read line fits a Value");

// draft-ietf-radext-deprecating-radius: a shared secret of 12 octets or less draws a warning;
// one exchange seen on the wire is enough to search such a secret offline.
constexpr std::size_t kShortSecret = 12;

const char kHelp[] =
    "Usage: qvrad-auth --server HOST [--port 1812] (--secret S | --secret-file F)\n"
    "                  --user U [--password P | --password-stdin] [--timeout 5]\n"
    "                  [--require-message-authenticator] [-v]\n"
    "       qvrad-auth --status --server HOST [--port 1812] (--secret S | --secret-file F)\n"
    "                  [--timeout 5] [-v]\n"
    "       qvrad-auth --help | --version\n"
    "\n"
    "Sends one RADIUS (RFC 2865) Access-Request with a PAP password to HOST, prints on one line\n"
    "the text the library's auth call gives a host (the server's Reply-Message, or one of its\n"
    "error texts), and exits with the server's decision.\n"
    "\n"
    "  --server HOST       server name, IPv4 or IPv6 address (::1, [::1]), or a list of up to\n"
    "                      10 separated by commas, tried in turn within the one timeout\n"
    "  --port N            UDP port (default 1812)\n"
    "  --secret S          shared secret\n"
    "  --secret-file F     shared secret: the first line of F, line ending dropped; refused\n"
    "                      (exit 64) unless F is a regular file, or if group or others have any\n"
    "                      access to F or another user owns it (mend it with: chmod 600 F)\n"
    "                      (without either, the environment variable QVRAD_SECRET, which is\n"
    "                      then removed from this process's environment)\n"
    "  --user U            User-Name, sent exactly as given (spaces included)\n"
    "  --password P        password\n"
    "  --password-stdin    password: one line read from standard input, line ending dropped\n"
    "                      (without either, it is asked for on the terminal, not echoed)\n"
    "  --timeout N         seconds from the first send to a verified reply, 1 to 19 (default\n"
    "                      5); a silent server is sent the request again within it\n"
    "  --status            instead of a login, ask whether the server is alive: one\n"
    "                      Status-Server (RFC 5997) with a Message-Authenticator and no\n"
    "                      credentials, never sent twice; prints \"alive\" and the round trip\n"
    "                      when a signed Access-Accept (or Accounting-Response) comes back\n"
    "  --require-message-authenticator\n"
    "                      discard every reply without a valid Message-Authenticator, as\n"
    "                      QVRAD_REQUIRE_MESSAGE_AUTHENTICATOR=yes does (BlastRADIUS,\n"
    "                      CVE-2024-3596)\n"
    "  --nas-identifier T  NAS-Identifier sent (default: QVRAD_NAS_IDENTIFIER, else this\n"
    "                      machine's host name); empty: none\n"
    "  --nas-ip-address A  NAS-IP-Address (NAS-IPv6-Address for IPv6) sent: an address, or\n"
    "                      auto for the local address toward each server (default:\n"
    "                      QVRAD_NAS_IP_ADDRESS, else none)\n"
    "  -v, --verbose       show the exchange on standard error: the request sent and its\n"
    "                      attributes (User-Password hidden), each datagram received and why it\n"
    "                      was discarded or taken, and the reply's attributes\n"
    "  --version           print the library's banner\n"
    "Options take \"--name value\" or \"--name=value\"; the last of a repeated option wins.\n"
    "\n"
    "Secrets and passwords given on the command line are visible to other users of this\n"
    "machine (ps, /proc/PID/cmdline) and may land in shell history; this program blanks its own\n"
    "copy of them, on POSIX systems only, and not before others may have looked. Prefer\n"
    "--secret-file or QVRAD_SECRET for the secret, and --password-stdin or the terminal prompt\n"
    "for the password. On Windows nothing is blanked; a secret file is refused when its DACL\n"
    "lets Everyone, Users, Authenticated Users or Guests read it (mend it with icacls).\n"
    "A password line over 192 bytes or a secret line over 320 ends the reading (exit 64). A\n"
    "secret of 12 bytes or fewer draws a warning: use at least 16 random characters.\n"
    "\n"
    "A one-shot command never learns that a server signs its replies, so by default (auto) a\n"
    "forged unsigned reply would pass here: once a server is known to send Message-Authenticator,\n"
    "give --require-message-authenticator (or QVRAD_REQUIRE_MESSAGE_AUTHENTICATOR=yes).\n"
    "\n"
    "Output: the text auth returned. Control characters (C0, DEL, C1, also as UTF-8), the\n"
    "bidirectional controls, U+2028, U+2029, the invisible format characters (U+00AD, U+180E,\n"
    "U+200B-U+200D, U+2060-U+206F, U+FEFF, U+FFF0-U+FFFB, U+1BCA0-U+1BCA3, U+1D173-U+1D17A,\n"
    "the tags U+E0000-U+E00FF, U+E01F0-U+E0FFF), bytes that are not valid UTF-8 and the\n"
    "backslash are printed as \\xHH and \\\\, so a Reply-Message always stays one harmless line.\n"
    "\n"
    "Exit status (a verified reply's Code decides; no text a server sends changes that):\n"
    "  0   Access-Accept (the text may still be 6041#0#ERR_INVALID_RADIUS_FORMAT, as a host\n"
    "      would get, when the Accept carried no Reply-Message); --status: alive\n"
    "  1   Access-Reject, or an Access-Accept whose attributes do not parse (RFC 2865 section 5)\n"
    "  2   6040#0#ERR_NETWORK_FAIL          no verified reply within the timeout;\n"
    "                                       --status: no answer\n"
    "  3   a verified reply of another Code (Access-Challenge)\n"
    "  4   6007#0#INVALID_INPUT_ERR         the library refused an argument; nothing was sent\n"
    "  5   6042#0#ERR_SDK_INTERNAL(...)     the library could not run the exchange\n"
    "  64  bad usage\n";

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

struct Options {
    bool verbose = false;
    bool status = false;
    bool requireSignature = false;
    const char* server = nullptr;
    const char* port = "1812";
    const char* user = nullptr;
    const char* timeout = "5";
    const char* secretFile = nullptr;
    const char* nasIdentifier = nullptr;  // null: the library's setting stands
    const char* nasIpAddress = nullptr;
    bool passwordStdin = false;
    bool help = false;
    bool version = false;
    Value secret;    // --secret, copied out of argv
    Value password;  // --password, copied out of argv
};

// Copies a secret given in argv and blanks it there, which hides it from later readers of
// /proc/PID/cmdline on Linux (not from those who looked before).
void TakeFromArgv(char* argument, Value* value) {
    value->Assign(argument);
    Wipe(argument, std::strlen(argument));
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
        } else if (std::strcmp(name, "--status") == 0) {
            if ((rc = flag()) != 0) return rc;
            o->status = true;
        } else if (std::strcmp(name, "--require-message-authenticator") == 0) {
            if ((rc = flag()) != 0) return rc;
            o->requireSignature = true;
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
        } else if (std::strcmp(name, "--secret-file") == 0) {
            if ((rc = value(&v)) != 0) return rc;
            o->secretFile = v;
        } else if (std::strcmp(name, "--secret") == 0) {
            if ((rc = value(&v)) != 0) return rc;
            TakeFromArgv(v, &o->secret);  // every copy is blanked in argv, the last one kept
        } else if (std::strcmp(name, "--password") == 0) {
            if ((rc = value(&v)) != 0) return rc;
            TakeFromArgv(v, &o->password);
        } else {
            return Usage("unknown argument", name);
        }
    }
    if (o->help || o->version) return 0;
    if (o->server == nullptr) return Usage("--server is required");
    // RFC 5997 section 3: a Status-Server carries no credentials.
    if (o->status && (o->user != nullptr || o->password.set || o->passwordStdin))
        return Usage("--status sends no credentials: drop --user and the password");
    if (!o->status && o->user == nullptr) return Usage("--user is required");
    if (o->secret.set && o->secretFile != nullptr)
        return Usage("give the secret once: --secret or --secret-file");
    if (o->password.set && o->passwordStdin)
        return Usage("give the password once: --password or --password-stdin");
    return 0;
}

// A line past its read limit, as a usage fault; what names the line.
int TooLong(const char* what, std::size_t limit) {
    char message[96];
    std::snprintf(message, sizeof message, "%s longer than %u bytes (the library takes %u at most)",
                  what, static_cast<unsigned>(limit), static_cast<unsigned>(limit - kReadMargin));
    return Usage(message);
}

int ReadSecretFile(const char* path, Value* secret) {
    SecretFileState state = SecretFileState::kCannotOpen;
    SecretFileFacts facts;
    std::FILE* file = OpenSecretFile(path, &state, &facts);
    if (state != SecretFileState::kOk && state != SecretFileState::kCannotOpen) {
        ExplainSecretFile(path, state, facts);
        return kExitUsage;
    }
    if (file == nullptr) return Usage("cannot open the secret file", path);
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
    const LineRead got = Into(password, ReadHiddenLine("Password: ", password->text,
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

// A verified reply's Code first, whatever text it carried: a server's text never changes its
// decision. Only without one do the library's own texts tell its failures apart.
int AuthExitStatus(const char* text, const ExchangeTrace& trace) {
    if (trace.replied) {
        // RFC 2865 section 5: an Accept whose attributes do not parse is treated as a Reject
        // (the host's text for it is 6041#0#ERR_INVALID_RADIUS_FORMAT, never an acceptance).
        if (trace.replyCode == rad::kAccessAccept)
            return trace.replyFault == AttributeFault::kNone ? kExitAccept : kExitReject;
        if (trace.replyCode == rad::kAccessReject) return kExitReject;
        return kExitOtherCode;
    }
    if (std::strcmp(text, kResultInvalidInput) == 0) return kExitInvalidInput;
    if (std::strncmp(text, kInternalPrefix, sizeof kInternalPrefix - 1) == 0) return kExitInternal;
    if (std::strcmp(text, kResultNetworkFail) == 0) return kExitNetworkFail;
    return kExitInternal;  // no reply, yet not the no-reply text: not the library we know
}

// The Status-Server probe's line and exit status.
int ReportStatus(StatusOutcome outcome, const ExchangeTrace& trace, const char* timeout) {
    char line[96];
    int exitStatus = kExitInternal;
    switch (outcome) {
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
        std::fputs(info(), stdout);
        std::fputc('\n', stdout);
        return 0;
    }

    if (o.secretFile != nullptr) {
        if ((rc = ReadSecretFile(o.secretFile, &o.secret)) != 0) return rc;
    } else if (!o.secret.set) {
        if (!TakeEnvironment("QVRAD_SECRET", o.secret.text, kKeepLength, &o.secret.length))
            return Usage("no secret: give --secret-file, QVRAD_SECRET or --secret");
        o.secret.set = true;
    }
    if (!o.status && !o.password.set && (rc = ReadPassword(o, &o.password)) != 0) return rc;

    // The library's load-time work, which the shared library does when it is loaded: the
    // reply-signing setting and the socket start.
    if (ModuleProcessAttach() != 0) {
        std::fputs("qvrad-auth: the library could not start its socket layer\n", stderr);
        return kExitInternal;
    }
    // The same process setting QVRAD_REQUIRE_MESSAGE_AUTHENTICATOR=yes gives at load.
    if (o.requireSignature) SetProcessReplySigning(ReplySigning::kRequire);
    if (o.secret.length > 0 && o.secret.length <= kShortSecret)
        std::fprintf(stderr,
                     "qvrad-auth: warning: the shared secret is %u bytes; one of 12 or fewer can "
                     "be found offline from one exchange seen on the wire: use at least 16 random "
                     "characters\n",
                     static_cast<unsigned>(o.secret.length));

    // The NAS options through the code the library's environment variables go through.
    NasIdentity nas = ProcessNasIdentity();
    if (o.nasIdentifier != nullptr) ParseNasIdentifier(o.nasIdentifier, nullptr, &nas);
    if (o.nasIpAddress != nullptr && ParseNasIpAddress(o.nasIpAddress, &nas) != 0)
        return Usage("--nas-ip-address takes an IPv4 or IPv6 address or auto", o.nasIpAddress);
    SetProcessNasIdentity(nas);
    ExchangeTrace trace;
    trace.verbose = o.verbose;
    const ExchangeObserver observer = trace.Observer();
    AuthArguments args = {};
    args.server = o.server;
    args.port = o.port;
    args.secret = o.secret.text;
    args.user = o.status ? nullptr : o.user;
    args.password = o.status ? nullptr : o.password.text;
    args.timeout = o.timeout;
    const char* text = nullptr;
    StatusOutcome outcome = StatusOutcome::kNoAnswer;
    if (o.status)
        outcome = RunStatus(args, &observer);
    else
        text = RunAuth(args, &observer);
    Wipe(o.secret.text, sizeof o.secret.text);
    Wipe(o.password.text, sizeof o.password.text);
    if (!o.status && text == nullptr) {
        std::fputs("qvrad-auth: auth returned no text\n", stderr);
        return kExitInternal;
    }
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
                     o.timeout, o.status ? " A server may also not answer Status-Server." : "");

    int exitStatus = 0;
    if (o.status) {
        exitStatus = ReportStatus(outcome, trace, o.timeout);
    } else {
        PrintResult(text);
        exitStatus = AuthExitStatus(text, trace);
    }
    if (std::fflush(stdout) != 0) return kExitInternal;
    return exitStatus;
}
