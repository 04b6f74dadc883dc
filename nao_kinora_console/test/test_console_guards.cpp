// Every rule of the console's guard on every action, as one table: each row
// changes one thing of a request the console would carry out, and the
// coaching program must hear nothing of any refused one.
#include "console_fixture.h"

#include "nao_kinora_console/http/request_rules.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <map>

using console_test::Console;
using console_test::FakeCoach;
using console_test::rawStatus;

namespace
{
const char* const kToken = "s3cret-token_1";

// A request as bytes: fields in order, Content-Length added unless a row set
// the body's framing itself.
struct Ask
{
  std::string method = "POST";
  std::string target;
  std::vector<std::pair<std::string, std::string>> fields;
  std::string body;

  void set(const std::string& name, const std::string& value)
  {
    drop(name);
    fields.emplace_back(name, value);
  }
  void drop(const std::string& name)
  {
    fields.erase(std::remove_if(fields.begin(), fields.end(), [&](const auto& f) { return f.first == name; }),
                 fields.end());
  }
  bool has(const std::string& name) const
  {
    return std::any_of(fields.begin(), fields.end(), [&](const auto& f) { return f.first == name; });
  }
  std::string bytes() const
  {
    std::string text = method + " " + target + " HTTP/1.1\r\n";
    for (const auto& field : fields)
      text += field.first + ": " + field.second + "\r\n";
    if (!has("Content-Length") && !has("Transfer-Encoding") && !body.empty())
      text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return text + "Connection: close\r\n\r\n" + body;
  }
};

struct Rule
{
  const char* name;
  std::function<void(Ask&)> change;
  int status;
  const char* onlyFor;  // nullptr: every action; "controls": the node's controls only
};

// An action as the console's own page sends it, and what it answers once
// carried out (in this order, each on what the ones before made).
struct Action
{
  const char* method;
  const char* path;
  const char* body;
  int accepted;
};

const std::vector<Action> kActions = {
    {"POST", "/api/pause", "{\"pause\": true}", 200},
    {"POST", "/api/skip", "{}", 200},
    {"POST", "/api/end", "{\"confirm\": true}", 200},
    {"POST", "/api/speed", "{\"speed\": 0.5}", 200},
    {"POST", "/api/clinic/patients", "{\"code\": \"P-1\"}", 201},
    {"PUT", "/api/clinic/patients/1", "{\"note\": \"knee\"}", 200},
    {"POST", "/api/clinic/patients/1/plans", "{\"name\": \"w\", \"speed\": 1, \"items\": []}", 201},
    {"PUT", "/api/clinic/plans/1", "{\"name\": \"w2\", \"speed\": 1, \"items\": []}", 200},
    // Reached the clinic, which refuses an empty plan / an unknown session.
    {"POST", "/api/clinic/plans/1/start", "{}", 400},
    {"POST", "/api/clinic/sessions/9/resume", "{}", 404},
    {"POST", "/api/clinic/sessions/9/checkins", "{\"position\": 1}", 404},
    {"DELETE", "/api/clinic/plans/1", "", 200},
    {"DELETE", "/api/clinic/patients/1", "{\"confirm\": \"P-1\"}", 200},
    // Record begins; Stop and Save have nothing to keep, as no joint state comes here.
    {"POST", "/api/teach/start", "{\"name\": \"arms\"}", 200},
    {"POST", "/api/teach/stop", "{}", 409},
    {"POST", "/api/teach/save", "{\"name\": \"arms\", \"overwrite\": true}", 409},
    {"POST", "/api/teach/discard", "{}", 200},
};

bool isControl(const std::string& path)
{
  return path.compare(0, 12, "/api/clinic/") != 0;
}
}  // namespace

