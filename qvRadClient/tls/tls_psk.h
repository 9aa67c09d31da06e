// The TLS pre-shared key of one call: read from its file as hex, checked (RFC 9813: at least 16
// octets, never the RADIUS shared secret), handed to the session and wiped.
#pragma once

#include <cstddef>
#include <cstdint>

// The octets of a key written as hex digits (either case), white space at either end ignored
// (a file's trailing newline), nothing else allowed. The octet count, or -1: an odd number of
// digits, any other character, or more than capacity octets (out is then wiped).
int ParsePskHex(const char* text, std::size_t length, std::uint8_t* out, std::size_t capacity);

// Reads path for this call and checks what it holds: hex of 16 to 64 octets, neither equal to
// the shared secret's octets nor, as text, to the secret itself. 0 with the key in psk (64
// octets of room; the caller wipes it) and its length, or -1 with the reason in words (static
// text). Every buffer of the file's bytes is wiped before return.
int LoadPsk(const char* path, const std::uint8_t* secret, std::size_t secretLength,
            std::uint8_t* psk, std::size_t* length, const char** reason);
