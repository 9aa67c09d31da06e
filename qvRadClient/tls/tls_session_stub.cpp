// The TLS session of a build without Mbed TLS's sources (configured without
// QVRAD_MBEDTLS_SOURCE): every Open fails at once, before any connection, and says why.
#include <cstring>

#include "tls/tls_library.h"
#include "tls/tls_session.h"

struct CRadTlsSession::State {};

bool TlsBuiltIn() {
    return false;
}

// The module's unload calls it in every build; without Mbed TLS there is nothing to free.
void TlsLibraryRelease() {}

const char* TlsLibraryVersion() {
    return nullptr;
}

CRadTlsSession::CRadTlsSession() = default;

CRadTlsSession::~CRadTlsSession() = default;

void CRadTlsSession::ClearDescription() {
    failure_ = TlsFailure::kNone;
    reason_[0] = version_[0] = suite_[0] = '\0';
    chainLength_ = 0;
}

int CRadTlsSession::Fail(TlsFailure failure, const char* reason, const char* detail) {
    failure_ = failure;
    std::strncpy(reason_, reason, sizeof reason_ - 1);
    (void)detail;
    return -1;
}

int CRadTlsSession::Open(const platform::IpAddress&, std::uint16_t, const char*, const TlsSettings&,
                         const std::uint8_t*, std::size_t, std::int64_t, TlsTicket* resume) {
    if (resume != nullptr) resume->Clear();
    ClearDescription();
    return Fail(TlsFailure::kUnavailable,
                "this build has no TLS (built without Mbed TLS sources): tls:// servers are "
                "refused");
}

int CRadTlsSession::Send(const std::uint8_t*, std::uint16_t, std::int64_t) {
    return -1;
}

int CRadTlsSession::Receive(std::uint8_t*, std::uint16_t, std::int64_t) {
    return -1;
}

int CRadTlsSession::SendStep(const std::uint8_t*, std::uint16_t) {
    return -1;
}

int CRadTlsSession::ReceiveStep(std::uint8_t*, std::uint16_t, std::int64_t) {
    return -1;
}

bool CRadTlsSession::HasBuffered() const {
    return false;
}

platform::SocketHandle CRadTlsSession::Socket() const {
    return platform::kInvalidSocket;
}

bool CRadTlsSession::TakeTicket(TlsTicket*) {
    return false;
}

void CRadTlsSession::KeepTicket() {}

void CRadTlsSession::Close() {}

void CRadTlsSession::Abandon() {}
