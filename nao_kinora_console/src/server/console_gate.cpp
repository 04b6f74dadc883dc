// Letting people in: the login session's cookie or a personal token checked
// from the header, the login page for everyone else, logging in and out.
#include "nao_kinora_console/server/console_gate.h"

#include "console_replies.h"

#include <ros/console.h>

#include <ctime>

namespace nao_kinora_console
{
namespace
{
const char* const kCookie = "kinora_session";

// Served in place of any page to someone not logged in: it needs nothing
// else from the console, and reloads the page asked for once logged in.
const char* const kLoginPage = R"(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>Log in - Session console</title>
<meta name="viewport" content="width=device-width, initial-scale=1">
<style>
body { font: 1.25rem sans-serif; margin: 0; padding: 1.5rem; color: #1a1a1a; }
form { max-width: 22rem; margin: 2rem auto; display: flex; flex-direction: column; gap: 0.75rem; }
input, button { font: inherit; padding: 0.7rem; border: 1px solid #888; border-radius: 0.4rem; }
button { background: #1f5fa8; color: white; border: none; min-height: 3rem; }
#why { color: #a01010; min-height: 1.5em; }
</style></head>
<body><form id="login">
<h1>Session console</h1>
<label for="name">Your name</label><input id="name" autocomplete="username" autocapitalize="none" required>
<label for="password">Your password</label>
<input id="password" type="password" autocomplete="current-password" required>
<button type="submit">Log in</button>
<p id="why" role="alert"></p>
</form>
<script>
document.getElementById('login').addEventListener('submit', function (e) {
  e.preventDefault();
  var why = document.getElementById('why');
  why.textContent = 'Checking...';
  fetch('/api/login', {method: 'POST', headers: {'Content-Type': 'application/json'},
    body: JSON.stringify({name: document.getElementById('name').value,
                          password: document.getElementById('password').value})})
    .then(function (r) { return r.json().then(function (b) { return {ok: r.ok, body: b}; }); })
    .then(function (r) { if (r.ok) location.reload(); else why.textContent = r.body.message; })
    .catch(function () { why.textContent = 'The console cannot be reached. Try again.'; });
});
</script></body></html>
)";

bool isPage(const std::string& path)
{
  return path == "/" || (path.size() > 5 && path.compare(path.size() - 5, 5, ".html") == 0);
}

std::string clockTime(double when)
{
  const std::time_t t = static_cast<std::time_t>(when);
  std::tm local;
  localtime_r(&t, &local);
  char text[8];
  std::strftime(text, sizeof text, "%H:%M", &local);
  return text;
}
}  // namespace

std::string sessionCookie(const std::string& secret, bool tls)
{
  return std::string(kCookie) + "=" + secret + "; Path=/; HttpOnly; SameSite=Strict" + (tls ? "; Secure" : "") +
         (secret.empty() ? "; Max-Age=0" : "");
}

std::string cookieValue(const std::string& header, const std::string& name)
{
  for (std::size_t at = 0; at < header.size();)
  {
    const std::size_t end = std::min(header.find(';', at), header.size());
    std::size_t start = header.find_first_not_of(' ', at);
    if (start < end && header.compare(start, name.size() + 1, name + "=") == 0)
      return header.substr(start + name.size() + 1, end - start - name.size() - 1);
    at = end + 1;
  }
  return "";
}

ConsoleGate::ConsoleGate(std::unique_ptr<SqlConnection> accountsDb, std::unique_ptr<SqlConnection> trailDb,
                         const std::string& room, double idleExpiry)
    : accountsDb_(std::move(accountsDb)), trailDb_(std::move(trailDb)), room_(room)
{
  accounts_.reset(new AccountStore(*accountsDb_, wallNow, idleExpiry));
  trail_.reset(new AuditTrail(*trailDb_, wallNow));
}

bool ConsoleGate::accountsOn()
{
  if (!accountsOn_)
  {
    const auto n = accounts_->accountCount();
    // An unreadable count lets no one in by the shared token alone.
    accountsOn_ = !n.ok() || n.value > 0;
  }
  return accountsOn_;
}

bool ConsoleGate::isOpen(const std::string& path)
{
  return path == "/api/login";
}

bool ConsoleGate::isAccountPath(const std::string& path)
{
  return path == "/api/login" || path == "/api/logout" || path == "/api/me" || path == "/api/accounts" ||
         path == "/api/accounts/disable" || path == "/api/audit" || path == "/api/tokens" ||
         path == "/api/tokens/revoke" || path == "/api/password" || path.compare(0, 19, "/api/audit/session/") == 0;
}

Visitor ConsoleGate::identify(const Request& head)
{
  Visitor v;
  if (!accountsOn())
  {
    v.known = true;  // the shared token, checked by the console
    return v;
  }
  const std::string auth(head[http::field::authorization]);
  Result<Account> found;
  if (auth.compare(0, 7, "Bearer ") == 0)
  {
    found = accounts_->tokenAccount(auth.substr(7));
    v.viaToken = true;
  }
  else
  {
    const std::string secret = cookieValue(std::string(head[http::field::cookie]), kCookie);
    found =
        secret.empty() ? Result<Account>::fail("none", Fault::kNotFound) : accounts_->sessionAccount(secret, &v.ended);
  }
  v.known = found.ok();
  v.account = found.value;
  return v;
}

bool ConsoleGate::refuse(const Request& head, Response& answer)
{
  const std::string path = pathOf(head);
  if (isOpen(path))
    return false;
  const Visitor v = identify(head);
  if (v.known)
    return false;
  if (head.method() == http::verb::get && isPage(path))
  {
    answer = reply(401, "");
    answer.set(http::field::content_type, "text/html; charset=utf-8");
    answer.body() = kLoginPage;
  }
  else
    // The pages say why, in words, with a login form in place.
    answer = replyJson(
        401, {{"ok", false},
              {"login", "ended"},
              {"reason", loginEndName(v.ended)},
              {"message", "Your login has ended (" + std::string(loginEndName(v.ended)) + "): log in again."}});
  answer.set(http::field::cache_control, "no-store");
  return true;
}

void ConsoleGate::record(const Visitor& by, const std::string& action, int64_t patientId, int64_t sessionId,
                         const std::string& detail)
{
  const auto kept = trail_->record({by.who(), room_, action, patientId, sessionId, detail});
  if (!kept.ok())
    ROS_ERROR("%s: %s was not recorded", kept.error.c_str(), action.c_str());
}

Response ConsoleGate::login(const Request& request, const RequestSource& from)
{
  const auto body = nlohmann::json::parse(request.body(), nullptr, false);
  if (!body.is_object() || !body.contains("name") || !body["name"].is_string() || !body.contains("password") ||
      !body["password"].is_string())
    return replyJson(400, {{"ok", false}, {"message", "Say {\"name\": ..., \"password\": ...}."}});
  const std::string name = body["name"];
  const auto in = accounts_->login(name, body["password"]);
  if (!in.ok())
    return replyJson(503, {{"ok", false}, {"message", "The accounts cannot be read now. Try again."}});
  Visitor who;
  who.account = in.value.account;
  if (in.value.outcome == LoginOutcome::kIn)
  {
    record(who, "login", 0, 0, "");
    Response answer =
        replyJson(200, {{"ok", true}, {"name", in.value.account.name}, {"role", roleName(in.value.account.role)}});
    answer.set(http::field::set_cookie, sessionCookie(in.value.secret, from.tls));
    return answer;
  }
  // The name as typed, for the admin to see who is being tried.
  record(who, "login failed", 0, 0,
         nlohmann::json{{"name", name.substr(0, 64)}}.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
  if (in.value.outcome == LoginOutcome::kLocked)
  {
    Response answer = replyJson(429, {{"ok", false},
                                      {"message", "Too many failed attempts for this name. Try again after " +
                                                      clockTime(in.value.lockedUntil) + ", or ask an admin."}});
    answer.set(http::field::retry_after, std::to_string(static_cast<long>(in.value.lockedUntil - wallNow()) + 1));
    return answer;
  }
  return replyJson(401, {{"ok", false}, {"message", "Wrong name or password."}});
}

Response ConsoleGate::logout(const Request& request, const RequestSource& from)
{
  const Visitor by = identify(request);
  const std::string secret = cookieValue(std::string(request[http::field::cookie]), kCookie);
  if (!secret.empty())
    accounts_->logout(secret);
  if (by.known && !by.viaToken)
    record(by, "logout", 0, 0, "");
  Response answer = replyJson(200, {{"ok", true}});
  answer.set(http::field::set_cookie, sessionCookie("", from.tls));
  return answer;
}

Response ConsoleGate::handle(const Request& request, const RequestSource& from)
{
  const std::string path = pathOf(request);
  const bool post = request.method() == http::verb::post;
  if (path == "/api/login")
    return post ? login(request, from) : replyJson(405, {{"ok", false}, {"message", "Log in with POST."}});
  if (path == "/api/logout")
    return post ? logout(request, from) : replyJson(405, {{"ok", false}, {"message", "Log out with POST."}});
  const Visitor by = identify(request);
  if (path == "/api/me")
    return replyJson(200, {{"accounts", accountsOn()},
                           {"name", by.who()},
                           {"role", by.known && accountsOn() ? roleName(by.account.role) : ""}});
  if (path.compare(0, 11, "/api/tokens") == 0)
    return tokens(request, by);
  if (path == "/api/password")
    return password(request, by);
  if (path.compare(0, 10, "/api/audit") == 0)
    return auditPage(request, by);
  return admin(request, by);
}
}  // namespace nao_kinora_console
