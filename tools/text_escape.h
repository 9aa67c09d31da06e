// qvrad-auth's printing of text a server chose: everything a terminal could act on is escaped,
// so a hostile Reply-Message stays one inert line.
#pragma once

#include <cstddef>
#include <cstdio>

// Writes n bytes to out: printable ASCII and well-formed UTF-8 (RFC 3629) of printable code
// points as they are; the backslash as "\\"; C0 controls, DEL, C1 controls (raw 0x80-0x9F and
// U+0080-U+009F as UTF-8), every byte of an invalid or overlong UTF-8 sequence, and each UTF-8
// byte of the bidirectional controls, U+2028, U+2029 and the invisible format characters
// (Unicode's default-ignorable ones, U+FEFF among them, and U+FFF9-U+FFFB) as "\xHH".
void WriteEscaped(std::FILE* out, const unsigned char* bytes, std::size_t n);

// Whether n bytes (n > 0) are text WriteEscaped shows as they are, the backslash aside: printable
// ASCII and well-formed UTF-8 of printable code points, no control, no hidden code point.
bool IsPrintableText(const unsigned char* bytes, std::size_t n);
