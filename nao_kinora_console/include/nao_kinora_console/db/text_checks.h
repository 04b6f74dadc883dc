// Text as the console takes it in and gives it out: well-formed UTF-8 (what
// PostgreSQL and the JSON writer accept), and any bytes written out so that
// they can be shown and stored whatever they were.
#ifndef NAO_KINORA_CONSOLE_TEXT_CHECKS_H
#define NAO_KINORA_CONSOLE_TEXT_CHECKS_H

#include <string>

namespace nao_kinora_console
{
// Well-formed UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
// NUL is a character here; refused apart where it must be.
bool validUtf8(const std::string& text);
// A C0 control character (NUL, tab and newline among them) or DEL.
bool hasControl(const std::string& text);
// The text with every byte that is not part of well-formed UTF-8, every
// control character and every backslash written out as \xNN: valid UTF-8,
// printable, and telling apart any two different texts.
std::string escapedText(const std::string& text);
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_TEXT_CHECKS_H
