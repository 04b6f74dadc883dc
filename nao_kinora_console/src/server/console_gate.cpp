// Letting people in: the login session's cookie or a personal token checked
// from the header, the login page for everyone else, logging in and out.
#include "nao_kinora_console/server/console_gate.h"

#include "account_bodies.h"
#include "console_replies.h"

#include <ros/console.h>

#include <chrono>
#include <ctime>

namespace nao_kinora_console
{
namespace
{
const char* const kCookie = "kinora_session";

// Served in place of any page to someone not logged in: it needs nothing
// else from the console, and reloads the page asked for once logged in.
const char* const kLoginPage = R"(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>Log in — Session console</title>
<meta name="viewport" content="width=device-width, initial-scale=1">
<style>
body { font: 1.25rem sans-serif; margin: 0; padding: 1.5rem; color: #1a1a1a; }
form { max-width: 22rem; margin: 2rem auto; display: flex; flex-direction: column; gap: 0.75rem; }
input, button { font: inherit; padding: 0.7rem; border: 1px solid #888; border-radius: 0.4rem; }
button { background: #1f5fa8; color: white; border: none; min-height: 3rem; }
#why { color: #a01010; min-height: 1.5em; }
</style>
<script src="/lang/en.js"></script><script src="/lang/tr.js"></script><script src="/lang.js"></script></head>
<body><form id="login">
<h1>Session console</h1>
<label for="name">Your name</label><input id="name" autocomplete="username" autocapitalize="none" required>
<label for="password">Your password</label>
<input id="password" type="password" autocomplete="current-password" required>
<button type="submit">Log in</button>
<p id="why" role="alert"></p>
</form>
<script>
var T = window.T || function (text) { return text; };
document.getElementById('login').addEventListener('submit', function (e) {
  e.preventDefault();
  var why = document.getElementById('why');
  why.textContent = T('Checking…');
  fetch('/api/login', {method: 'POST', headers: {'Content-Type': 'application/json'},
    body: JSON.stringify({name: document.getElementById('name').value,
                          password: document.getElementById('password').value})})
    .then(function (r) { return r.json().then(function (b) { return {ok: r.ok, body: b}; }); })
    .then(function (r) {
      if (r.ok) location.reload();
      else why.textContent = window.KinoraI18n ? window.KinoraI18n.said(r.body.message) : r.body.message;
    })
    .catch(function () { why.textContent = T('The console cannot be reached. Try again.'); });
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

// The keeper's round: often enough that a login disabled or logged out on
// another console ends here within seconds.
const std::chrono::seconds kKeeperEvery(2);
const char* const kTokenPrefix = "kin_";

// What a page says when a login it had is over.
std::string endedWords(LoginEnd why)
{
  switch (why)
  {
    case LoginEnd::kLoggedOut:
      return "You were logged out. Log in again to go on.";
    case LoginEnd::kExpired:
      return "Your login ended after a time without use. Log in again to go on.";
    case LoginEnd::kDisabled:
      return "Your account was disabled by an admin.";
    case LoginEnd::kRevoked:
      return "This personal token was revoked.";
    case LoginEnd::kNone:
    case LoginEnd::kUnknown:
      break;
  }
  return "Log in first.";
}

// The login a request comes with: the secret's hash, and whether a token.
bool credentials(const Request& head, std::string& hash, bool& token)
{
  const std::string auth(head[http::field::authorization]);
  token = auth.compare(0, 7, "Bearer ") == 0;
  const std::string secret = token ? auth.substr(7) : cookieValue(std::string(head[http::field::cookie]), kCookie);
  if (secret.empty() || (token && secret.compare(0, 4, kTokenPrefix) != 0))
    return false;
  hash = secretHash(secret);
  return true;
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
                         const std::string& room, double idleExpiry, AccountStore::Clock clock)
    : accountsDb_(std::move(accountsDb)), trailDb_(std::move(trailDb)), book_(clock, idleExpiry), room_(room)
{
  accounts_.reset(new AccountStore(*accountsDb_, clock, idleExpiry));
  trail_.reset(new AuditTrail(*trailDb_, clock));
  queue_.reset(new AuditQueue(*trail_));
  // The locks an admin's change ends; a login's come with its reply.
  accounts_->onLockEvent([this](const LockEvent& e) { recordLock(e); });
  const auto n = accounts_->accountCount();
  // An unreadable count lets no one in by the shared token alone.
  accountsOn_ = !n.ok() || n.value > 0;
}

// A lock's beginning or end, as no one's (the console's own note).
void ConsoleGate::recordLock(const LockEvent& lock)
{
  const AuditEvent entry = lockEntry(lock, "", room_);
  record(Visitor(), entry.action, 0, 0, entry.detail);
}

ConsoleGate::~ConsoleGate()
{
  {
    std::lock_guard<std::mutex> hold(keeperMutex_);
    stopping_ = true;
  }
  keeperWake_.notify_all();
  if (keeperThread_.joinable())
    keeperThread_.join();
  queue_.reset();  // writes what it can, before the trail goes
}

void ConsoleGate::onEnded(EndedHook hook)
{
  std::lock_guard<std::mutex> hold(hookMutex_);
  endedHook_ = std::move(hook);
}

void ConsoleGate::start()
{
  keeperThread_ = std::thread([this] { keeper(); });
}

bool ConsoleGate::isOpen(const std::string& path)
{
  // The pages' words, for the login page in the browser's language: nothing of anyone's.
  const bool words = path == "/lang.js" || (path.compare(0, 6, "/lang/") == 0 && path.size() > 9 &&
                                            path.compare(path.size() - 3, 3, ".js") == 0);
  return path == "/api/login" || words;
}

bool ConsoleGate::isAccountPath(const std::string& path)
{
  return path == "/api/login" || path == "/api/logout" || path == "/api/me" || path == "/api/accounts" ||
         path == "/api/accounts/disable" || path == "/api/accounts/unlock" || path == "/api/accounts/password" ||
         path == "/api/audit" || path == "/api/tokens" || path == "/api/tokens/revoke" || path == "/api/password" ||
         path == "/api/language" || path.compare(0, 19, "/api/audit/session/") == 0;
}

Visitor ConsoleGate::identify(const Request& head)
{
  Visitor v;
  if (!accountsOn())
  {
    v.state = Visitor::kIn;  // the shared token, checked by the console
    return v;
  }
  if (!credentials(head, v.hash, v.viaToken))
    return v;
  const HeldLook look = book_.look(v.hash);
  v.state = look.kind == HeldLook::kIn      ? Visitor::kIn
            : look.kind == HeldLook::kEnded ? Visitor::kEnded
                                            : Visitor::kNotHeld;
  v.account = look.account;
  v.ended = look.why;
  if (look.justEnded)
  {
    ended({v.hash}, LoginEnd::kExpired);
    std::lock_guard<std::mutex> hold(keeperMutex_);
    logoutsToWrite_.push_back(v.hash);
  }
  return v;
}

Visitor ConsoleGate::resolve(const Request& head)
{
  Visitor v = identify(head);
  if (v.state != Visitor::kNotHeld)
    return v;
  std::string secret;
  const std::string auth(head[http::field::authorization]);
  secret = v.viaToken ? auth.substr(7) : cookieValue(std::string(head[http::field::cookie]), kCookie);
  const Result<Account> found = v.viaToken ? accounts_->tokenAccount(secret) : accounts_->sessionAccount(secret);
  if (found.ok())
  {
    book_.hold(v.hash, found.value, v.viaToken, wallNow());
    v.state = Visitor::kIn;
    v.account = found.value;
  }
  else if (found.fault == Fault::kNotFound)
  {
    book_.forget(v.hash, LoginEnd::kUnknown);
    v.state = Visitor::kEnded;
    v.ended = LoginEnd::kUnknown;
  }
  else
  {
    ROS_WARN_THROTTLE(10, "a login cannot be checked: %s", found.error.c_str());
    v.state = Visitor::kUnreadable;
  }
  return v;
}

Response ConsoleGate::refusal(const Request& head, const Visitor& visitor)
{
  const bool page = head.method() == http::verb::get && isPage(pathOf(head));
  Response answer;
  if (visitor.state == Visitor::kUnreadable)
  {
    const char* words = "The records cannot be read right now, so your login cannot be checked. Try again in a moment.";
    answer = page ? reply(503, words) : replyJson(503, {{"ok", false}, {"message", words}});
    answer.set(http::field::retry_after, "2");
  }
  else if (page)
  {
    answer = reply(401, "");
    answer.set(http::field::content_type, "text/html; charset=utf-8");
    std::string html = kLoginPage;
    // The page says why a login it had is over.
    const std::string why = visitor.state == Visitor::kEnded ? loginEndName(visitor.ended) : "none";
    const std::string body = "<body data-ended=\"" + why + "\">";
    html.replace(html.find("<body>"), 6, body);
    answer.body() = html;
  }
  else
    answer =
        replyJson(401, {{"ok", false},
                        {"login", "ended"},
                        {"reason", visitor.state == Visitor::kEnded ? loginEndName(visitor.ended) : "none"},
                        {"message", endedWords(visitor.state == Visitor::kEnded ? visitor.ended : LoginEnd::kNone)}});
  answer.set(http::field::cache_control, "no-store");
  return answer;
}

void ConsoleGate::record(const Visitor& by, const std::string& action, int64_t patientId, int64_t sessionId,
                         const std::string& detail, double at)
{
  AuditEvent e{by.who(), room_, action, patientId, sessionId, detail, at};
  queue_->record(std::move(e));
}

void ConsoleGate::ended(const std::vector<std::string>& hashes, LoginEnd why)
{
  if (hashes.empty())
    return;
  EndedHook hook;
  {
    std::lock_guard<std::mutex> hold(hookMutex_);
    hook = endedHook_;
  }
  if (hook)
    hook(hashes, why);
}

Response ConsoleGate::login(const Request& request, const RequestSource& from)
{
  LoginBody body;
  const std::string fault = readBody(request.body(), body);
  if (!fault.empty())
    return replyJson(400, {{"ok", false}, {"message", fault}});
  const auto in = accounts_->login(body.name, body.password, from.peer);
  if (!in.ok())
    return replyJson(503, {{"ok", false}, {"message", "The accounts cannot be read now. Try again."}});
  Visitor who;
  who.account = in.value.account;
  if (in.value.outcome == LoginOutcome::kIn)
  {
    book_.hold(secretHash(in.value.secret), in.value.account, false, wallNow());
    record(who, "login", 0, 0, "");
    for (const LockEvent& e : in.value.locks)
      recordLock(e);
    Response answer =
        replyJson(200, {{"ok", true}, {"name", in.value.account.name}, {"role", roleName(in.value.account.role)}});
    answer.set(http::field::set_cookie, sessionCookie(in.value.secret, from.tls));
    return answer;
  }
  // The name as typed (escaped), for the admin to see who is being tried;
  // tries refused unchecked while locked are counted on the lock instead.
  if (in.value.checked)
    record(who, "login failed", 0, 0,
           nlohmann::ordered_json({{"name", keptName(body.name)}, {"address", from.peer}}).dump());
  for (const LockEvent& e : in.value.locks)
    recordLock(e);
  if (in.value.outcome == LoginOutcome::kRefused)
    return replyJson(401, {{"ok", false}, {"message", "Wrong name or password."}});
  const std::string until = clockTime(in.value.lockedUntil);
  Response answer =
      replyJson(429, {{"ok", false},
                      {"message", in.value.outcome == LoginOutcome::kLocked
                                      ? "Too many failed attempts for this name from this device. Try again after " +
                                            until + ", or ask an admin to unlock it."
                                      : "Too many failed logins from this device. Try again after " + until + "."}});
  answer.set(http::field::retry_after, std::to_string(static_cast<long>(in.value.lockedUntil - wallNow()) + 1));
  return answer;
}

Response ConsoleGate::me(const Visitor& by)
{
  return replyJson(
      200, {{"accounts", accountsOn()},
            {"name", by.who()},
            {"role", by.known() && accountsOn() ? roleName(by.account.role) : ""},
            {"language", by.account.language.empty() ? nlohmann::json(nullptr) : nlohmann::json(by.account.language)}});
}

Response ConsoleGate::logout(const Request& request, const RequestSource& from, const Visitor& by)
{
  std::string hash;
  bool token = false;
  if (credentials(request, hash, token) && !token)
  {
    ended(book_.end(hash, LoginEnd::kLoggedOut), LoginEnd::kLoggedOut);
    {
      std::lock_guard<std::mutex> hold(keeperMutex_);
      logoutsToWrite_.push_back(hash);
    }
    keeperWake_.notify_all();
  }
  if (by.known() && !by.viaToken)
    record(by, "logout", 0, 0, "");
  Response answer = replyJson(200, {{"ok", true}});
  answer.set(http::field::set_cookie, sessionCookie("", from.tls));
  return answer;
}

Response ConsoleGate::handle(const Request& request, const Visitor& by)
{
  const std::string path = pathOf(request);
  if (path.compare(0, 11, "/api/tokens") == 0)
    return tokens(request, by);
  if (path == "/api/password")
    return password(request, by);
  if (path == "/api/language")
    return language(request, by);
  if (path.compare(0, 10, "/api/audit") == 0)
    return auditPage(request, by);
  return admin(request, by);
}

void ConsoleGate::recheckTokens(int64_t accountId)
{
  for (const HeldLogin& login : book_.held())
    if (login.token && login.account.id == accountId)
    {
      const auto standing = accounts_->loginStanding(login.hash, true);
      if (standing.ok() && standing.value != LoginStanding::kInUse)
        ended(book_.end(login.hash, LoginEnd::kRevoked), LoginEnd::kRevoked);
    }
}

void ConsoleGate::keeper()
{
  std::unique_lock<std::mutex> hold(keeperMutex_);
  while (!stopping_)
  {
    hold.unlock();
    keep();
    hold.lock();
    keeperWake_.wait_for(hold, kKeeperEvery, [this] { return stopping_ || !logoutsToWrite_.empty(); });
  }
}

// Every step stops at the first database fault: what it could not learn it
// learns at a later round, and a login is never ended for a fault.
void ConsoleGate::keep()
{
  if (!accountsOn_)
  {
    const auto n = accounts_->accountCount();
    if (n.ok() && n.value > 0)
      accountsOn_ = true;
  }
  std::vector<std::string> logouts;
  {
    std::lock_guard<std::mutex> hold(keeperMutex_);
    logouts.swap(logoutsToWrite_);
  }
  for (std::size_t i = 0; i < logouts.size(); ++i)
    if (!accounts_->endSession(logouts[i]).ok())
    {
      std::lock_guard<std::mutex> hold(keeperMutex_);
      logoutsToWrite_.insert(logoutsToWrite_.end(), logouts.begin() + i, logouts.end());
      return;
    }
  for (const HeldLogin& idle : book_.expire())
  {
    ended({idle.hash}, LoginEnd::kExpired);
    std::lock_guard<std::mutex> hold(keeperMutex_);
    logoutsToWrite_.push_back(idle.hash);
  }
  for (const HeldLogin& login : book_.held())
  {
    const auto standing = accounts_->loginStanding(login.hash, login.token);
    if (!standing.ok())
      return;
    const LoginEnd why = standing.value == LoginStanding::kGone       ? LoginEnd::kLoggedOut
                         : standing.value == LoginStanding::kDisabled ? LoginEnd::kDisabled
                         : standing.value == LoginStanding::kRevoked  ? LoginEnd::kRevoked
                                                                      : LoginEnd::kNone;
    if (why != LoginEnd::kNone)
      ended(book_.end(login.hash, why), why);
    else if (!login.token && login.lastUsed > login.lastWritten)
    {
      if (!accounts_->touchSession(login.hash, login.lastUsed).ok())
        return;
      book_.written(login.hash, login.lastUsed);
    }
  }
}
}  // namespace nao_kinora_console
