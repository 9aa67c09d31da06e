// Resumption tickets of RADIUS over TLS connections (RFC 8446 section 4.6.1, RFC 5077): a few per
// server and settings, kept in memory only, each used once, capped in age, wiped when they go.
#pragma once

#include <cstddef>
#include <cstdint>

// One resumable session as the TLS library serialises it (the ticket, the resumption secret, the
// negotiated suite and the server's certificate): secret material, held on the heap and wiped.
class TlsTicket {
  public:
    // The longest serialised session kept: a ticket of a few hundred octets, the server's
    // certificate chain (kept for the resumed session) and Mbed TLS's fields.
    static constexpr std::size_t kMaxBytes = 8192;
    // RFC 8446 section 4.6.1: a ticket lives at most 7 days; this client keeps one at most 2 hours
    // (OpenSSL's and FreeRADIUS's own default), so a stolen heap image ages out soon.
    static constexpr std::int64_t kMaxAgeMillis = 2 * 3600 * 1000;

    TlsTicket() = default;
    ~TlsTicket() { Clear(); }
    TlsTicket(const TlsTicket&) = delete;
    TlsTicket& operator=(const TlsTicket&) = delete;
    TlsTicket(TlsTicket&& other) noexcept { *this = static_cast<TlsTicket&&>(other); }
    TlsTicket& operator=(TlsTicket&& other) noexcept;

    // Copies length octets (1 to kMaxBytes) received at receivedMillis (monotonic) that the server
    // declared valid for lifetimeSeconds. -1 (empty) when too long or without memory.
    int Assign(const std::uint8_t* bytes, std::size_t length, std::int64_t receivedMillis,
               std::uint32_t lifetimeSeconds);
    void Clear();  // wipes and frees
    bool Empty() const { return bytes_ == nullptr; }
    const std::uint8_t* Bytes() const { return bytes_; }
    std::size_t Length() const { return length_; }
    // Whether it may still be offered at nowMillis: within the server's lifetime and our cap.
    bool FreshAt(std::int64_t nowMillis) const;

  private:
    std::uint8_t* bytes_ = nullptr;
    std::size_t length_ = 0;
    std::int64_t receivedMillis_ = 0;
    std::int64_t expiresMillis_ = 0;
};

// The tickets of one server and settings: the newest few, each handed out once (RFC 8446 appendix
// C.4: a client should not reuse a ticket, so two connections are not linked by it). Not
// thread-safe: its owner's lock covers it.
class TlsTicketShelf {
  public:
    static constexpr int kCapacity = 4;

    // Keeps ticket (taken over), dropping the oldest when full; an empty one is ignored.
    void Put(TlsTicket&& ticket);
    // The newest fresh ticket, removed from the shelf; false when there is none (stale ones are
    // wiped on the way).
    bool Take(std::int64_t nowMillis, TlsTicket* out);
    void Clear();  // wipes every ticket
    int Count() const;

  private:
    TlsTicket tickets_[kCapacity];  // tickets_[0] the newest
};
