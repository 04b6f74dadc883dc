// The account requests behind a login: an admin's accounts (added, disabled
// and enabled, unlocked, given a new password) and the audit trail, one's own
// API tokens, a session's entries for its report. Every body is read into a
// struct of its own (account_bodies.h) before anything else looks at it.
#include "nao_kinora_console/server/console_gate.h"

#include "nao_kinora_console/http/json_text.h"
#include "nao_kinora_console/http/request_rules.h"
#include "account_bodies.h"
#include "console_replies.h"

#include <algorithm>
#include <cstdlib>
#include <functional>

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

using Record = std::function<void(const std::string& action, const std::string& detail)>;

Response listAccounts(AccountStore& accounts)
{
  const auto all = accounts.accounts();
  const auto locked = accounts.lockedAccounts();
  if (!all.ok() || !locked.ok())
    return problem(503, all.ok() ? locked.error : all.error);
  json list = json::array();
  for (const Account& a : all.value)
    list.push_back({{"id", a.id},
                    {"name", a.name},
                    {"role", roleName(a.role)},
                    {"disabled", a.disabled},
                    {"locked", std::count(locked.value.begin(), locked.value.end(), a.id) > 0}});
  return replyJson(200, {{"accounts", list}});
}

Response addAccount(AccountStore& accounts, const std::string& text, const Record& record)
{
  NewAccountBody body;
  const std::string fault = readBody(text, body);
  if (!fault.empty())
    return problem(400, fault);
  const auto added = accounts.addAccount(body.name, body.password, body.role);
  if (!added.ok())
    return problem(statusOf(added.fault), added.error);
  record("account added", jsonText(json{{"name", body.name}, {"role", roleName(body.role)}}));
  return replyJson(201, {{"ok", true}, {"id", added.value}});
}

Response disableAccount(AccountStore& accounts, const std::string& text, const Visitor& by, const Record& record,
                        const std::function<void(int64_t)>& endLogins)
{
  DisableBody body;
  const std::string fault = readBody(text, body);
  if (!fault.empty())
    return problem(400, fault);
  const auto account = accounts.account(body.id);
  if (!account.ok())
    return problem(statusOf(account.fault), account.error);
  if (account.value.id == by.account.id)
    return problem(409, "You cannot disable your own account.");
  const Status changed = accounts.setDisabled(account.value.id, body.disabled);
  if (!changed.ok())
    return problem(statusOf(changed.fault), changed.error);
  if (body.disabled)
    endLogins(account.value.id);
  record(body.disabled ? "account disabled" : "account enabled", jsonText(json{{"name", account.value.name}}));
  return replyJson(200, {{"ok", true}});
}

Response unlockAccount(AccountStore& accounts, const std::string& text, const Record& record)
{
  IdBody body;
  const std::string fault = readBody(text, body);
  if (!fault.empty())
    return problem(400, fault);
  const auto account = accounts.account(body.id);
  const auto ended = account.ok() ? accounts.unlock(body.id) : Result<int64_t>::failAs(account);
  if (!ended.ok())
    return problem(statusOf(ended.fault), ended.error);
  record("account unlocked", jsonText(json{{"name", account.value.name}}));
  return replyJson(200, {{"ok", true}, {"locks", ended.value}});
}

Response resetPassword(AccountStore& accounts, const std::string& text, const Record& record)
{
  PasswordBody body;
  const std::string fault = readBody(text, body);
  if (!fault.empty())
    return problem(400, fault);
  const auto account = accounts.account(body.id);
  const Status changed = account.ok() ? accounts.setPassword(body.id, body.password) : Status::failAs(account);
  if (!changed.ok())
    return problem(statusOf(changed.fault), changed.error);
  record("password reset", jsonText(json{{"name", account.value.name}}));
  return replyJson(200, {{"ok", true}});
}
}  // namespace

