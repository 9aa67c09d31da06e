// Escaping of a server's text for the terminal: a byte-wise UTF-8 check (RFC 3629 section 4)
// that lets through only complete sequences of printable code points.
#include "text_escape.h"

namespace {

void WriteHex(std::FILE* out, unsigned char byte) {
    static const char kHex[] = "0123456789abcdef";
    const char escape[5] = {'\\', 'x', kHex[byte >> 4], kHex[byte & 0x0F], '\0'};
    std::fputs(escape, out);
}

bool InRange(unsigned char byte, unsigned char low, unsigned char high) {
    return byte >= low && byte <= high;
}

// The length of the well-formed UTF-8 sequence of a printable code point at bytes[0], or 0.
// The second byte's range excludes overlong forms, surrogates and code points past U+10FFFF.
std::size_t PrintableSequence(const unsigned char* bytes, std::size_t left) {
    const unsigned char lead = bytes[0];
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (InRange(lead, 0xC2, 0xDF)) {
        length = 2;
        if (lead == 0xC2) low = 0xA0;  // U+0080-U+009F: the C1 controls
    } else if (InRange(lead, 0xE0, 0xEF)) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (InRange(lead, 0xF0, 0xF4)) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    }
    if (length == 0 || length > left || !InRange(bytes[1], low, high)) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (!InRange(bytes[i], 0x80, 0xBF)) return 0;
    return length;
}

}  // namespace

void WriteEscaped(std::FILE* out, const unsigned char* bytes, std::size_t n) {
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = bytes[i];
        if (c == '\\') {
            std::fputs("\\\\", out);
            ++i;
        } else if (c >= 0x20 && c < 0x7F) {
            std::fputc(c, out);
            ++i;
        } else if (const std::size_t length = c >= 0x80 ? PrintableSequence(bytes + i, n - i) : 0;
                   length != 0) {
            std::fwrite(bytes + i, 1, length, out);
            i += length;
        } else {
            WriteHex(out, c);  // a control, or a byte that starts no valid sequence
            ++i;
        }
    }
}
