// Telling well-formed UTF-8 apart, and writing any bytes out as text.
#include "nao_kinora_console/accounts/untrusted_text.h"

#include <algorithm>

namespace nao_kinora_console
{
namespace
{
bool isControl(unsigned char c)
{
  return c < 0x20 || c == 0x7f;
}
}  // namespace

// PostgreSQL's rule: no overlong forms, no surrogates, nothing past U+10FFFF.
std::size_t utf8CharacterAt(const std::string& text, std::size_t i)
{
  if (i >= text.size())
    return 0;
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char c = s[i];
  const std::size_t extra = c < 0x80                 ? 0
                            : c >= 0xC2 && c <= 0xDF ? 1
                            : c >= 0xE0 && c <= 0xEF ? 2
                            : c >= 0xF0 && c <= 0xF4 ? 3
                                                     : 4;
  if (extra == 4 || i + extra >= text.size())
    return 0;
  // The second byte's range narrows for the forms that would be overlong,
  // surrogates or too high.
  const unsigned char low = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
  const unsigned char high = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
  for (std::size_t k = 1; k <= extra; ++k)
  {
    const unsigned char b = s[i + k];
    if (b < (k == 1 ? low : 0x80) || b > (k == 1 ? high : 0xBF))
      return 0;
  }
  return extra + 1;
}

bool isUtf8Text(const std::string& text)
{
  for (std::size_t i = 0; i < text.size();)
  {
    const std::size_t n = utf8CharacterAt(text, i);
    if (n == 0 || text[i] == '\0')
      return false;
    i += n;
  }
  return true;
}

std::string escapedText(const std::string& bytes, std::size_t maxBytes)
{
  static const char* const kHex = "0123456789abcdef";
  const std::string cut = "...";
  std::string out;
  std::size_t fits = 0;  // where to cut: the end of the last piece that leaves room for the mark
  for (std::size_t i = 0; i < bytes.size();)
  {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    const std::size_t n = utf8CharacterAt(bytes, i);
    if (n == 0 || isControl(c))
      out += std::string("\\x") + kHex[c >> 4] + kHex[c & 15];
    else if (c == '\\')
      out += "\\\\";
    else
      out.append(bytes, i, n);
    i += std::max<std::size_t>(n, 1);
    if (out.size() + cut.size() <= maxBytes)
      fits = out.size();
    else if (out.size() > maxBytes)
      return out.substr(0, fits) + (fits + cut.size() <= maxBytes ? cut : "");
  }
  return out;
}
}  // namespace nao_kinora_console
