// The console's people: therapists and admins who log in with a name and a
// password (Argon2id), their login sessions (idle expiry, logout), the lock
// on a name after repeated failures, and personal API tokens for scripts.
// Secrets (passwords, session ids, tokens) are stored only as hashes. Time
// comes from the clock given, so tests drive it.
//
//   AccountStore accounts(db, wallNow);
//   accounts.addAccount("maria", "a long passphrase", Role::kAdmin);
//   const auto in = accounts.login("maria", "a long passphrase");
//   if (in.ok() && in.value.outcome == LoginOutcome::kIn) setCookie(in.value.secret);
//   const auto who = accounts.sessionAccount(cookie);  // kNotFound: log in again
#ifndef NAO_KINORA_CONSOLE_ACCOUNT_STORE_H
#define NAO_KINORA_CONSOLE_ACCOUNT_STORE_H

#include "nao_kinora_console/db/store_result.h"
#include "nao_kinora_console/db/sql_connection.h"

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace nao_kinora_console
{
// Makes the tables of accounts, login sessions, failures, tokens and the
// audit trail, on either back end (a step of the clinic schema's migrations).
SqlError addAccountTables(SqlConnection& db);

enum class Role
{
  kTherapist,
  kAdmin
};
const char* roleName(Role role);  // "therapist", "admin"

// A name: 1 to 64 letters, digits, '.', '-' or '_'; unique without case.
std::string checkAccountName(const std::string& name);
// A password: at least 10 characters (bytes of UTF-8 counted as characters
// they make), at most 200 bytes; nothing else is asked of it.
const std::size_t kMinPasswordLength = 10;
std::string checkPassword(const std::string& password);

struct Account
{
  int64_t id = 0;
  std::string name;
  Role role = Role::kTherapist;
  bool disabled = false;
  double created = 0;
};

enum class LoginOutcome
{
  kIn,       // secret holds the new session's id
  kRefused,  // wrong name or password, or a disabled account: said alike
  kLocked,   // too many failures for this name; lockedUntil says till when
};

struct LoginReply
{
  LoginOutcome outcome = LoginOutcome::kRefused;
  Account account;     // when in
  std::string secret;  // the session id, given once
  double lockedUntil = 0;
};

// Why a login session is no more, as far as this store saw it end.
enum class LoginEnd
{
  kNone,       // no login, or one this store never saw end
  kExpired,    // unused past the idle expiry
  kDisabled,   // its account was disabled
  kLoggedOut,  // logged out
};
const char* loginEndName(LoginEnd why);  // "none", "expired", "disabled", "logged out"

struct ApiToken
{
  int64_t id = 0;
  std::string label;
  double created = 0;
  double revoked = 0;  // 0: in use
};

// The lock: 5 failed logins for one name (with or without an account) within
// 15 minutes of the first of them lock the name for 15 minutes from the
// fifth. Logins while locked are refused unchecked and not counted; a login
// that succeeds clears the count.
const int kFailuresBeforeLock = 5;
const double kFailureWindow = 15 * 60;
const double kLockTime = 15 * 60;
const double kDefaultIdleExpiry = 30 * 60;

class AccountStore
{
public:
  using Clock = std::function<double()>;
  // db stays the caller's and is used from one thread at a time (the store
  // holds a lock while it uses it).
  AccountStore(SqlConnection& db, Clock clock, double idleExpiry = kDefaultIdleExpiry);

  Result<int64_t> addAccount(const std::string& name, const std::string& password, Role role);
  Status setPassword(int64_t accountId, const std::string& password);
  // One's own password, given the present one (kConflict when it is not);
  // the new one is checked as any.
  Status changePassword(int64_t accountId, const std::string& old, const std::string& fresh);
  Status setRole(int64_t accountId, Role role);
  // A disabled account's sessions end; its tokens stop working.
  Status setDisabled(int64_t accountId, bool disabled);
  Result<std::vector<Account>> accounts();
  Result<Account> account(int64_t accountId);
  Result<int64_t> accountCount();

  Result<LoginReply> login(const std::string& name, const std::string& password);
  // The session's account; kNotFound when it is unknown, idle past the
  // expiry (then ended) or its account disabled. Each use keeps it alive.
  // why, when given, says why a session is not found.
  Result<Account> sessionAccount(const std::string& secret, LoginEnd* why = nullptr);
  Status logout(const std::string& secret);

  // A new token for the account: its id and the token itself, given once.
  Result<std::pair<int64_t, std::string>> createToken(int64_t accountId, const std::string& label);
  Result<std::vector<ApiToken>> tokens(int64_t accountId);
  // Only the account's own token; kNotFound otherwise.
  Status revokeToken(int64_t accountId, int64_t tokenId);
  // The token's account; kNotFound when unknown, revoked or disabled.
  Result<Account> tokenAccount(const std::string& token);

private:
  template <class T>
  Result<T> failed(const Statement& s) const
  {
    return Result<T>::fail("accounts [" + db_.describe() + "]: " + s.error(), Fault::kDatabase);
  }
  Status countFailure(const std::string& key, double now, double& lockedUntil);
  Status update(const char* sql, const std::vector<SqlValue>& values, bool mustChange);

  // Notes why the session of this hash ended (a bounded memory, for the pages' words).
  void noteEnded(const std::string& hash, LoginEnd why);

  SqlConnection& db_;
  Clock clock_;
  double idleExpiry_;
  std::mutex mutex_;
  std::map<std::string, LoginEnd> ended_;  // by the session's hash, under mutex_
};

// A secret's stored form: SHA-256, in hex.
std::string secretHash(const std::string& secret);
// 32 random bytes in hex.
std::string randomSecret();
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_ACCOUNT_STORE_H