Response ConsoleGate::admin(const Request& request, const Visitor& by)
{
  if (!accountsOn())
    return problem(403,
                   "There are no accounts yet: make an admin first with "
                   "rosrun nao_kinora_console nao_kinora_console_admin add NAME --admin");
  if (!by.known() || by.account.role != Role::kAdmin)
    return problem(403, "Only an admin may do this.");
  const std::string path = pathOf(request);
  if (path == "/api/accounts" && request.method() == http::verb::get)
    return listAccounts(*accounts_);
  if (request.method() != http::verb::post)
    return problem(405, "Use GET to read, POST to change.");
  const Record record = [this, &by](const std::string& action, const std::string& detail)
  { this->record(by, action, 0, 0, detail); };
  if (path == "/api/accounts")
    return addAccount(*accounts_, request.body(), record);
  if (path == "/api/accounts/disable")
  {
    // A disabled account's logins end now, on this console; on others at their keeper's next round.
    const auto endLogins = [this](int64_t id)
    { ended(book_.endAccount(id, LoginEnd::kDisabled), LoginEnd::kDisabled); };
    return disableAccount(*accounts_, request.body(), by, record, endLogins);
  }
  if (path == "/api/accounts/unlock")
    return unlockAccount(*accounts_, request.body(), record);
  if (path == "/api/accounts/password")
    return resetPassword(*accounts_, request.body(), record);
  return problem(404, "No such request.");
}

Response ConsoleGate::tokens(const Request& request, const Visitor& by)
{
  if (!accountsOn() || !by.known())
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
  if (request.method() != http::verb::post)
    return problem(405, "Use GET to read, POST to change.");
  if (path == "/api/tokens")
  {
    TokenBody body;
    const std::string fault = readBody(request.body(), body);
    if (!fault.empty())
      return problem(400, fault);
    const auto made = accounts_->createToken(by.account.id, body.label);
    if (!made.ok())
      return problem(statusOf(made.fault), made.error);
    record(by, "token made", 0, 0, jsonText(json{{"label", body.label}}));
    // The only time the token is shown: only its hash is kept.
    return replyJson(201, {{"ok", true}, {"id", made.value.first}, {"token", made.value.second}});
  }
  IdBody body;
  const std::string fault = readBody(request.body(), body);
  if (!fault.empty())
    return problem(400, fault);
  const Status revoked = accounts_->revokeToken(by.account.id, body.id);
  if (!revoked.ok())
    return problem(statusOf(revoked.fault), revoked.error);
  // Ends on this console now; on others at their keeper's next round.
  recheckTokens(by.account.id);
  record(by, "token revoked", 0, 0, jsonText(json{{"id", body.id}}));
  return replyJson(200, {{"ok", true}});
}

// One's own password, with the present one: {"old": ..., "new": ...}.
Response ConsoleGate::password(const Request& request, const Visitor& by)
{
  if (!accountsOn() || !by.known() || by.viaToken)
    return problem(403, "A password belongs to an account: log in first.");
  if (request.method() != http::verb::post)
    return problem(405, "Use POST.");
  OwnPasswordBody body;
  const std::string fault = readBody(request.body(), body);
  if (!fault.empty())
    return problem(400, fault);
  // The hash is checked here, on the password checks' pool.
  const Status changed = accounts_->changePassword(by.account.id, body.old, body.fresh);
  if (!changed.ok())
    return problem(statusOf(changed.fault), changed.error);
  record(by, "password changed", 0, 0, "");
  return replyJson(200, {{"ok", true}});
}

// One's own language for the pages: {"language": "tr" | "en" | null}.
Response ConsoleGate::language(const Request& request, const Visitor& by)
{
  if (!accountsOn() || !by.known())
    return problem(403, "A language belongs to an account: log in first.");
  if (request.method() != http::verb::post)
    return problem(405, "Use POST.");
  LanguageBody body;
  const std::string fault = readBody(request.body(), body);
  if (!fault.empty())
    return problem(400, fault);
  const Status set = accounts_->setLanguage(by.account.id, body.language);
  if (!set.ok())
    return problem(statusOf(set.fault), set.error);
  // The account's logins held here answer /api/me with it from now on.
  book_.setLanguage(by.account.id, body.language);
  record(by, "language changed", 0, 0,
         jsonText(json{{"language", body.language.empty() ? json(nullptr) : json(body.language)}}));
  return replyJson(200, {{"ok", true}});
}

Response ConsoleGate::auditPage(const Request& request, const Visitor& by)
{
  if (request.method() != http::verb::get && request.method() != http::verb::head)
    return problem(405, "Use GET.");
  const std::string path = pathOf(request);
  // What was done before this read is in it: the queue written first, as
  // long as a request may wait.
  queue_->flush(kDefaultDeadlineMs / 1000.0);
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
