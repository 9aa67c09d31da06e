// The TLS settings: the check that names the mode (or what is missing) and the load-time read
// of the environment into the process's record. No file is opened here.
#include "tls/tls_settings.h"

#include <cstring>

#include "platform/platform.h"

namespace {

// Written at load, before any call can run, and between calls by the tool and the tests.
TlsSettings g_tlsSettings;

bool IsSet(const char* text) {
    return text[0] != '\0';
}

// ASCII case ignored; stops at either NUL.
bool SameWord(const char* value, const char* word) {
    for (std::size_t i = 0;; ++i) {
        const char c =
            value[i] >= 'A' && value[i] <= 'Z' ? static_cast<char>(value[i] + 32) : value[i];
        if (c != word[i]) return false;
        if (c == '\0') return true;
    }
}

// One variable into a text field of size bytes: cleared when unset; when longer than the field
// holds, cleared too and marked in tooLong, so a cut path can never name another file.
void ReadText(const char* name, char* field, std::size_t size, std::uint8_t bit,
              TlsSettings* into) {
    const int length = platform::ReadEnvironment(name, field, size);
    if (length >= 0 && static_cast<std::size_t>(length) >= size) {
        std::memset(field, 0, size);
        into->tooLong |= bit;
    }
}

}  // namespace

TlsMode CheckTlsSettings(const TlsSettings& s, const char** reason) {
    const char* why = "";
    TlsMode mode = TlsMode::kIncomplete;
    const bool anyCertificate = IsSet(s.caFile) || IsSet(s.certFile) || IsSet(s.keyFile) ||
                                (s.tooLong & (kTlsCaFileBit | kTlsCertFileBit | kTlsKeyFileBit));
    const bool anyPsk = IsSet(s.pskFile) || s.pskIdentityLength != 0 ||
                        (s.tooLong & (kTlsPskFileBit | kTlsPskIdentityBit));
    // The first fault in the order a reader sets the variables.
    if (s.tooLong & kTlsCaFileBit)
        why = "QVRAD_TLS_CA_FILE is longer than 1023 bytes";
    else if (s.tooLong & kTlsCertFileBit)
        why = "QVRAD_TLS_CERT_FILE is longer than 1023 bytes";
    else if (s.tooLong & kTlsKeyFileBit)
        why = "QVRAD_TLS_KEY_FILE is longer than 1023 bytes";
    else if (s.tooLong & kTlsPskFileBit)
        why = "QVRAD_TLS_PSK_FILE is longer than 1023 bytes";
    else if (s.tooLong & kTlsPskIdentityBit)
        why = "QVRAD_TLS_PSK_IDENTITY is longer than 128 octets (RFC 4279 section 5.3)";
    else if (s.tooLong & kTlsServerNameBit)
        why = "QVRAD_TLS_SERVER_NAME is longer than 253 characters";
    else if (anyCertificate && anyPsk)
        why =
            "both certificate (QVRAD_TLS_CA_FILE, _CERT_FILE, _KEY_FILE) and PSK "
            "(QVRAD_TLS_PSK_IDENTITY, _PSK_FILE) settings are set: set one mode only";
    else if (anyCertificate && !IsSet(s.caFile))
        why =
            "QVRAD_TLS_CA_FILE is not set: certificate mode needs the CA, certificate and key "
            "files";
    else if (anyCertificate && !IsSet(s.certFile))
        why =
            "QVRAD_TLS_CERT_FILE is not set: certificate mode needs the CA, certificate and key "
            "files";
    else if (anyCertificate && !IsSet(s.keyFile))
        why =
            "QVRAD_TLS_KEY_FILE is not set: certificate mode needs the CA, certificate and key "
            "files";
    else if (anyCertificate)
        mode = TlsMode::kCertificate;
    else if (anyPsk && s.pskIdentityLength == 0)
        why = "QVRAD_TLS_PSK_IDENTITY is not set: PSK mode needs the identity and the key file";
    else if (anyPsk && !IsSet(s.pskFile))
        why = "QVRAD_TLS_PSK_FILE is not set: PSK mode needs the identity and the key file";
    else if (anyPsk && s.pskTls12 == PskTls12::kInvalid)
        why = "QVRAD_TLS_PSK_TLS12 is neither yes nor no";
    else if (anyPsk)
        mode = TlsMode::kPsk;
    else
        why =
            "no TLS setting: set QVRAD_TLS_CA_FILE, QVRAD_TLS_CERT_FILE and QVRAD_TLS_KEY_FILE "
            "(certificates), or QVRAD_TLS_PSK_IDENTITY and QVRAD_TLS_PSK_FILE (PSK)";
    if (reason != nullptr) *reason = why;
    return mode;
}

void ReadTlsSettingsFromEnvironment(TlsSettings* into) {
    *into = TlsSettings();
    ReadText("QVRAD_TLS_CA_FILE", into->caFile, sizeof into->caFile, kTlsCaFileBit, into);
    ReadText("QVRAD_TLS_CERT_FILE", into->certFile, sizeof into->certFile, kTlsCertFileBit, into);
    ReadText("QVRAD_TLS_KEY_FILE", into->keyFile, sizeof into->keyFile, kTlsKeyFileBit, into);
    ReadText("QVRAD_TLS_PSK_FILE", into->pskFile, sizeof into->pskFile, kTlsPskFileBit, into);
    ReadText("QVRAD_TLS_SERVER_NAME", into->serverName, sizeof into->serverName, kTlsServerNameBit,
             into);
    // The identity's octets as the environment holds them (no NUL inside, by its nature); one
    // byte more than the limit, so that a longer one is seen and refused.
    char identity[kMaxPskIdentityLength + 2];
    const int length =
        platform::ReadEnvironment("QVRAD_TLS_PSK_IDENTITY", identity, sizeof identity);
    if (length > static_cast<int>(kMaxPskIdentityLength)) {
        into->tooLong |= kTlsPskIdentityBit;
    } else if (length > 0) {
        std::memcpy(into->pskIdentity, identity, static_cast<std::size_t>(length));
        into->pskIdentityLength = static_cast<std::uint8_t>(length);
    }
    char word[8];
    const int wordLength = platform::ReadEnvironment("QVRAD_TLS_PSK_TLS12", word, sizeof word);
    if (wordLength <= 0 || (wordLength < static_cast<int>(sizeof word) && SameWord(word, "no")))
        into->pskTls12 = PskTls12::kOff;
    else if (wordLength < static_cast<int>(sizeof word) && SameWord(word, "yes"))
        into->pskTls12 = PskTls12::kOn;
    else
        into->pskTls12 = PskTls12::kInvalid;
}

const TlsSettings& ProcessTlsSettings() {
    return g_tlsSettings;
}

void SetProcessTlsSettings(const TlsSettings& settings) {
    g_tlsSettings = settings;
}

void ReadTlsSettingsAtLoad() {
    // Some 4.4 KiB: a static record rather than the loader thread's stack.
    static TlsSettings read;
    ReadTlsSettingsFromEnvironment(&read);
    SetProcessTlsSettings(read);
}

bool TlsSettingsEmpty(const TlsSettings& settings) {
    return settings.caFile[0] == '\0' && settings.certFile[0] == '\0' &&
           settings.keyFile[0] == '\0' && settings.pskFile[0] == '\0' &&
           settings.serverName[0] == '\0' && settings.pskIdentityLength == 0 &&
           settings.tooLong == 0 && settings.pskTls12 == PskTls12::kOff;
}
