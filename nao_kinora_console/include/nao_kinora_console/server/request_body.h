// A request's JSON body read once, at the edge, into a struct of its own:
// each field checked for its type as it is read, and the first one that is
// missing or wrong named in the refusal (a 400). Nothing after it touches the
// client's JSON.
//
//   struct TokenBody { std::string label; };
//   TokenBody b;
//   BodyReader read(request.body());
//   read.text("label", b.label);
//   if (!read.ok()) return problem(400, read.fault());  // "label: not text"
#ifndef NAO_KINORA_CONSOLE_REQUEST_BODY_H
#define NAO_KINORA_CONSOLE_REQUEST_BODY_H

#include <nlohmann/json.hpp>

#include <cstdint>
#include <initializer_list>
#include <string>

namespace nao_kinora_console
{
class BodyReader
{
public:
  // Bytes that are not UTF-8 do not make the whole body unreadable: they
  // stay in their field, which text() then refuses and bytes() gives back.
  explicit BodyReader(const std::string& body);

  // The next field read may be missing (its variable is left as it is).
  BodyReader& optional();
  // A string of well-formed UTF-8 without NUL or control characters.
  BodyReader& text(const char* field, std::string& out);
  // A string of well-formed UTF-8 without NUL (a password may hold a tab).
  BodyReader& secret(const char* field, std::string& out);
  // A string as the client sent it, bytes that are not UTF-8 included: for
  // what is only compared and escaped, never echoed (a login's name).
  BodyReader& bytes(const char* field, std::string& out);
  // A whole number that fits 64 bits.
  BodyReader& integer(const char* field, int64_t& out);
  BodyReader& flag(const char* field, bool& out);
  // One of the words allowed.
  BodyReader& choice(const char* field, std::string& out, std::initializer_list<const char*> allowed);
  // One of the words allowed, or null (out is then "").
  BodyReader& choiceOrNull(const char* field, std::string& out, std::initializer_list<const char*> allowed);

  bool ok() const { return fault_.empty(); }
  // "FIELD: why", or "body: ..." when it is not a JSON object.
  const std::string& fault() const { return fault_; }

private:
  // The field's value when it is there and nothing failed before; else null
  // (a missing one that was not optional is then the fault).
  const nlohmann::json* field(const char* name);
  BodyReader& string(const char* name, std::string& out, bool controls);
  void refuse(const char* name, const std::string& why);

  nlohmann::json body_;
  std::string fault_;
  bool optional_ = false;
};
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_REQUEST_BODY_H
