// The accounting side of qvrad-auth: its options, the --attr list, and one Accounting-Request or
// one flush of the spool with a line on standard output and the reasons on standard error.
#include "accounting_cli.h"

#include <cstdio>
#include <cstring>

#include "attribute_parse.h"
#include "text_escape.h"

namespace {

constexpr int kExitAcknowledged = 0;
constexpr int kExitNoResponse = 2;
constexpr int kExitInvalidInput = 4;
constexpr int kExitInternal = 5;
constexpr int kExitUsage = 64;

int Usage(const char* message, const char* detail = nullptr) {
    std::fprintf(stderr, "qvrad-auth: %s%s%s\n", message, detail != nullptr ? ": " : "",
                 detail != nullptr ? detail : "");
    std::fputs("Try 'qvrad-auth --help'.\n", stderr);
    return kExitUsage;
}

struct StatusName {
    const char* name;
    int value;
};
// RFC 2866 section 5.1.
const StatusName kStatusNames[] = {{"start", QVRAD_ACCT_START},
                                   {"stop", QVRAD_ACCT_STOP},
                                   {"interim", QVRAD_ACCT_INTERIM_UPDATE},
                                   {"on", QVRAD_ACCT_ON},
                                   {"off", QVRAD_ACCT_OFF}};

void PrintDetail(const char* prefix) {
    const char* detail = qvrad_error_detail();
    if (detail[0] == '\0') return;
    std::fprintf(stderr, "qvrad-auth: %s", prefix);
    WriteEscaped(stderr, reinterpret_cast<const unsigned char*>(detail), std::strlen(detail));
    std::fputc('\n', stderr);
}

}  // namespace

bool AccountingOptionTakesValue(const char* name) {
    return std::strcmp(name, "--attr") == 0 || std::strcmp(name, "--acct") == 0 ||
           std::strcmp(name, "--session-id") == 0 || std::strcmp(name, "--spool") == 0;
}

int TakeAccountingOption(const char* name, const char* value, bool hasInlineValue,
                         AccountingOptions* o) {
    if (std::strcmp(name, "--acct-flush") == 0) {
        if (hasInlineValue) return Usage("option takes no value", name);
        o->flush = true;
        return 1;
    }
    if (!AccountingOptionTakesValue(name)) return 0;
    if (std::strcmp(name, "--attr") == 0) {
        if (o->attributeCount >= AccountingOptions::kMaxAttributes)
            return Usage("--attr given more than 256 times");
        o->attributes[o->attributeCount++] = value;  // repeatable: every one is sent, in order
    } else if (std::strcmp(name, "--acct") == 0) {
        o->statusType = 0;
        for (const StatusName& s : kStatusNames)
            if (std::strcmp(value, s.name) == 0) o->statusType = s.value;
        if (o->statusType == 0) return Usage("--acct takes start, stop, interim, on or off", value);
    } else if (std::strcmp(name, "--session-id") == 0) {
        o->sessionId = value;
    } else {
        o->spool = value;
    }
    return 1;
}

int CheckAccountingOptions(const AccountingOptions& o, bool status, const char* user) {
    (void)user;
    if (o.statusType != 0 && o.flush) return Usage("give --acct or --acct-flush, not both");
    if (o.Active() && status) return Usage("--status sends no accounting: drop --acct");
    if (o.flush && o.spool == nullptr) return Usage("--acct-flush needs --spool DIR");
    if (o.flush && o.attributeCount != 0)
        return Usage("--acct-flush sends what is spooled: drop --attr");
    if (!o.Active() && (o.sessionId != nullptr || o.spool != nullptr))
        return Usage("--session-id and --spool are for --acct and --acct-flush");
    const bool onOff = o.statusType == QVRAD_ACCT_ON || o.statusType == QVRAD_ACCT_OFF;
    if (o.statusType != 0 && !onOff && o.sessionId == nullptr)
        return Usage("--acct start, stop and interim need --session-id");
    if (status && o.attributeCount != 0)
        return Usage("--attr is for logins and --acct, not --status");
    return 0;
}

int BuildAttributeList(const AccountingOptions& o, qvrad_attrs** attrs) {
    *attrs = nullptr;
    if (o.attributeCount == 0) return 0;
    if (qvrad_attrs_new(attrs) != QVRAD_OK) return kExitInternal;
    for (int i = 0; i < o.attributeCount; ++i) {
        char reason[320];
        if (AddAttributeArgument(o.attributes[i], *attrs, reason, sizeof reason) != 0) {
            std::fprintf(stderr, "qvrad-auth: ");
            WriteEscaped(stderr, reinterpret_cast<const unsigned char*>(reason),
                         std::strlen(reason));
            std::fputs("; nothing was sent\n", stderr);
            qvrad_attrs_free(*attrs);
            *attrs = nullptr;
            return kExitInvalidInput;
        }
    }
    return 0;
}

int RunAccountingCommand(qvrad_client* client, const AccountingOptions& o, const char* user,
                         const char* timeout) {
    if (o.spool != nullptr &&
        qvrad_client_set_text(client, QVRAD_OPT_SPOOL_DIR, o.spool) != QVRAD_OK) {
        PrintDetail("--spool: ");
        return kExitInvalidInput;
    }
    if (o.flush) {
        std::size_t sent = 0, left = 0;
        const int status = qvrad_acct_flush(client, &sent, &left);
        PrintDetail("");  // a file left alone, or why the flush stopped
        std::printf("sent %lu, left %lu\n", static_cast<unsigned long>(sent),
                    static_cast<unsigned long>(left));
        if (status == QVRAD_OK) return kExitAcknowledged;
        if (status == QVRAD_E_ARGUMENT || status == QVRAD_E_SPOOL) return kExitInvalidInput;
        return status == QVRAD_E_MEMORY || status == QVRAD_E_INTERNAL ? kExitInternal
                                                                      : kExitNoResponse;
    }
    qvrad_attrs* attrs = nullptr;
    const int built = BuildAttributeList(o, &attrs);
    if (built != 0) return built;
    const int status = qvrad_acct_send(client, o.statusType, o.sessionId, user, attrs);
    qvrad_attrs_free(attrs);
    switch (status) {
        case QVRAD_OK:
            PrintDetail("");  // a spooled file left alone
            std::fputs("Accounting-Response: acknowledged\n", stdout);
            return kExitAcknowledged;
        case QVRAD_E_TIMEOUT:
        case QVRAD_E_RESOLVE:
        case QVRAD_E_TLS:
            PrintDetail("");
            std::printf("no verified Accounting-Response within %s s\n", timeout);
            if (o.spool != nullptr) {
                std::fputs("qvrad-auth: the record is kept in the spool folder ", stderr);
                WriteEscaped(stderr, reinterpret_cast<const unsigned char*>(o.spool),
                             std::strlen(o.spool));
                std::fputs("; --acct-flush --spool DIR sends it\n", stderr);
            }
            return kExitNoResponse;
        case QVRAD_E_ARGUMENT:
        case QVRAD_E_SPOOL:
            PrintDetail("");
            std::fputs("refused: nothing was sent\n", stdout);
            return kExitInvalidInput;
        default:
            std::printf("%s\n", qvrad_strerror(status));
            return kExitInternal;
    }
}
