// The console's people: therapists and admins who log in with a name and a
// password (Argon2id), their login sessions (idle expiry, logout), the limits
// on failed logins (per name and address, per address) and personal API
// tokens for scripts. Secrets (passwords, session ids, tokens) are stored only
// as hashes. Time comes from the clock given, so tests drive it.
//
//   AccountStore accounts(db, wallNow);
//   accounts.onLockEvent([&](const LockEvent& e) { trail.record(lockEntry(e, who, room)); });
//   accounts.addAccount("maria", "a long passphrase", Role::kAdmin);
//   const auto in = accounts.login("maria", "a long passphrase", "10.0.0.7");
//   if (in.ok() && in.value.outcome == LoginOutcome::kIn) setCookie(in.value.secret);
//   for (const LockEvent& e : in.value.locks) trail.record(lockEntry(e, "", room));
//   const auto who = accounts.sessionAccount(cookie);  // kNotFound: log in again
#ifndef NAO_KINORA_CONSOLE_ACCOUNT_STORE_H
#define NAO_KINORA_CONSOLE_ACCOUNT_STORE_H

#include "nao_kinora_console/accounts/audit_trail.h"
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
// audit trail, on either back end (the clinic schema's step to version 4).
SqlError addAccountTables(SqlConnection& db);
// Failures counted per name and address, and the locks they make (the step
// to version 5).
SqlError addLoginLimitTables(SqlConnection& db);
// The language each account reads the pages in, null: the browser's (the
// step to version 7).
SqlError addAccountLanguage(SqlConnection& db);

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
  std::string language;  // the pages' language ("tr", "en"); "": the browser's
};

enum class LoginOutcome
{
  kIn,             // secret holds the new session's id
  kRefused,        // wrong name or password, or a disabled account: said alike
  kLocked,         // too many failures for this name from this address; lockedUntil says till when
  kAddressLocked,  // too many failures from this address, whatever the names
};

// A lock on failed logins that began or ended, for the audit trail.
struct LockEvent
{
  bool began = false;
  std::string name;  // as tried, escaped (keptName); "" for an address's lock
  std::string address;
  int64_t count = 0;  // began: the failures that made it; ended: the tries refused while it held
  std::string why;    // how it ended: "expired", "unlocked", "disabled", "enabled", "password reset"
};

struct LoginReply
{
  LoginOutcome outcome = LoginOutcome::kRefused;
  Account account;     // when in
  std::string secret;  // the session id, given once
  double lockedUntil = 0;
  bool checked = false;  // the password was checked: false when refused unchecked while locked
  // The locks this login began, or found ended by time: for the caller to
  // record after the login's own entry (they are not told to onLockEvent).
  std::vector<LockEvent> locks;
};

// Where a login held in a console's memory stands in the database.
enum class LoginStanding
{
  kInUse,
  kGone,      // logged out (here or elsewhere), or expired
  kDisabled,  // its account is disabled
  kRevoked,   // a token revoked
};
// Its entry: "login locked" {"name", "failures", "address"}, "address locked"
// {"address", "failures"}, or "lock ended" {"name" (null for an address's),
// "address", "tries", "why"}; the detail a JSON object's text.
AuditEvent lockEntry(const LockEvent& lock, const std::string& who, const std::string& room);

// A name as tried, as the failures and the trail keep it: escaped
// (escapedText), at most 100 bytes (an account's is at most 64).
std::string keptName(const std::string& typed);

// An address as failures are counted: IPv4 as it is (also when mapped into
// IPv6), IPv6 by its /64 network, which one machine may fill.
std::string addressKey(const std::string& address);

struct ApiToken
{
  int64_t id = 0;
  std::string label;
  double created = 0;
  double revoked = 0;  // 0: in use
};

// The locks: 5 failed logins for one name (with or without an account) from
// one address within 15 minutes lock that name at that address for 15
// minutes: its owner logs in from another. 20 failed logins from one
// address, whatever the names, within 15 minutes lock the address for 15
// minutes. Logins while locked are refused unchecked and not counted as
// failures (only as tries); a login that succeeds clears its name's count at
// its address; failures older than 15 minutes are removed.
const int kFailuresBeforeLock = 5;
const int kAddressFailuresBeforeLock = 20;
const double kFailureWindow = 15 * 60;
const double kLockTime = 15 * 60;
const double kDefaultIdleExpiry = 30 * 60;

