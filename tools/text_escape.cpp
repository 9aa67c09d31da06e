// Escaping of a server's text for the terminal: a byte-wise UTF-8 check (RFC 3629 section 4)
// that lets through only complete sequences of printable code points, and none of those that
// reorder or break the line as a terminal shows it.
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

// Code points a terminal acts on, or hides, without showing them: the bidirectional controls
// of Unicode's UAX #9 (U+061C, U+200E-U+200F, U+202A-U+202E, U+2066-U+2069), which can show a
// line in another order than it was sent; the separators U+2028-U+2029; and the format
// characters Unicode lists as Default_Ignorable_Code_Point, which draw nothing, so two texts
// that differ would look alike: U+00AD, U+180E, U+200B-U+200D, U+2060-U+206F, U+FEFF,
// U+1BCA0-U+1BCA3, U+1D173-U+1D17A and the tags U+E0000-U+E007F, with the unassigned
// default-ignorable code points set aside for more of them (U+2065, U+FFF0-U+FFF8,
// U+E0080-U+E00FF, U+E01F0-U+E0FFF); also the interlinear annotation controls U+FFF9-U+FFFB,
// which hide the text between them. The other default-ignorables are marks or letters, not
// format characters, and pass: the variation selectors (emoji and ideographs need them), the
// combining grapheme joiner and the Hangul fillers.
struct Range {
    unsigned first, last;
};
const Range kHidden[] = {{0x00AD, 0x00AD},   {0x061C, 0x061C},   {0x180E, 0x180E},
                         {0x200B, 0x200F},   {0x2028, 0x202E},   {0x2060, 0x206F},
                         {0xFEFF, 0xFEFF},   {0xFFF0, 0xFFFB},   {0x1BCA0, 0x1BCA3},
                         {0x1D173, 0x1D17A}, {0xE0000, 0xE00FF}, {0xE01F0, 0xE0FFF}};

// The code point of a well-formed sequence of 2 to 4 bytes, as PrintableSequence found it
// (RFC 3629 section 3).
bool HiddenCodePoint(const unsigned char* bytes, std::size_t length) {
    static const unsigned kLeadBits[5] = {0, 0, 0x1Fu, 0x0Fu, 0x07u};
    unsigned point = bytes[0] & kLeadBits[length];
    for (std::size_t i = 1; i < length; ++i) point = point << 6 | (bytes[i] & 0x3Fu);
    for (const Range& r : kHidden)
        if (point >= r.first && point <= r.last) return true;
    return false;
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
            if (HiddenCodePoint(bytes + i, length))
                for (std::size_t k = 0; k < length; ++k) WriteHex(out, bytes[i + k]);
            else
                std::fwrite(bytes + i, 1, length, out);
            i += length;
        } else {
            WriteHex(out, c);  // a control, or a byte that starts no valid sequence
            ++i;
        }
    }
}

bool IsPrintableText(const unsigned char* bytes, std::size_t n) {
    if (n == 0) return false;
    for (std::size_t i = 0; i < n;) {
        const unsigned char c = bytes[i];
        if (c >= 0x20 && c < 0x7F) {
            ++i;
            continue;
        }
        const std::size_t length = c >= 0x80 ? PrintableSequence(bytes + i, n - i) : 0;
        if (length == 0 || HiddenCodePoint(bytes + i, length)) return false;
        i += length;
    }
    return true;
}
