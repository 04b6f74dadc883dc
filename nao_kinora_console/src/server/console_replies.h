// The console's plain answers, shared by its request handling and its guard.
#ifndef NAO_KINORA_CONSOLE_CONSOLE_REPLIES_H
#define NAO_KINORA_CONSOLE_CONSOLE_REPLIES_H

#include "nao_kinora_console/http/http_session.h"
#include "nao_kinora_console/http/json_text.h"

#include <nlohmann/json.hpp>

#include <string>

namespace nao_kinora_console
{
inline Response reply(int status, const std::string& text)
{
  Response answer;
  answer.result(status);
  answer.set(http::field::content_type, "text/plain; charset=utf-8");
  answer.body() = text + "\n";
  return answer;
}

// The same, on a connection that must not carry another request.
inline Response replyClosing(int status, const std::string& text)
{
  Response answer = reply(status, text);
  answer.keep_alive(false);
  return answer;
}

inline Response replyJson(int status, const nlohmann::json& body)
{
  Response answer;
  answer.result(status);
  answer.set(http::field::content_type, "application/json");
  answer.body() = jsonText(body);
  return answer;
}

// The request's path, without its query.
inline std::string pathOf(const Request& request)
{
  const std::string target(request.target());
  return target.substr(0, target.find('?'));
}
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_CONSOLE_REPLIES_H
