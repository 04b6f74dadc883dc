// Request bodies read into typed fields, each case a body and what each kind
// of field makes of it; text of any bytes written out as UTF-8.
#include "nao_kinora_console/accounts/untrusted_text.h"
#include "nao_kinora_console/server/request_body.h"

#include <gtest/gtest.h>

namespace
{
using namespace nao_kinora_console;

enum class Kind
{
  kText,
  kSecret,
  kBytes,
  kInteger,
  kFlag,
  kChoice,
  kOptionalText,
  kChoiceOrNull,
};

TEST(RequestBody, EachKindOfField)
{
  const struct
  {
    Kind kind;
    std::string body;
    std::string fault;  // "" when read
    std::string value;  // what was read, as text
  } cases[] = {
      {Kind::kText, R"({"f": "caf\u00e9"})", "", "caf\xc3\xa9"},
      {Kind::kText, "{\"f\": \"caf\xc3\xa9\"}", "", "caf\xc3\xa9"},
      {Kind::kText, R"({"f": 5})", "f: not text", ""},
      {Kind::kText, R"({"f": null})", "f: not text", ""},
      {Kind::kText, R"({"f": ["a"]})", "f: not text", ""},
      {Kind::kText, R"({"g": "a"})", "f: missing", ""},
      {Kind::kText, R"({"f": "a\u0000"})", "f: holds a NUL character", ""},
      {Kind::kText, R"({"f": "a\nb"})", "f: holds a control character", ""},
      {Kind::kText, "{\"f\": \"a\x7f\"}", "f: holds a control character", ""},
      {Kind::kText, "{\"f\": \"a\xff\"}", "f: not UTF-8 text", ""},
      {Kind::kText, "{\"f\": \"\xc0\xaf\"}", "f: not UTF-8 text", ""},          // overlong
      {Kind::kText, "{\"f\": \"\xed\xa0\x80\"}", "f: not UTF-8 text", ""},      // a surrogate
      {Kind::kText, "{\"f\": \"\xf4\x8f\xbf\xbf\"}", "f: not UTF-8 text", ""},  // U+10FFFF: the marks' own
      {Kind::kText, "{\"f\": \"\xf0\x9f\x98\x80\"}", "", "\xf0\x9f\x98\x80"},
      {Kind::kText, "[1]", "body: not a JSON object", ""},
      {Kind::kText, "", "body: not a JSON object", ""},
      {Kind::kText, "{\"f\": \"a\"", "body: not a JSON object", ""},
      {Kind::kText, "{\xff\"f\": \"a\"}", "body: not a JSON object", ""},
      {Kind::kSecret, R"({"f": "a\tb"})", "", "a\tb"},
      {Kind::kSecret, R"({"f": "a\u0000b"})", "f: holds a NUL character", ""},
      {Kind::kSecret, "{\"f\": \"a\xff\"}", "f: not UTF-8 text", ""},
      {Kind::kBytes, "{\"f\": \"ma\xffria\"}", "", "ma\xffria"},
      {Kind::kBytes, R"({"f": "x\u0000y"})", "", std::string("x\0y", 3)},
      {Kind::kBytes, "{\"f\": \"\xf4\x8f\xbc\x80\xc3\"}", "",
       "\xf4\x8f\xbc\x80\xc3"},  // a mark's own bytes, given back
      {Kind::kBytes, R"({"f": 1})", "f: not text", ""},
      {Kind::kInteger, R"({"f": 42})", "", "42"},
      {Kind::kInteger, R"({"f": -9223372036854775808})", "", "-9223372036854775808"},
      {Kind::kInteger, R"({"f": 9223372036854775807})", "", "9223372036854775807"},
      {Kind::kInteger, R"({"f": 9223372036854775808})", "f: not a whole number", ""},
      {Kind::kInteger, R"({"f": 4.0})", "f: not a whole number", ""},
      {Kind::kInteger, R"({"f": "4"})", "f: not a whole number", ""},
      {Kind::kInteger, R"({"f": true})", "f: not a whole number", ""},
      {Kind::kFlag, R"({"f": false})", "", "false"},
      {Kind::kFlag, R"({"f": 0})", "f: not true or false", ""},
      {Kind::kFlag, R"({"f": "true"})", "f: not true or false", ""},
      {Kind::kChoice, R"({"f": "admin"})", "", "admin"},
      {Kind::kChoice, R"({"f": "Admin"})", "f: must be \"therapist\" or \"admin\"", ""},
      {Kind::kChoice, R"({"f": 5})", "f: must be \"therapist\" or \"admin\"", ""},
      {Kind::kChoiceOrNull, R"({"f": "tr"})", "", "tr"},
      {Kind::kChoiceOrNull, R"({"f": null})", "", ""},
      {Kind::kChoiceOrNull, R"({"f": "fr"})", "f: must be \"en\", \"tr\" or null", "(was)"},
      {Kind::kChoiceOrNull, R"({"f": 1})", "f: must be \"en\", \"tr\" or null", "(was)"},
      {Kind::kChoiceOrNull, R"({})", "f: missing", "(was)"},
      {Kind::kChoiceOrNull, "[null]", "body: not a JSON object", "(was)"},
      {Kind::kOptionalText, R"({})", "", "(kept)"},
      {Kind::kOptionalText, R"({"f": "new"})", "", "new"},
      {Kind::kOptionalText, R"({"f": 1})", "f: not text", "(kept)"},
  };
  for (const auto& c : cases)
  {
    BodyReader read(c.body);
    std::string text = c.kind == Kind::kOptionalText ? "(kept)" : c.kind == Kind::kChoiceOrNull ? "(was)" : "";
    int64_t number = 0;
    bool flag = true;
    switch (c.kind)
    {
      case Kind::kText:
        read.text("f", text);
        break;
      case Kind::kSecret:
        read.secret("f", text);
        break;
      case Kind::kBytes:
        read.bytes("f", text);
        break;
      case Kind::kInteger:
        read.integer("f", number);
        text = read.ok() ? std::to_string(number) : "";
        break;
      case Kind::kFlag:
        read.flag("f", flag);
        text = read.ok() ? (flag ? "true" : "false") : "";
        break;
      case Kind::kChoice:
        read.choice("f", text, {"therapist", "admin"});
        break;
      case Kind::kOptionalText:
        read.optional().text("f", text);
        break;
      case Kind::kChoiceOrNull:
        read.choiceOrNull("f", text, {"en", "tr"});
        break;
    }
    EXPECT_EQ(c.fault, read.fault()) << c.body;
    EXPECT_EQ(c.fault.empty(), read.ok()) << c.body;
    EXPECT_EQ(c.value, text) << c.body;
  }
}

// The first wrong field is named; the ones after it are not read.
TEST(RequestBody, FirstFaultNamed)
{
  std::string name = "(kept)", password = "(kept)";
  int64_t id = 7;
  BodyReader read(R"({"id": "x", "name": 5, "password": "long enough"})");
  read.integer("id", id).text("name", name).secret("password", password);
  EXPECT_EQ("id: not a whole number", read.fault());
  EXPECT_EQ(7, id);
  EXPECT_EQ("(kept)", name);
  EXPECT_EQ("(kept)", password);
}

TEST(UntrustedText, WrittenOutAsUtf8)
{
  const struct
  {
    std::string bytes;
    std::size_t max;
    std::string escaped;
    bool utf8;
  } cases[] = {
      {"maria", 100, "maria", true},
      {"caf\xc3\xa9", 100, "caf\xc3\xa9", true},
      {"ma\xffria", 100, "ma\\xffria", false},
      {std::string("x\0y", 3), 100, "x\\x00y", false},
      {"a\nb\x7f", 100, "a\\x0ab\\x7f", true},
      {"back\\slash", 100, "back\\\\slash", true},
      {"\xc3", 100, "\\xc3", false},                             // cut short
      {"\xe2\x82", 100, "\\xe2\\x82", false},                    // cut short
      {"\xed\xa0\x80", 100, "\\xed\\xa0\\x80", false},           // a surrogate
      {"\xf4\x90\x80\x80", 100, "\\xf4\\x90\\x80\\x80", false},  // past U+10FFFF
      {"abcdefghij", 10, "abcdefghij", true},
      {"abcdefghijk", 10, "abcdefg...", true},
      {"abcdef\xc3\xa9zzz", 10, "abcdef...", true},  // never half a character
      {"abcdef\xff", 9, "abcdef...", false},
      {"", 10, "", true},
  };
  for (const auto& c : cases)
  {
    EXPECT_EQ(c.escaped, escapedText(c.bytes, c.max)) << c.escaped;
    EXPECT_TRUE(isUtf8Text(escapedText(c.bytes, c.max))) << c.escaped;
    EXPECT_EQ(c.utf8, isUtf8Text(c.bytes)) << c.escaped;
  }
}
}  // namespace
