// Reading a request's body into typed fields. The JSON parser refuses a
// whole body over one byte that is not UTF-8; such bytes are carried through
// it as marks (the code points U+10FF00 + byte, which no field may hold
// otherwise) so the refusal names the field, and a field read as bytes gets
// them back exactly.
#include "nao_kinora_console/server/request_body.h"

#include "nao_kinora_console/accounts/untrusted_text.h"

#include <algorithm>
#include <limits>

namespace nao_kinora_console
{
namespace
{
// U+10FF00 + byte in UTF-8: F4 8F BC..BF 80..BF.
bool isMark(const std::string& s, std::size_t at)
{
  return s.compare(at, 2, "\xF4\x8F") == 0 && at + 3 < s.size() && static_cast<unsigned char>(s[at + 2]) >= 0xBC;
}

void putMark(std::string& out, unsigned char byte)
{
  out += "\xF4\x8F";
  out += static_cast<char>(0xBC + (byte >> 6));
  out += static_cast<char>(0x80 + (byte & 0x3F));
}

// Every byte that does not start a well-formed character (or starts one of
// the marks' own) becomes a mark.
std::string marked(const std::string& body)
{
  std::string out;
  out.reserve(body.size());
  for (std::size_t i = 0; i < body.size();)
  {
    const std::size_t n = utf8CharacterAt(body, i);
    if (n == 0 || (n == 4 && isMark(body, i)))
    {
      putMark(out, static_cast<unsigned char>(body[i]));
      ++i;
    }
    else
    {
      out.append(body, i, n);
      i += n;
    }
  }
  return out;
}

bool isControl(char c)
{
  return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
}

std::string unmarked(const std::string& text, bool& hadMarks)
{
  std::string out;
  hadMarks = false;
  for (std::size_t i = 0; i < text.size();)
    if (isMark(text, i))
    {
      out += static_cast<char>(((static_cast<unsigned char>(text[i + 2]) - 0xBC) << 6) |
                               (static_cast<unsigned char>(text[i + 3]) - 0x80));
      hadMarks = true;
      i += 4;
    }
    else
      out += text[i++];
  return out;
}
}  // namespace

BodyReader::BodyReader(const std::string& body) : body_(nlohmann::json::parse(marked(body), nullptr, false))
{
  if (!body_.is_object())
    fault_ = "body: not a JSON object";
}

BodyReader& BodyReader::optional()
{
  optional_ = true;
  return *this;
}

void BodyReader::refuse(const char* name, const std::string& why)
{
  fault_ = std::string(name) + ": " + why;
}

const nlohmann::json* BodyReader::field(const char* name)
{
  const bool mayLack = optional_;
  optional_ = false;
  if (!ok())
    return nullptr;
  const auto at = body_.find(name);
  if (at != body_.end())
    return &*at;
  if (!mayLack)
    refuse(name, "missing");
  return nullptr;
}

BodyReader& BodyReader::string(const char* name, std::string& out, bool controls)
{
  const nlohmann::json* value = field(name);
  if (!value)
    return *this;
  if (!value->is_string())
  {
    refuse(name, "not text");
    return *this;
  }
  bool hadMarks = false;
  const std::string got = unmarked(value->get_ref<const std::string&>(), hadMarks);
  if (hadMarks)
    refuse(name, "not UTF-8 text");
  else if (got.find('\0') != std::string::npos)
    refuse(name, "holds a NUL character");
  else if (!controls && std::any_of(got.begin(), got.end(), isControl))
    refuse(name, "holds a control character");
  else
    out = got;
  return *this;
}

BodyReader& BodyReader::text(const char* name, std::string& out)
{
  return string(name, out, false);
}

BodyReader& BodyReader::secret(const char* name, std::string& out)
{
  return string(name, out, true);
}

BodyReader& BodyReader::bytes(const char* name, std::string& out)
{
  const nlohmann::json* value = field(name);
  bool hadMarks = false;
  if (value && !value->is_string())
    refuse(name, "not text");
  else if (value)
    out = unmarked(value->get_ref<const std::string&>(), hadMarks);
  return *this;
}

BodyReader& BodyReader::integer(const char* name, int64_t& out)
{
  const nlohmann::json* value = field(name);
  if (value && value->is_number_integer() &&
      (value->is_number_unsigned() ? value->get<uint64_t>() <= uint64_t(std::numeric_limits<int64_t>::max()) : true))
    out = value->get<int64_t>();
  else if (value)
    refuse(name, "not a whole number");
  return *this;
}

BodyReader& BodyReader::flag(const char* name, bool& out)
{
  const nlohmann::json* value = field(name);
  if (value && value->is_boolean())
    out = value->get<bool>();
  else if (value)
    refuse(name, "not true or false");
  return *this;
}

BodyReader& BodyReader::choice(const char* name, std::string& out, std::initializer_list<const char*> allowed)
{
  const nlohmann::json* value = field(name);
  if (!value)
    return *this;
  std::string words;
  for (const char* word : allowed)
  {
    if (value->is_string() && value->get_ref<const std::string&>() == word)
    {
      out = word;
      return *this;
    }
    words += std::string(words.empty() ? "" : " or ") + "\"" + word + "\"";
  }
  refuse(name, "must be " + words);
  return *this;
}

BodyReader& BodyReader::choiceOrNull(const char* name, std::string& out, std::initializer_list<const char*> allowed)
{
  const auto at = body_.is_object() && fault_.empty() ? body_.find(name) : body_.end();
  if (body_.is_object() && at != body_.end() && at->is_null())
  {
    optional_ = false;
    out.clear();
    return *this;
  }
  std::string words;
  for (const char* word : allowed)
    words += std::string(words.empty() ? "" : ", ") + "\"" + word + "\"";
  const nlohmann::json* value = field(name);
  if (!value)
    return *this;
  for (const char* word : allowed)
    if (value->is_string() && value->get_ref<const std::string&>() == word)
    {
      out = word;
      return *this;
    }
  refuse(name, "must be " + words + " or null");
  return *this;
}
}  // namespace nao_kinora_console
