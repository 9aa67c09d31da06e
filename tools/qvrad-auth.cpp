// qvrad-auth: one RADIUS PAP login from the command line through the library's own auth call,
// for operators checking a server, a shared secret or an account; its exit status is the
// server's decision, and --verbose shows the exchange as the library saw it.
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
LineRead ReadLine(std::FILE* in, char* text, std::size_t keep, std::size_t* length) {
    *length = 0;
    bool any = false;
    bool nul = false;
    int c;
    while ((c = std::fgetc(in)) != EOF) {
        any = true;
        if (c == '\n') break;
        if (c == '\0') nul = true;
        if (*length < keep) text[(*length)++] = static_cast<char>(c);
    }
    text[*length] = '\0';
    if (std::ferror(in)) return LineRead::kError;
    if (!any) return LineRead::kEnd;
    if (nul) return LineRead::kNul;
    if (*length > 0 && text[*length - 1] == '\r') text[--*length] = '\0';
    return LineRead::kOk;
}

namespace {

// Exit statuses: the server's decision, else which error text auth gave, or a usage fault
// (EX_USAGE of sysexits.h).
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

const char kHelp[] =
    "Usage: qvrad-auth --server HOST [--port 1812] (--secret S | --secret-file F)\n"
    "                  --user U [--password P | --password-stdin] [--timeout 5] [-v]\n"
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
    "                      (exit 64) if group or others have any access to F or another user\n"
    "                      owns it (mend it with: chmod 600 F)\n"
    "                      (without either, the environment variable QVRAD_SECRET, which is\n"
    "                      then removed from this process's environment)\n"
    "  --user U            User-Name, sent exactly as given (spaces included)\n"
    "  --password P        password\n"
    "  --password-stdin    password: one line read from standard input, line ending dropped\n"
    "                      (without either, it is asked for on the terminal, not echoed)\n"
    "  --timeout N         seconds from the first send to a verified reply, 1 to 19 (default\n"
    "                      5); a silent server is sent the request again within it\n"
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
    "for the password. On Windows nothing is blanked and the file's access is not checked.\n"
    "\n"
    "Output: the text auth returned. Control characters (C0, DEL, C1, also as UTF-8), bytes\n"
    "that are not valid UTF-8 and the backslash are printed as \\xHH and \\\\, so a\n"
    "Reply-Message always stays one harmless line.\n"
    "\n"
    "Exit status:\n"
    "  0   Access-Accept (the text may still be 6041#0#ERR_INVALID_RADIUS_FORMAT, as a host\n"
    "      would get, when the Accept carried no Reply-Message)\n"
    "  1   Access-Reject\n"
    "  2   6040#0#ERR_NETWORK_FAIL          no verified reply within the timeout\n"
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
    if (o->user == nullptr) return Usage("--user is required");
    if (o->secret.set && o->secretFile != nullptr)
        return Usage("give the secret once: --secret or --secret-file");
    if (o->password.set && o->passwordStdin)
        return Usage("give the password once: --password or --password-stdin");
    return 0;
}

int ReadSecretFile(const char* path, Value* secret) {
    SecretFileState state = SecretFileState::kCannotOpen;
    unsigned mode = 0;
    unsigned long owner = 0;
    std::FILE* file = OpenSecretFile(path, &state, &mode, &owner);
    if (state == SecretFileState::kOthersHaveAccess || state == SecretFileState::kOtherOwner) {
        std::fprintf(stderr, "qvrad-auth: the secret file %s %s (mode %04o, owner %lu)\n", path,
                     state == SecretFileState::kOtherOwner ? "belongs to another user"
                                                           : "is open to group or others",
                     mode, owner);
        if (state == SecretFileState::kOthersHaveAccess)
            std::fprintf(stderr, "qvrad-auth: mend it with: chmod 600 '%s'\n", path);
        else
            std::fputs("qvrad-auth: give a file of your own, or take it over with chown\n", stderr);
        return kExitUsage;
    }
    if (file == nullptr) return Usage("cannot open the secret file", path);
    const LineRead got = Into(secret, ReadLine(file, secret->text, kKeepLength, &secret->length));
    std::fclose(file);
    if (got == LineRead::kEnd) return Usage("the secret file is empty", path);
    if (got == LineRead::kNul) return Usage("the secret file's first line holds a NUL byte", path);
    if (got == LineRead::kError) return Usage("cannot read the secret file", path);
    return 0;
}

int ReadPassword(const Options& o, Value* password) {
    if (o.passwordStdin) {
        const LineRead got =
            Into(password, ReadLine(stdin, password->text, kKeepLength, &password->length));
        if (got == LineRead::kEnd) return Usage("--password-stdin: standard input is empty");
        if (got == LineRead::kNul) return Usage("--password-stdin: the line holds a NUL byte");
        if (got == LineRead::kError) return Usage("--password-stdin: cannot read standard input");
        return 0;
    }
    if (!StdinIsTerminal())
        return Usage("no password: give --password-stdin to read it from standard input");
    const LineRead got = Into(
        password, ReadHiddenLine("Password: ", password->text, kKeepLength, &password->length));
    std::fputs("\n", stderr);  // the Enter was not echoed
    if (got == LineRead::kError)
        return Usage("cannot read the password from the terminal with its echo off");
    if (got == LineRead::kNul) return Usage("the password holds a NUL byte");
    if (got != LineRead::kOk) return Usage("no password was typed");
    return 0;
}

// The result on one line, escaped: a server's text must not move the cursor, inject lines or
// send terminal commands.
void PrintResult(const char* text) {
    WriteEscaped(stdout, reinterpret_cast<const unsigned char*>(text), std::strlen(text));
    std::fputc('\n', stdout);
}

// The library's failures first, then the server's decision as the exchange reported it.
int ExitStatusOf(const char* text, const ExchangeTrace& trace) {
    if (std::strcmp(text, kResultInvalidInput) == 0) return kExitInvalidInput;
    if (std::strncmp(text, kInternalPrefix, sizeof kInternalPrefix - 1) == 0) return kExitInternal;
    if (trace.replied) {
        if (trace.replyCode == rad::kAccessAccept) return kExitAccept;
        if (trace.replyCode == rad::kAccessReject) return kExitReject;
        return kExitOtherCode;
    }
    if (std::strcmp(text, kResultNetworkFail) == 0) return kExitNetworkFail;
    return kExitInternal;  // no reply, yet not the no-reply text: not the library we know
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
    if (!o.password.set && (rc = ReadPassword(o, &o.password)) != 0) return rc;

    // The library's load-time work, which the shared library does when it is loaded: the
    // reply-signing setting and the socket start.
    if (ModuleProcessAttach() != 0) {
        std::fputs("qvrad-auth: the library could not start its socket layer\n", stderr);
        return kExitInternal;
    }
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
    args.user = o.user;
    args.password = o.password.text;
    args.timeout = o.timeout;
    const char* text = RunAuth(args, &observer);
    Wipe(o.secret.text, sizeof o.secret.text);
    Wipe(o.password.text, sizeof o.password.text);
    if (text == nullptr) {
        std::fputs("qvrad-auth: auth returned no text\n", stderr);
        return kExitInternal;
    }
    if (o.verbose && !trace.replied && trace.sent > 0)
        std::fprintf(stderr,
                     "No reply verified within %s s. A server drops a request whose "
                     "Message-Authenticator does not verify: check the shared secret, then the "
                     "address and the port.\n",
                     o.timeout);

    PrintResult(text);
    if (std::fflush(stdout) != 0) return kExitInternal;
    return ExitStatusOf(text, trace);
}
