// qvrad-auth: one RADIUS PAP login from the command line through qvRadClient's exported auth,
// for operators checking a server, a shared secret or an account. Uses the public header only.
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qvRadClient.h"
#include "terminal.h"

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

// Exit statuses: which result text auth gave, or a usage fault (EX_USAGE of sysexits.h).
constexpr int kExitReply = 0;
constexpr int kExitNetworkFail = 2;
constexpr int kExitInvalidFormat = 3;
constexpr int kExitInvalidInput = 4;
constexpr int kExitInternal = 5;
constexpr int kExitUsage = 64;

const char kNetworkFail[] = "6040#0#ERR_NETWORK_FAIL";
const char kInvalidFormat[] = "6041#0#ERR_INVALID_RADIUS_FORMAT";
const char kInvalidInput[] = "6007#0#INVALID_INPUT_ERR";
const char kInternalPrefix[] = "6042#";

// auth refuses any argument of 2048 bytes or more. Values are kept up to that length, so a
// longer one still reaches auth as too long and gets its verdict, never a shortened value
// that might pass.
constexpr std::size_t kKeepLength = 2048;
// The result buffer of auth is 2048 bytes; a Reply-Message is at most 253 of them.
constexpr std::size_t kResultSize = 2048;

const char kHelp[] =
    "Usage: qvrad-auth --server HOST [--port 1812] (--secret S | --secret-file F)\n"
    "                  --user U [--password P | --password-stdin] [--timeout 5]\n"
    "       qvrad-auth --help | --version\n"
    "\n"
    "Sends one RADIUS (RFC 2865) Access-Request with a PAP password to HOST and prints the\n"
    "result on one line: the server's Reply-Message, or one of the library's error texts.\n"
    "\n"
    "  --server HOST       server name or IPv4 address\n"
    "  --port N            UDP port (default 1812)\n"
    "  --secret S          shared secret\n"
    "  --secret-file F     shared secret: the first line of F, line ending dropped\n"
    "                      (without either, the environment variable QVRAD_SECRET)\n"
    "  --user U            User-Name, sent exactly as given (spaces included)\n"
    "  --password P        password\n"
    "  --password-stdin    password: one line read from standard input, line ending dropped\n"
    "                      (without either, it is asked for on the terminal, not echoed)\n"
    "  --timeout N         seconds to wait for a verified reply, 1 to 19 (default 5)\n"
    "  --version           print the library's banner\n"
    "\n"
    "Secrets and passwords given on the command line are visible to other users of this\n"
    "machine (ps, /proc/PID/cmdline) and may land in shell history. Prefer --secret-file (a\n"
    "file only you can read) or QVRAD_SECRET for the secret, and --password-stdin or the\n"
    "terminal prompt for the password.\n"
    "\n"
    "Output: the text auth returned. Bytes below 0x20, 0x7F and the backslash are printed as\n"
    "\\xHH and \\\\, so a Reply-Message always stays on one line.\n"
    "\n"
    "Exit status:\n"
    "  0   the server's Reply-Message (an Access-Accept or Access-Reject: tell them by the text)\n"
    "  2   6040#0#ERR_NETWORK_FAIL          no verified reply within the timeout\n"
    "  3   6041#0#ERR_INVALID_RADIUS_FORMAT neither Accept nor Reject, or no Reply-Message\n"
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
    const char* server = nullptr;
    const char* port = "1812";
    const char* user = nullptr;
    const char* timeout = "5";
    const char* secretFile = nullptr;
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

// 0, or the exit status of a usage fault.
int ParseOptions(int argc, char** argv, Options* o) {
    bool seenPort = false, seenTimeout = false;
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
        } else if (std::strcmp(name, "--password-stdin") == 0) {
            if ((rc = flag()) != 0) return rc;
            if (o->passwordStdin) return Usage("option given twice", name);
            o->passwordStdin = true;
        } else if (std::strcmp(name, "--server") == 0) {
            if ((rc = value(&v)) != 0) return rc;
            if (o->server != nullptr) return Usage("option given twice", name);
            o->server = v;
        } else if (std::strcmp(name, "--port") == 0) {
            if ((rc = value(&v)) != 0) return rc;
            if (seenPort) return Usage("option given twice", name);
            seenPort = true;
            o->port = v;
        } else if (std::strcmp(name, "--user") == 0) {
            if ((rc = value(&v)) != 0) return rc;
            if (o->user != nullptr) return Usage("option given twice", name);
            o->user = v;
        } else if (std::strcmp(name, "--timeout") == 0) {
            if ((rc = value(&v)) != 0) return rc;
            if (seenTimeout) return Usage("option given twice", name);
            seenTimeout = true;
            o->timeout = v;
        } else if (std::strcmp(name, "--secret-file") == 0) {
            if ((rc = value(&v)) != 0) return rc;
            if (o->secretFile != nullptr) return Usage("option given twice", name);
            o->secretFile = v;
        } else if (std::strcmp(name, "--secret") == 0) {
            if ((rc = value(&v)) != 0) return rc;
            if (o->secret.set) return Usage("option given twice", name);
            TakeFromArgv(v, &o->secret);
        } else if (std::strcmp(name, "--password") == 0) {
            if ((rc = value(&v)) != 0) return rc;
            if (o->password.set) return Usage("option given twice", name);
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
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return Usage("cannot open the secret file", path);
    std::setvbuf(file, nullptr, _IONBF, 0);
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

// The result on one line: control bytes, DEL and the backslash as escapes (a server's text
// must not move the cursor, inject lines or send terminal commands); other bytes as they are.
void PrintResult(const char* text) {
    static const char kHex[] = "0123456789abcdef";
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
        if (*p == '\\') {
            std::fputs("\\\\", stdout);
        } else if (*p < 0x20 || *p == 0x7F) {
            const char escape[5] = {'\\', 'x', kHex[*p >> 4], kHex[*p & 0x0F], '\0'};
            std::fputs(escape, stdout);
        } else {
            std::fputc(*p, stdout);
        }
    }
    std::fputc('\n', stdout);
}

int ExitStatusOf(const char* text) {
    if (std::strcmp(text, kNetworkFail) == 0) return kExitNetworkFail;
    if (std::strcmp(text, kInvalidFormat) == 0) return kExitInvalidFormat;
    if (std::strcmp(text, kInvalidInput) == 0) return kExitInvalidInput;
    if (std::strncmp(text, kInternalPrefix, sizeof kInternalPrefix - 1) == 0) return kExitInternal;
    return kExitReply;
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
        if (!Utf8Environment("QVRAD_SECRET", o.secret.text, kKeepLength, &o.secret.length))
            return Usage("no secret: give --secret-file, QVRAD_SECRET or --secret");
        o.secret.set = true;
    }
    if (!o.password.set && (rc = ReadPassword(o, &o.password)) != 0) return rc;

    char result[kResultSize];
    const char* text = auth(o.server, o.port, o.secret.text, o.user, o.password.text, o.timeout);
    // The returned buffer is shared by every call in the process: copy it at once.
    std::size_t n = 0;
    if (text != nullptr)
        for (; n + 1 < sizeof result && text[n] != '\0'; ++n) result[n] = text[n];
    result[n] = '\0';
    Wipe(o.secret.text, sizeof o.secret.text);
    Wipe(o.password.text, sizeof o.password.text);
    if (text == nullptr) {
        std::fputs("qvrad-auth: auth returned no text\n", stderr);
        return kExitInternal;
    }

    PrintResult(result);
    if (std::fflush(stdout) != 0) return kExitInternal;
    return ExitStatusOf(result);
}
