// Words of a failed call built into a caller's fixed buffer: texts and numbers appended in turn,
// cut to fit, always NUL-terminated; no allocation, no locale, nothing read past a NUL.
#pragma once

#include <cstddef>
#include <cstdint>

class DetailText {
  public:
    // out holds size bytes (at least 1); it is emptied here.
    DetailText(char* out, std::size_t size) : out_(out), size_(size) { out_[0] = '\0'; }

    DetailText& Text(const char* text) {
        for (std::size_t i = 0; text != nullptr && text[i] != '\0' && at_ + 1 < size_; ++i)
            out_[at_++] = text[i];
        out_[at_] = '\0';
        return *this;
    }
    DetailText& Number(std::uint64_t value) {
        char digits[20];  // 2^64 - 1 has 20 decimal digits
        std::size_t n = 0;
        do {
            digits[n++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0 && n < sizeof digits);
        char text[21];
        for (std::size_t i = 0; i < n; ++i) text[i] = digits[n - 1 - i];
        text[n] = '\0';
        return Text(text);
    }
    std::size_t Length() const { return at_; }

  private:
    char* out_;
    std::size_t size_;
    std::size_t at_ = 0;
};
