// JSON as the console writes it: never an exception. nlohmann::json throws on
// a string that is not UTF-8 when it writes it, and a name a client sent (a
// file, a patient's note) may be anything; such bytes are written as U+FFFD.
#ifndef NAO_KINORA_CONSOLE_JSON_TEXT_H
#define NAO_KINORA_CONSOLE_JSON_TEXT_H

#include <nlohmann/json.hpp>

#include <string>

namespace nao_kinora_console
{
inline std::string jsonText(const nlohmann::json& value)
{
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_JSON_TEXT_H
