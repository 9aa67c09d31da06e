// The resumption ticket record and the shelf of one server: plain octets, so that they outlive the
// connection that received them and are wiped in one place.
#include "tls/tls_tickets.h"

#include <cstring>
#include <new>

#include "platform/platform.h"

TlsTicket& TlsTicket::operator=(TlsTicket&& other) noexcept {
    if (this == &other) return *this;
    Clear();
    bytes_ = other.bytes_;
    length_ = other.length_;
    receivedMillis_ = other.receivedMillis_;
    expiresMillis_ = other.expiresMillis_;
    other.bytes_ = nullptr;
    other.length_ = 0;
    return *this;
}

int TlsTicket::Assign(const std::uint8_t* bytes, std::size_t length, std::int64_t receivedMillis,
                      std::uint32_t lifetimeSeconds) {
    Clear();
    if (bytes == nullptr || length == 0 || length > kMaxBytes) return -1;
    bytes_ = static_cast<std::uint8_t*>(::operator new(length, std::nothrow));
    if (bytes_ == nullptr) return -1;
    std::memcpy(bytes_, bytes, length);
    length_ = length;
    receivedMillis_ = receivedMillis;
    std::int64_t life = static_cast<std::int64_t>(lifetimeSeconds) * 1000;
    if (life > kMaxAgeMillis) life = kMaxAgeMillis;
    expiresMillis_ = receivedMillis + life;
    return 0;
}

void TlsTicket::Clear() {
    if (bytes_ != nullptr) {
        platform::SecureZero(bytes_, length_);
        ::operator delete(bytes_);
    }
    bytes_ = nullptr;
    length_ = 0;
    receivedMillis_ = expiresMillis_ = 0;
}

bool TlsTicket::FreshAt(std::int64_t nowMillis) const {
    return bytes_ != nullptr && nowMillis >= receivedMillis_ && nowMillis < expiresMillis_;
}

void TlsTicketShelf::Put(TlsTicket&& ticket) {
    if (ticket.Empty()) return;
    for (int i = kCapacity - 1; i > 0; --i) tickets_[i] = static_cast<TlsTicket&&>(tickets_[i - 1]);
    tickets_[0] = static_cast<TlsTicket&&>(ticket);
}

bool TlsTicketShelf::Take(std::int64_t nowMillis, TlsTicket* out) {
    for (int i = 0; i < kCapacity; ++i) {
        if (tickets_[i].Empty()) continue;
        if (!tickets_[i].FreshAt(nowMillis)) {
            tickets_[i].Clear();
            continue;
        }
        *out = static_cast<TlsTicket&&>(tickets_[i]);
        return true;
    }
    return false;
}

void TlsTicketShelf::Clear() {
    for (TlsTicket& t : tickets_) t.Clear();
}

int TlsTicketShelf::Count() const {
    int n = 0;
    for (const TlsTicket& t : tickets_) n += t.Empty() ? 0 : 1;
    return n;
}
