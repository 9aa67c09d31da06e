// The calling thread's error detail and the words of refused arguments: built in a fixed
// buffer, the value's length told and its octets never copied.
#include "login/error_detail.h"

#include <cstring>

#include "api/arguments.h"
#include "qvrad.h"
#include "radius/detail_text.h"

namespace {

// One per thread, as auth's result is: no process-wide buffer, no caller's text in another's.
thread_local char t_errorDetail[kErrorDetailSize] = {};

// The length of text within auth's 2048-octet bound; kArgumentLimit for a longer one.
std::size_t BoundedLength(const char* text) {
    const void* end = std::memchr(text, '\0', kArgumentLimit);
    return end == nullptr ? kArgumentLimit
                          : static_cast<std::size_t>(static_cast<const char*>(end) - text);
}

}  // namespace

void SetErrorDetail(const char* text) {
    DetailText(t_errorDetail, sizeof t_errorDetail).Text(text);
}

const char* ErrorDetail() {
    return t_errorDetail;
}

char* ErrorDetailBuffer() {
    return t_errorDetail;
}

int Refuse(const char* name, const char* words, int status) {
    DetailText(t_errorDetail, sizeof t_errorDetail).Text(name).Text(": ").Text(words);
    return status;
}

int RefuseNull(const char* name) {
    return Refuse(name, "NULL");
}

namespace {

DetailText& Signed(DetailText& text, std::int64_t value) {
    // The magnitude through uint64_t: the most negative value has none in int64_t.
    if (value < 0) text.Text("-");
    return text.Number(value < 0 ? 0 - static_cast<std::uint64_t>(value)
                                 : static_cast<std::uint64_t>(value));
}

}  // namespace

int RefuseNumber(const char* name, std::int64_t value, std::int64_t low, std::int64_t high,
                 const char* unit) {
    DetailText text(t_errorDetail, sizeof t_errorDetail);
    Signed(text.Text(name).Text(": "), value).Text("; ");
    Signed(Signed(text, low).Text(" to "), high).Text(unit);
    return QVRAD_E_ARGUMENT;
}

namespace {

DetailText& Length(DetailText& words, const char* text) {
    const std::size_t length = BoundedLength(text);
    return words.Number(length).Text(length >= kArgumentLimit ? " octets or more" : " octets");
}

}  // namespace

int RefuseLength(const char* name, const char* text, std::size_t limit) {
    DetailText words(t_errorDetail, sizeof t_errorDetail);
    Length(words.Text(name).Text(": "), text).Text("; at most ").Number(limit);
    return QVRAD_E_ARGUMENT;
}

int CheckText(const char* name, const char* text, std::size_t limit, const char* rule) {
    if (CheckCredential(text, limit) == 0) return QVRAD_OK;
    DetailText words(t_errorDetail, sizeof t_errorDetail);
    words.Text(name).Text(": ");
    if (text == nullptr) {
        words.Text("NULL");
    } else {
        const std::size_t length = BoundedLength(text);
        if (length == 0) {
            words.Text("empty");
        } else if (length > limit) {
            Length(words, text);
        } else {
            words.Text("white space only");  // what CheckCredential refuses besides those
        }
    }
    words.Text("; ").Text(rule);
    return QVRAD_E_ARGUMENT;
}

const char* OptionName(int option) {
    switch (option) {
        case QVRAD_OPT_TIMEOUT_MS:
            return "QVRAD_OPT_TIMEOUT_MS";
        case QVRAD_OPT_MAX_TRANSMISSIONS:
            return "QVRAD_OPT_MAX_TRANSMISSIONS";
        case QVRAD_OPT_REQUIRE_MESSAGE_AUTHENTICATOR:
            return "QVRAD_OPT_REQUIRE_MESSAGE_AUTHENTICATOR";
        case QVRAD_OPT_MAX_CHALLENGES:
            return "QVRAD_OPT_MAX_CHALLENGES";
        case QVRAD_OPT_NAS_IDENTIFIER:
            return "QVRAD_OPT_NAS_IDENTIFIER";
        case QVRAD_OPT_NAS_IP_ADDRESS:
            return "QVRAD_OPT_NAS_IP_ADDRESS";
        case QVRAD_OPT_TLS_CA_FILE:
            return "QVRAD_OPT_TLS_CA_FILE";
        case QVRAD_OPT_TLS_CERT_FILE:
            return "QVRAD_OPT_TLS_CERT_FILE";
        case QVRAD_OPT_TLS_KEY_FILE:
            return "QVRAD_OPT_TLS_KEY_FILE";
        case QVRAD_OPT_TLS_SERVER_NAME:
            return "QVRAD_OPT_TLS_SERVER_NAME";
        case QVRAD_OPT_TLS_PSK_IDENTITY:
            return "QVRAD_OPT_TLS_PSK_IDENTITY";
        case QVRAD_OPT_TLS_PSK_FILE:
            return "QVRAD_OPT_TLS_PSK_FILE";
        case QVRAD_OPT_TLS_PSK_TLS12:
            return "QVRAD_OPT_TLS_PSK_TLS12";
        default:
            return nullptr;
    }
}
