// Logging in and what proves it afterwards: login sessions with idle expiry
// and personal API tokens. The limits on failures are in login_limits.cpp.
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
  a.language = s.text(first + 5);
  return a;
}
}  // namespace

void AccountStore::usePasswordCheck(PasswordCheck check)
{
  std::lock_guard<std::mutex> hold(mutex_);
  passwordCheck_ = std::move(check);
}

Result<LoginReply> AccountStore::login(const std::string& name, const std::string& password, const std::string& address)
{
  const double now = clock_();
  // Any bytes may be typed: the failures and the trail keep them escaped. A
  // name no account may have is never looked up, but its password is still
  // checked, against the decoy.
  const std::string kept = keptName(name);
  const std::string key = lowerName(kept);
  const std::string from = addressKey(address);
  std::vector<LockEvent> ended;
  Result<LoginReply> reply;
  std::string hash;
  PasswordCheck check;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    check = passwordCheck_;
    const Status pruned = endExpiredLocks(now, ended);
    reply = pruned.ok() ? lockedNow(key, from, now) : Result<LoginReply>::failAs(pruned);
    Statement s(db_,
                "SELECT a.id, a.name, a.role, a.disabled, a.created, a.language, a.password FROM accounts a"
                " WHERE a.name_key = ?");
    if (reply.ok() && reply.value.outcome == LoginOutcome::kRefused && checkAccountName(name).empty() &&
        s.bind(1, key).step())
    {
      reply.value.account = accountAt(s, 0);
      hash = s.text(6);
    }
    if (!s.failure().ok())
      reply = failed<LoginReply>(s);
  }
  reply.value.locks = ended;
  if (!reply.ok() || reply.value.outcome != LoginOutcome::kRefused)
    return reply;  // refused unchecked: locked
  // Slow on purpose, so outside the lock: other requests go on meanwhile.
  const std::string& against = hash.empty() ? decoyHash() : hash;
  const bool matches = (check ? check(against, password) : passwordMatches(against, password)) && !hash.empty();
  reply.value.checked = true;
  std::lock_guard<std::mutex> hold(mutex_);
  if (!matches || reply.value.account.disabled)
  {
    const Account none;
    reply.value.account = none;
    const Status counted = countFailure(kept, key, from, now, reply.value, reply.value.locks);
    return counted.ok() ? reply : Result<LoginReply>::failAs(counted);
  }
  const std::string secret = randomSecret();
  Transaction t(db_);
  Statement clear(db_, "DELETE FROM login_failures WHERE name_key = ? AND address = ?");
  clear.bind(1, key).bind(2, from).run();
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

Result<Account> AccountStore::sessionAccount(const std::string& secret)
{
  const double now = clock_();
  const std::string hash = secretHash(secret);
  std::lock_guard<std::mutex> hold(mutex_);
  Result<Account> who;
  double lastUsed = 0;
  bool found = false;
  {
    // Read whole and closed before the write below: a read left open on a
    // file turns the write into "database is busy" under another writer.
    Statement s(db_,
                "SELECT a.id, a.name, a.role, a.disabled, a.created, a.language, s.last_used FROM login_sessions s"
                " JOIN accounts a ON a.id = s.account_id WHERE s.secret_hash = ?");
    found = s.bind(1, hash).step();
    if (!s.failure().ok())
      return failed<Account>(s);
    if (found)
    {
      who.value = accountAt(s, 0);
      lastUsed = s.real(6);
    }
  }
  if (!found || who.value.disabled)
    return Result<Account>::fail("not logged in", Fault::kNotFound);
  const bool idle = now - lastUsed > idleExpiry_;
  Statement touch(db_, idle ? "DELETE FROM login_sessions WHERE secret_hash = ?"
                            : "UPDATE login_sessions SET last_used = ? WHERE secret_hash = ?");
  if (!idle)
    touch.bind(1, now).bind(2, hash);
  else
    touch.bind(1, hash);
  if (idle)
  {
    touch.run();  // gone now or at the next look: it has expired either way
    return Result<Account>::fail("the login has expired", Fault::kNotFound);
  }
  // A login that was read is a login: a failed write of its last use is
  // made up for at the next one, and never logs anyone out.
  touch.run();
  return who;
}

Status AccountStore::logout(const std::string& secret)
{
  std::lock_guard<std::mutex> hold(mutex_);
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
              "SELECT a.id, a.name, a.role, a.disabled, a.created, a.language FROM api_tokens t"
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