class AccountStore
{
public:
  using Clock = std::function<double()>;
  // Whether the password matches the stored hash; slow on purpose.
  using PasswordCheck = std::function<bool(const std::string& hash, const std::string& password)>;
  // db stays the caller's and is used from one thread at a time (the store
  // holds a lock while it uses it).
  AccountStore(SqlConnection& db, Clock clock, double idleExpiry = kDefaultIdleExpiry);

  // Told each lock that an admin's change ends, once the change is stored
  // (never while the store holds its lock); a login's come with its reply.
  void onLockEvent(std::function<void(const LockEvent&)> tell);
  // In place of Argon2id's own check (tests count the checks with it).
  void usePasswordCheck(PasswordCheck check);

  Result<int64_t> addAccount(const std::string& name, const std::string& password, Role role);
  // Also ends the locks on the account's name.
  Status setPassword(int64_t accountId, const std::string& password);
  // One's own password, given the present one (kConflict when it is not);
  // the new one is checked as any.
  Status changePassword(int64_t accountId, const std::string& old, const std::string& fresh);
  // The pages' language for the account; "": the browser's.
  Status setLanguage(int64_t accountId, const std::string& language);
  Status setRole(int64_t accountId, Role role);
  // A disabled account's sessions end; its tokens stop working. Either way
  // the locks on its name end.
  Status setDisabled(int64_t accountId, bool disabled);
  // Ends the locks on the account's name at every address; how many there were.
  Result<int64_t> unlock(int64_t accountId);
  // The accounts whose name is locked now at some address.
  Result<std::vector<int64_t>> lockedAccounts();
  Result<std::vector<Account>> accounts();
  Result<Account> account(int64_t accountId);
  Result<int64_t> accountCount();

  // name: any bytes, as typed; address: the client's (RequestSource::peer).
  Result<LoginReply> login(const std::string& name, const std::string& password, const std::string& address);
  // The session's account; kNotFound when it is unknown, idle past the
  // expiry (then ended) or its account disabled. Each use keeps it alive.
  Result<Account> sessionAccount(const std::string& secret);
  Status logout(const std::string& secret);

  // A new token for the account: its id and the token itself, given once.
  Result<std::pair<int64_t, std::string>> createToken(int64_t accountId, const std::string& label);
  Result<std::vector<ApiToken>> tokens(int64_t accountId);
  // Only the account's own token; kNotFound otherwise.
  Status revokeToken(int64_t accountId, int64_t tokenId);
  // The token's account; kNotFound when unknown, revoked or disabled.
  Result<Account> tokenAccount(const std::string& token);

  // For a console that holds logins in memory, by the secret's hash: where
  // one stands, its last use written (never moved back), an idle one removed.
  Result<LoginStanding> loginStanding(const std::string& hash, bool token);
  Status touchSession(const std::string& hash, double lastUsed);
  Status endSession(const std::string& hash);

private:
  template <class T>
  Result<T> failed(const Statement& s) const
  {
    return Result<T>::fail("accounts [" + db_.describe() + "]: " + s.error(), Fault::kDatabase);
  }
  Status update(const char* sql, const std::vector<SqlValue>& values, bool mustChange);
  // The lock-holding parts of a login and of the failure limits (login_limits.cpp).
  Status endExpiredLocks(double now, std::vector<LockEvent>& ended);
  Result<LoginReply> lockedNow(const std::string& key, const std::string& address, double now);
  Status countFailure(const std::string& name, const std::string& key, const std::string& address, double now,
                      LoginReply& reply, std::vector<LockEvent>& began);
  Status endNameLocks(int64_t accountId, const std::string& why, std::vector<LockEvent>& ended, int64_t* count);
  void tell(const std::vector<LockEvent>& events);

  SqlConnection& db_;
  Clock clock_;
  double idleExpiry_;
  std::mutex mutex_;
  std::function<void(const LockEvent&)> tellLock_;
  PasswordCheck passwordCheck_;
};

// A secret's stored form: SHA-256, in hex.
std::string secretHash(const std::string& secret);
// 32 random bytes in hex.
std::string randomSecret();
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_ACCOUNT_STORE_H