TEST(ConsoleGuards, EveryRuleOnEveryAction)
{
  kinora_test::Harness harness(false);
  FakeCoach coach;
  // On a loopback address with a token: the Host rule and the token rule both hold.
  char folder[] = "/tmp/console_guards_XXXXXX";
  ASSERT_TRUE(mkdtemp(folder));
  Console console({std::string("_token:=") + kToken, std::string("_recording_dir:=") + folder});
  ASSERT_GT(console.port, 0);
  const std::string host = console.hostPort();
  const std::string evil = "evil.example:" + std::to_string(console.port);
  const std::vector<Rule> rules = {
      {"Origin of another site", [](Ask& a) { a.set("Origin", "http://evil.example"); }, 403, nullptr},
      {"no Origin", [](Ask& a) { a.drop("Origin"); }, 403, nullptr},
      {"Host of another site",
       [&](Ask& a)
       {
         a.set("Host", evil);
         a.set("Origin", "http://" + evil);
       },
       403, nullptr},
      {"no token", [](Ask& a) { a.drop("X-Console-Token"); }, 403, nullptr},
      {"wrong token", [](Ask& a) { a.set("X-Console-Token", "s3cret-token_2"); }, 403, nullptr},
      {"token and more", [](Ask& a) { a.set("X-Console-Token", std::string(kToken) + "x"); }, 403, nullptr},
      {"token and more in the query",
       [](Ask& a)
       {
         a.drop("X-Console-Token");
         a.target += std::string("?token=") + kToken + "x";
       },
       403, nullptr},
      {"GET",
       [](Ask& a)
       {
         a.method = "GET";
         a.body.clear();
       },
       405, "controls"},
      {"body over its limit (1 KiB, 16 KiB for the clinic)",
       [](Ask& a) { a.body = "{\"x\": \"" + std::string(nao_kinora_console::bodyLimit(a.target), 'a') + "\"}"; }, 413,
       nullptr},
      {"malformed Content-Length", [](Ask& a) { a.set("Content-Length", std::to_string(a.body.size()) + "x"); }, 400,
       nullptr},
      {"Content-Length twice",
       [](Ask& a)
       {
         const std::string length = std::to_string(a.body.size());
         a.set("Content-Length", length);
         a.fields.emplace_back("Content-Length", length);
       },
       400, nullptr},
      {"chunked body",
       [](Ask& a)
       {
         a.set("Transfer-Encoding", "chunked");
         a.body = "2\r\n{}\r\n0\r\n\r\n";
       },
       411, nullptr},
      {"body not JSON", [](Ask& a) { a.body = "{"; }, 400, nullptr},
      {"body not an object", [](Ask& a) { a.body = "[true]"; }, 400, nullptr},
      {"field missing", [](Ask& a) { a.body = "{}"; }, 400, "/api/pause"},
      {"field missing", [](Ask& a) { a.body = "{}"; }, 400, "/api/end"},
      {"field of another type", [](Ask& a) { a.body = "{\"pause\": 1}"; }, 400, "/api/pause"},
      {"field of another value", [](Ask& a) { a.body = "{\"confirm\": \"yes\"}"; }, 400, "/api/end"},
      {"field missing", [](Ask& a) { a.body = "{}"; }, 400, "/api/teach/start"},
      {"field of another type", [](Ask& a) { a.body = "{\"name\": 7}"; }, 400, "/api/teach/start"},
      {"field of another type", [](Ask& a) { a.body = "{\"overwrite\": \"yes\"}"; }, 400, "/api/teach/save"},
      {"field missing", [](Ask& a) { a.body = "{}"; }, 400, "/api/speed"},
      {"speed out of range", [](Ask& a) { a.body = "{\"speed\": 3}"; }, 400, "/api/speed"},
  };

  const auto accepted = [&](const Action& action)
  {
    Ask ask;
    ask.method = action.method;
    ask.target = action.path;
    ask.fields = {{"Host", host},
                  {"Origin", "http://" + host},
                  {"X-Console-Token", kToken},
                  {"Content-Type", "application/json"}};
    ask.body = action.body;
    return ask;
  };
  for (const Action& action : kActions)
    for (const Rule& rule : rules)
    {
      if (rule.onlyFor && !(rule.onlyFor == std::string("controls") ? isControl(action.path)
                                                                    : action.path == std::string(rule.onlyFor)))
        continue;
      Ask ask = accepted(action);
      rule.change(ask);
      EXPECT_EQ(rule.status, rawStatus(console.port, ask.bytes())) << action.path << ": " << rule.name;
      EXPECT_TRUE(coach.calls().empty()) << action.path << ": " << rule.name << " reached the program";
    }

  // No refused Record began a recording.
  const auto teachState = [&]
  {
    const auto reply = console_test::request(console.port, "GET", "/api/teach", {{"X-Console-Token", kToken}});
    const nlohmann::json view = nlohmann::json::parse(reply.body, nullptr, false);
    return view.is_object() ? view.value("state", std::string()) : std::string();
  };
  EXPECT_EQ("idle", teachState());

  // The same requests unchanged are carried out: each row refused for its one change.
  for (const Action& action : kActions)
    EXPECT_EQ(action.accepted, rawStatus(console.port, accepted(action).bytes())) << action.path;
  EXPECT_EQ((std::vector<std::string>{"pause", "skip", "end", "speed 0.50"}), coach.calls());
  EXPECT_EQ("idle", teachState());
}
