#include "nao_kinora_console/db/text_checks.h"

namespace nao_kinora_console
{
namespace
{
// The length of the well-formed UTF-8 character at s[i], or 0 when the bytes
// there are not one.
std::size_t characterAt(const unsigned char* s, std::size_t n, std::size_t i)
{
  const unsigned char c = s[i];
  const int extra = c < 0x80                 ? 0
                    : c >= 0xC2 && c <= 0xDF ? 1
                    : c >= 0xE0 && c <= 0xEF ? 2
                    : c >= 0xF0 && c <= 0xF4 ? 3
                                             : -1;
  if (extra < 0 || i + extra >= n)
    return 0;
  // The second byte's range narrows for the forms that would be overlong,
  // surrogates or too high.
  const unsigned char low = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
  const unsigned char high = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
  for (int k = 1; k <= extra; ++k)
  {
    const unsigned char b = s[i + k];
    if (b < (k == 1 ? low : 0x80) || b > (k == 1 ? high : 0xBF))
      return 0;
  }
  return 1 + extra;
}
}  // namespace

bool validUtf8(const std::string& text)
{
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  for (std::size_t i = 0, step; i < text.size(); i += step)
    if ((step = characterAt(s, text.size(), i)) == 0)
      return false;
  return true;
}

bool hasControl(const std::string& text)
{
  for (char c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
      return true;
  return false;
}

std::string escapedText(const std::string& text)
{
  static const char kHex[] = "0123456789abcdef";
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  std::string out;
  for (std::size_t i = 0; i < text.size();)
  {
    const std::size_t step = characterAt(s, text.size(), i);
    if (step > 0 && !(step == 1 && (s[i] < 0x20 || s[i] == 0x7f || s[i] == '\\')))
    {
      out.append(text, i, step);
      i += step;
      continue;
    }
    out += "\\x";
    out += kHex[s[i] >> 4];
    out += kHex[s[i] & 15];
    ++i;
  }
  return out;
}
}  // namespace nao_kinora_console
