// The account requests behind a login: an admin's accounts and the audit
// trail, one's own API tokens, a session's entries for its report.
#include "nao_kinora_console/server/console_gate.h"

#include "nao_kinora_console/http/request_rules.h"
#include "console_replies.h"

#include <cstdlib>

namespace nao_kinora_console
{
namespace
{
const int kAuditPage = 50;

using nlohmann::json;

Response problem(int status, const std::string& message)
{
  return replyJson(status, {{"ok", false}, {"message", message}});
}

int statusOf(Fault fault)
{
  switch (fault)
  {
    case Fault::kRule:
      return 400;
    case Fault::kNotFound:
      return 404;
    case Fault::kTaken:
    case Fault::kConflict:
      return 409;
    default:
      return 503;
  }
}

json entryJson(const AuditEntry& e)
{
  return {{"id", e.id},
          {"at", e.at},
          {"who", e.event.who},
          {"room", e.event.room},
          {"action", e.event.action},
          {"patientId", e.event.patientId},
          {"patient", e.patientCode},
          {"session", e.event.sessionId},
          {"detail", e.event.detail}};
}

// A JSON object body, or null when it is not one.
json objectOf(const Request& request)
{
  json body = json::parse(request.body(), nullptr, false);
  return body.is_object() ? body : json();
}
}  // namespace

Response ConsoleGate::admin(const Request& request, const Visitor& by)
{
  if (!accountsOn())
    return problem(403,
                   "There are no accounts yet: make an admin first with "
                   "rosrun nao_kinora_console nao_kinora_console_admin add NAME --admin");
  if (!by.known || by.account.role != Role::kAdmin)
    return problem(403, "Only an admin may do this.");
  const std::string path = pathOf(request);
  if (path == "/api/accounts" && request.method() == http::verb::get)
  {
    const auto all = accounts_->accounts();
    json list = json::array();
    for (const Account& a : all.value)
      list.push_back({{"id", a.id}, {"name", a.name}, {"role", roleName(a.role)}, {"disabled", a.disabled}});
    return all.ok() ? replyJson(200, {{"accounts", list}}) : problem(503, all.error);
  }
  if (request.method() != http::verb::post)
    return problem(405, "Use GET to read, POST to change.");
  const json body = objectOf(request);
  if (path == "/api/accounts")
  {
    if (!body.is_object() || !body.value("name", json()).is_string() || !body.value("password", json()).is_string() ||
        (body.value("role", "") != "therapist" && body.value("role", "") != "admin"))
      return problem(400, "Say {\"name\": ..., \"password\": ..., \"role\": \"therapist\" or \"admin\"}.");
    const Role role = body["role"] == "admin" ? Role::kAdmin : Role::kTherapist;
    const auto added = accounts_->addAccount(body["name"], body["password"], role);
    if (!added.ok())
      return problem(statusOf(added.fault), added.error);
    record(by, "account added", 0, 0, json{{"name", body["name"]}, {"role", roleName(role)}}.dump());
    return replyJson(201, {{"ok", true}, {"id", added.value}});
  }
  if (!body.is_object() || !body.value("id", json()).is_number_integer() ||
      !body.value("disabled", json()).is_boolean())
    return problem(400, "Say {\"id\": ..., \"disabled\": true or false}.");
  const auto account = accounts_->account(body["id"]);
  if (!account.ok())
    return problem(statusOf(account.fault), account.error);
  if (account.value.id == by.account.id)
    return problem(409, "You cannot disable your own account.");
  const bool disabled = body["disabled"];
  const Status changed = accounts_->setDisabled(account.value.id, disabled);
  if (!changed.ok())
    return problem(statusOf(changed.fault), changed.error);
  record(by, disabled ? "account disabled" : "account enabled", 0, 0, json{{"name", account.value.name}}.dump());
  return replyJson(200, {{"ok", true}});
}

Response ConsoleGate::tokens(const Request& request, const Visitor& by)
{
  if (!accountsOn() || !by.known)
    return problem(403, "Personal tokens belong to accounts: log in first.");
  const std::string path = pathOf(request);
  if (path == "/api/tokens" && request.method() == http::verb::get)
  {
    const auto all = accounts_->tokens(by.account.id);
    json list = json::array();
    for (const ApiToken& t : all.value)
      list.push_back({{"id", t.id}, {"label", t.label}, {"created", t.created}, {"revoked", t.revoked}});
    return all.ok() ? replyJson(200, {{"tokens", list}}) : problem(503, all.error);
  }
  const json body = objectOf(request);
  if (request.method() != http::verb::post || !body.is_object())
    return problem(400, "Send a JSON object with POST.");
  if (path == "/api/tokens")
  {
    const auto made = accounts_->createToken(by.account.id, body.value("label", ""));
    if (!made.ok())
      return problem(statusOf(made.fault), made.error);
    record(by, "token made", 0, 0,
           json{{"label", body.value("label", "")}}.dump(-1, ' ', false, json::error_handler_t::replace));
    // The only time the token is shown: only its hash is kept.
    return replyJson(201, {{"ok", true}, {"id", made.value.first}, {"token", made.value.second}});
  }
  if (!body.value("id", json()).is_number_integer())
    return problem(400, "Say {\"id\": ...}.");
  const Status revoked = accounts_->revokeToken(by.account.id, body["id"]);
  if (!revoked.ok())
    return problem(statusOf(revoked.fault), revoked.error);
  record(by, "token revoked", 0, 0, json{{"id", body["id"]}}.dump());
  return replyJson(200, {{"ok", true}});
}

// One's own password, with the present one: {"old": ..., "new": ...}.
Response ConsoleGate::password(const Request& request, const Visitor& by)
{
  if (!accountsOn() || !by.known || by.viaToken)
    return problem(403, "A password belongs to an account: log in first.");
  const json body = objectOf(request);
  if (request.method() != http::verb::post || !body.is_object() || !body.value("old", json()).is_string() ||
      !body.value("new", json()).is_string())
    return problem(400, "Say {\"old\": ..., \"new\": ...} with POST.");
  const Status changed = accounts_->changePassword(by.account.id, body["old"], body["new"]);
  if (!changed.ok())
    return problem(statusOf(changed.fault), changed.error);
  record(by, "password changed", 0, 0, "");
  return replyJson(200, {{"ok", true}});
}

Response ConsoleGate::auditPage(const Request& request, const Visitor& by)
{
  if (request.method() != http::verb::get && request.method() != http::verb::head)
    return problem(405, "Use GET.");
  const std::string path = pathOf(request);
  Result<std::vector<AuditEntry>> entries;
  bool more = false;
  if (path.compare(0, 19, "/api/audit/session/") == 0)
  {
    const long long session = std::atoll(path.c_str() + 19);
    if (session <= 0)
      return problem(404, "No such session.");
    entries = trail_->ofSession(session);
  }
  else
  {
    if (accountsOn() && by.account.role != Role::kAdmin)
      return problem(403, "Only an admin may read the audit trail.");
    const long long before = std::atoll(queryValue(std::string(request.target()), "before").c_str());
    entries = trail_->page(before, kAuditPage + 1);  // one more tells whether there are older ones
    more = entries.value.size() > static_cast<std::size_t>(kAuditPage);
    if (more)
      entries.value.pop_back();
  }
  if (!entries.ok())
    return problem(503, entries.error);
  json list = json::array();
  for (const AuditEntry& e : entries.value)
    list.push_back(entryJson(e));
  Response answer = replyJson(200, {{"entries", list}, {"more", more}});
  answer.set(http::field::cache_control, "no-store");
  return answer;
}
}  // namespace nao_kinora_console
