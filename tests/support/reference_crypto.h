// Independent digests for the tests: OpenSSL's MD5 and HMAC where the build has OpenSSL, and a
// plain textbook MD5 written apart from the library's where it has not (the Windows build).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

Bytes RefMd5(const Bytes& message);
Bytes RefHmacMd5(const Bytes& key, const Bytes& message);
Bytes ToBytes(const std::string& text);
Bytes Concat(std::initializer_list<Bytes> parts);
std::string Hex(const Bytes& bytes);
Bytes FromHex(const std::string& hex);
