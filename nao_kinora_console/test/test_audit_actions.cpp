// What the audit trail calls each answered request: one action per change or
// control, none for reads or refusals, the ids it concerns.
#include "nao_kinora_console/server/audit_actions.h"

#include <gtest/gtest.h>

namespace
{
using namespace nao_kinora_console;
using nlohmann::json;

TEST(AuditActions, EachClinicRequest)
{
  const struct
  {
    const char* method;
    const char* target;
    int status;
    json reply;
    const char* action;
    int64_t patient, plan, session;
    const char* detail;
  } cases[] = {
      {"POST", "/patients", 201, {{"id", 4}}, "patient added", 4, 0, 0, ""},
      {"POST", "/patients", 409, {{"ok", false}}, "", 0, 0, 0, ""},
      {"GET", "/patients", 200, json::object(), "", 0, 0, 0, ""},
      {"GET", "/patients/4", 200, json::object(), "", 0, 0, 0, ""},
      {"PUT", "/patients/4", 200, json::object(), "patient note changed", 4, 0, 0, ""},
      {"DELETE", "/patients/4", 200, json::object(), "patient deleted", 4, 0, 0, ""},
      {"POST", "/patients/4/plans", 201, {{"id", 9}}, "plan saved", 4, 9, 0, R"({"plan":"week 1"})"},
      {"GET", "/patients/4/export.csv", 200, nullptr, "export", 4, 0, 0, R"({"format":"CSV"})"},
      {"GET", "/patients/4/export.json", 200, nullptr, "export", 4, 0, 0, R"({"format":"JSON"})"},
      {"PUT",
       "/plans/9",
       200,
       {{"was", {{"name", "week 1"}, {"speed", 1.0}, {"items", {"a.txt"}}}}},
       "plan changed",
       0,
       9,
       0,
       R"({"exercises":["a.txt","b.txt"],"exercisesWas":["a.txt"],"from":"week 1","speed":0.75,"speedWas":1.0,)"
       R"("to":"week 2"})"},
      {"DELETE", "/plans/9", 200, {{"name", "week 2"}}, "plan deleted", 0, 9, 0, R"({"plan":"week 2"})"},
      {"GET", "/plans/9/timeline?first=2", 200, json::object(), "", 0, 0, 0, ""},
      {"POST",
       "/plans/9/start",
       201,
       {{"session", 12}, {"planName", "week 2"}},
       "start",
       0,
       9,
       12,
       R"({"plan":"week 2"})"},
      {"POST", "/plans/9/start", 409, {{"ok", false}}, "", 0, 0, 0, ""},
      {"POST", "/sessions/12/checkins", 201, json::object(), "check-in", 0, 0, 12, R"({"exercise":2})"},
      {"POST",
       "/sessions/12/resume",
       201,
       {{"session", 13}, {"first", 2}},
       "resume",
       0,
       0,
       13,
       R"({"at":2,"takesUp":12})"},
      {"GET", "/sessions/12", 200, json::object(), "", 0, 0, 0, ""},
      {"GET", "/library", 200, json::object(), "", 0, 0, 0, ""},
      {"PUT",
       "/library/a.txt/introduction",
       200,
       {{"title", "A"}, {"words", "None"}},
       "introduction changed",
       0,
       0,
       0,
       R"({"exercise":"A","to":"None"})"},
  };
  // What each request said: a plan named and edited, a check-in.
  const json request = {{"name", "week 1"}, {"position", 2}};
  const json edit = {{"name", "week 2"}, {"speed", 0.75}, {"items", {"a.txt", "b.txt"}}};
  for (const auto& c : cases)
  {
    const bool edited = std::string(c.method) == "PUT" && std::string(c.target) == "/plans/9";
    const AuditAction a = clinicAction(c.method, c.target, c.status, c.reply, edited ? edit : request);
    const std::string what = std::string(c.method) + " " + c.target + " " + std::to_string(c.status);
    EXPECT_EQ(c.action, a.action) << what;
    EXPECT_EQ(c.patient, a.patientId) << what;
    EXPECT_EQ(c.plan, a.planId) << what;
    EXPECT_EQ(c.session, a.sessionId) << what;
    EXPECT_EQ(c.detail, a.detail) << what;
  }
}

TEST(AuditActions, EachControl)
{
  const struct
  {
    const char* path;
    json body;
    const char* action;
    const char* detail;
  } cases[] = {
      {"/api/pause", {{"pause", true}}, "pause", ""},
      {"/api/pause", {{"pause", false}}, "continue", ""},
      {"/api/skip", json::object(), "skip", ""},
      {"/api/end", {{"confirm", true}}, "end", ""},
      {"/api/speed", {{"speed", 0.75}}, "speed", R"({"speed":0.75,"was":1.0})"},
  };
  for (const auto& c : cases)
  {
    const AuditAction a = controlAction(c.path, c.body, 1.0);
    EXPECT_EQ(c.action, a.action) << c.path;
    EXPECT_EQ(c.detail, a.detail) << c.path;
  }
}
}  // namespace
