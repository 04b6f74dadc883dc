// Text that came from outside (a name typed at the login, a token's label):
// told apart from well-formed UTF-8, and any bytes written out as text that
// can be stored on both back ends and sent back in JSON.
//
//   isUtf8Text("caf\xc3\xa9")          // true
//   escapedText("ma\xffria\n", 64)     // "ma\\xffria\\x0a": what the trail keeps
#ifndef NAO_KINORA_CONSOLE_UNTRUSTED_TEXT_H
#define NAO_KINORA_CONSOLE_UNTRUSTED_TEXT_H

#include <cstddef>
#include <string>

namespace nao_kinora_console
{
// Well-formed UTF-8 (no overlong forms, no surrogates, nothing past
// U+10FFFF) without a NUL.
bool isUtf8Text(const std::string& text);
// The length in bytes of the well-formed character at text[at]; 0 when the
// bytes there are not one (or at is past the end).
std::size_t utf8CharacterAt(const std::string& text, std::size_t at);

// The bytes as printable UTF-8: well-formed characters kept, a backslash
// doubled, control characters and bytes that are not UTF-8 written "\xNN"
// (lower-case hex). At most maxBytes long; one cut short ends in "...".
std::string escapedText(const std::string& bytes, std::size_t maxBytes);
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_UNTRUSTED_TEXT_H
