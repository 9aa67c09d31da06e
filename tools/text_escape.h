// qvrad-auth's printing of text a server chose: everything a terminal could act on is escaped,
// so a hostile Reply-Message stays one inert line.
#pragma once

#include <cstddef>
#include <cstdio>

// Writes n bytes to out: printable ASCII and well-formed UTF-8 (RFC 3629) of printable code
// points as they are; the backslash as "\\"; C0 controls, DEL, C1 controls (raw 0x80-0x9F and
// U+0080-U+009F as UTF-8), and every byte of an invalid or overlong UTF-8 sequence as "\xHH".
void WriteEscaped(std::FILE* out, const unsigned char* bytes, std::size_t n);
