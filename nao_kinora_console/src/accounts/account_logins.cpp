// Logging in and what proves it afterwards: login sessions with idle expiry,
// the lock on a name after repeated failures, and personal API tokens.
#include "nao_kinora_console/accounts/account_store.h"

#include <sodium.h>

#include <algorithm>
#include <cctype>

namespace nao_kinora_console
{
namespace
{
const std::size_t kMaxLabelLength = 64;
const char* const kTokenPrefix = "kin_";  // tells a token from a session id where both may come

std::string lowerName(std::string s)
{
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

bool passwordMatches(const std::string& hash, const std::string& password)
{
  return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

// A name with no account is checked against this, so its reply takes as
// long as one for a name that has an account.
const std::string& decoyHash()
{
  static const std::string hash = []
  {
    const std::string password = randomSecret();
    char out[crypto_pwhash_STRBYTES];
    // Without memory for it, every name is refused unchecked.
    if (crypto_pwhash_str(out, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
      return std::string();
    return std::string(out);
  }();
  return hash;
}

Account accountAt(const Statement& s, int first)
{
  Account a;
  a.id = s.integer(first);
  a.name = s.text(first + 1);
  a.role = s.text(first + 2) == "admin" ? Role::kAdmin : Role::kTherapist;
  a.disabled = s.integer(first + 3) != 0;
  a.created = s.real(first + 4);
  return a;
}
}  // namespace

Result<LoginReply> AccountStore::login(const std::string& name, const std::string& password)
{
  const double now = clock_();
  const std::string key = lowerName(name);
  Result<LoginReply> reply;
  std::string hash;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    Statement lock(db_, "SELECT locked_until FROM login_failures WHERE name_key = ?");
    if (lock.bind(1, key).step() && lock.real(0) > now)
    {
      reply.value.outcome = LoginOutcome::kLocked;
      reply.value.lockedUntil = lock.real(0);
      return reply;
    }
    if (!lock.failure().ok())
      return failed<LoginReply>(lock);
    Statement s(db_,
                "SELECT a.id, a.name, a.role, a.disabled, a.created, a.password FROM accounts a"
                " WHERE a.name_key = ?");
    if (s.bind(1, key).step())
    {
      reply.value.account = accountAt(s, 0);
      hash = s.text(5);
    }
    if (!s.failure().ok())
      return failed<LoginReply>(s);
  }
  // Slow on purpose, so outside the lock: other requests go on meanwhile.
  const bool matches = passwordMatches(hash.empty() ? decoyHash() : hash, password) && !hash.empty();
  std::lock_guard<std::mutex> hold(mutex_);
  if (!matches || reply.value.account.disabled)
  {
    const Account none;
    reply.value.account = none;
    const Status counted = countFailure(key, now, reply.value.lockedUntil);
    if (!counted.ok())
      return Result<LoginReply>::failAs(counted);
    reply.value.outcome = reply.value.lockedUntil > now ? LoginOutcome::kLocked : LoginOutcome::kRefused;
    return reply;
  }
  const std::string secret = randomSecret();
  Transaction t(db_);
  Statement clear(db_, "DELETE FROM login_failures WHERE name_key = ?");
  clear.bind(1, key).run();
  Statement keep(db_, "INSERT INTO login_sessions(secret_hash, account_id, created, last_used) VALUES (?, ?, ?, ?)");
  keep.bind(1, secretHash(secret)).bind(2, reply.value.account.id).bind(3, now).bind(4, now).run();
  if (!clear.failure().ok())
    return failed<LoginReply>(clear);
  if (!keep.failure().ok())
    return failed<LoginReply>(keep);
  if (!t.commit().empty())
    return Result<LoginReply>::fail("accounts [" + db_.describe() + "]: " + t.error(), Fault::kDatabase);
  reply.value.outcome = LoginOutcome::kIn;
  reply.value.secret = secret;
  return reply;
}

// One more failure for the name; lockedUntil set when this one locks it.
Status AccountStore::countFailure(const std::string& key, double now, double& lockedUntil)
{
  Transaction t(db_);
  Statement read(db_, "SELECT failures, first_failure FROM login_failures WHERE name_key = ?");
  int64_t failures = 0;
  double first = now;
  const bool known = read.bind(1, key).step();
  if (known && now - read.real(1) < kFailureWindow)
  {
    failures = read.integer(0);
    first = read.real(1);
  }
  if (!read.failure().ok())
    return failed<bool>(read);
  ++failures;
  lockedUntil = failures >= kFailuresBeforeLock ? now + kLockTime : 0;
  if (lockedUntil > 0)
    failures = 0;  // the lock starts a new count when it ends
  Statement write(db_, known ? "UPDATE login_failures SET failures = ?, first_failure = ?, locked_until = ?"
                               " WHERE name_key = ?"
                             : "INSERT INTO login_failures(failures, first_failure, locked_until, name_key)"
                               " VALUES (?, ?, ?, ?)");
  if (!write.bind(1, failures).bind(2, first).bind(3, lockedUntil).bind(4, key).run().empty())
    return failed<bool>(write);
  if (!t.commit().empty())
    return Status::fail("accounts [" + db_.describe() + "]: " + t.error(), Fault::kDatabase);
  return done();
}

Status AccountStore::changePassword(int64_t accountId, const std::string& old, const std::string& fresh)
{
  std::string hash;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    Statement s(db_, "SELECT password FROM accounts WHERE id = ? AND disabled = 0");
    const bool found = s.bind(1, accountId).step();
    if (!s.failure().ok())
      return failed<bool>(s);
    if (!found)
      return Status::fail("no such account", Fault::kNotFound);
    hash = s.text(0);
  }
  // Checked outside the lock: a hash takes a while on purpose.
  if (!passwordMatches(hash, old))
    return Status::fail("Your present password is not the one given.", Fault::kConflict);
  return setPassword(accountId, fresh);
}

Result<Account> AccountStore::sessionAccount(const std::string& secret, LoginEnd* why)
{
  const double now = clock_();
  const std::string hash = secretHash(secret);
  std::lock_guard<std::mutex> hold(mutex_);
  Statement s(db_,
              "SELECT a.id, a.name, a.role, a.disabled, a.created, s.last_used FROM login_sessions s"
              " JOIN accounts a ON a.id = s.account_id WHERE s.secret_hash = ?");
  const bool found = s.bind(1, hash).step();
  if (!s.failure().ok())
    return failed<Account>(s);
  if (!found || s.integer(3) != 0)
  {
    const auto known = ended_.find(hash);
    if (why)
      *why = known == ended_.end() ? LoginEnd::kNone : known->second;
    return Result<Account>::fail("not logged in", Fault::kNotFound);
  }
  Result<Account> who;
  who.value = accountAt(s, 0);
  const bool idle = now - s.real(5) > idleExpiry_;
  Statement touch(db_, idle ? "DELETE FROM login_sessions WHERE secret_hash = ?"
                            : "UPDATE login_sessions SET last_used = ? WHERE secret_hash = ?");
  if (!idle)
    touch.bind(1, now).bind(2, hash);
  else
    touch.bind(1, hash);
  if (!touch.run().empty())
    return failed<Account>(touch);
  if (idle)
  {
    noteEnded(hash, LoginEnd::kExpired);
    if (why)
      *why = LoginEnd::kExpired;
    return Result<Account>::fail("the login has expired", Fault::kNotFound);
  }
  return who;
}

const char* loginEndName(LoginEnd why)
{
  switch (why)
  {
    case LoginEnd::kExpired:
      return "expired";
    case LoginEnd::kDisabled:
      return "disabled";
    case LoginEnd::kLoggedOut:
      return "logged out";
    default:
      return "none";
  }
}

void AccountStore::noteEnded(const std::string& hash, LoginEnd why)
{
  const std::size_t kMostRemembered = 10000;  // a console's logins of many days
  if (ended_.size() >= kMostRemembered)
    ended_.clear();
  ended_[hash] = why;
}

Status AccountStore::logout(const std::string& secret)
{
  std::lock_guard<std::mutex> hold(mutex_);
  noteEnded(secretHash(secret), LoginEnd::kLoggedOut);
  Statement s(db_, "DELETE FROM login_sessions WHERE secret_hash = ?");
  if (!s.bind(1, secretHash(secret)).run().empty())
    return failed<bool>(s);
  return done();
}

Result<std::pair<int64_t, std::string>> AccountStore::createToken(int64_t accountId, const std::string& label)
{
  using Made = Result<std::pair<int64_t, std::string>>;
  if (label.empty() || label.size() > kMaxLabelLength)
    return Made::fail("the token's label must be 1 to 64 characters");
  const std::string token = kTokenPrefix + randomSecret();
  std::lock_guard<std::mutex> hold(mutex_);
  Statement s(db_, "INSERT INTO api_tokens(account_id, label, secret_hash, created) VALUES (?, ?, ?, ?) RETURNING id");
  if (!s.bind(1, accountId).bind(2, label).bind(3, secretHash(token)).bind(4, clock_()).step())
    return s.failure().fault == SqlFault::kConstraint ? Made::fail("no such account", Fault::kNotFound)
                                                      : failed<std::pair<int64_t, std::string>>(s);
  Made made;
  made.value = {s.integer(0), token};
  return made;
}

Result<std::vector<ApiToken>> AccountStore::tokens(int64_t accountId)
{
  std::lock_guard<std::mutex> hold(mutex_);
  Statement s(db_, "SELECT id, label, created, revoked FROM api_tokens WHERE account_id = ? ORDER BY id");
  s.bind(1, accountId);
  Result<std::vector<ApiToken>> all;
  while (s.step())
    all.value.push_back({s.integer(0), s.text(1), s.real(2), s.isNull(3) ? 0 : s.real(3)});
  return s.failure().ok() ? all : failed<std::vector<ApiToken>>(s);
}

Status AccountStore::revokeToken(int64_t accountId, int64_t tokenId)
{
  std::lock_guard<std::mutex> hold(mutex_);
  Statement s(db_, "UPDATE api_tokens SET revoked = ? WHERE id = ? AND account_id = ? AND revoked IS NULL");
  if (!s.bind(1, clock_()).bind(2, tokenId).bind(3, accountId).run().empty())
    return failed<bool>(s);
  if (db_.changes() == 0)
    return Status::fail("no such token in use", Fault::kNotFound);
  return done();
}

Result<Account> AccountStore::tokenAccount(const std::string& token)
{
  if (token.compare(0, 4, kTokenPrefix) != 0)
    return Result<Account>::fail("not a token", Fault::kNotFound);
  std::lock_guard<std::mutex> hold(mutex_);
  Statement s(db_,
              "SELECT a.id, a.name, a.role, a.disabled, a.created FROM api_tokens t"
              " JOIN accounts a ON a.id = t.account_id"
              " WHERE t.secret_hash = ? AND t.revoked IS NULL AND a.disabled = 0");
  Result<Account> who;
  if (s.bind(1, secretHash(token)).step())
    who.value = accountAt(s, 0);
  else if (s.failure().ok())
    return Result<Account>::fail("no such token in use", Fault::kNotFound);
  return s.failure().ok() ? who : failed<Account>(s);
}
}  // namespace nao_kinora_console
