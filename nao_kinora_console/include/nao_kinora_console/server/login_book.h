// Logins held in memory once checked: what lets a request in without asking
// the database, so a database that is down or hung never logs anyone out and
// never holds up the controls. The database stays the durable copy: a login
// not held here (after a restart) is looked up there once, and a keeper
// brings news of it (logged out elsewhere, disabled, revoked) when it can.
// Time comes from the clock given, so tests drive it.
//
//   LoginBook book(wallNow, 30 * 60);
//   book.hold(hash, account, false);
//   const HeldLook look = book.look(hash);  // kIn: look.account; kEnded: look.why
#ifndef NAO_KINORA_CONSOLE_LOGIN_BOOK_H
#define NAO_KINORA_CONSOLE_LOGIN_BOOK_H

#include "nao_kinora_console/accounts/account_store.h"

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace nao_kinora_console
{
// Why a login is over, as the pages say it.
enum class LoginEnd
{
  kNone,       // not over
  kLoggedOut,  // here or on another page
  kExpired,    // unused for longer than the idle expiry
  kDisabled,   // an admin disabled the account
  kRevoked,    // a personal token revoked
  kUnknown,    // never was a login (or forgotten long ago)
};
// "logged out", "expired", "disabled", "revoked", "none".
const char* loginEndName(LoginEnd why);

struct HeldLook
{
  enum Kind
  {
    kIn,       // account is the login's
    kEnded,    // why says why
    kNotHeld,  // the database must be asked
  };
  Kind kind = kNotHeld;
  Account account;
  LoginEnd why = LoginEnd::kNone;
  bool justEnded = false;  // this look ended it (idle expiry)
};

// A login as the keeper checks it against the database.
struct HeldLogin
{
  std::string hash;  // the secret's SHA-256, as stored
  Account account;
  bool token = false;
  double lastUsed = 0;
  double lastWritten = 0;  // lastUsed as the database last had it
};

class LoginBook
{
public:
  using Clock = std::function<double()>;
  LoginBook(Clock clock, double idleExpiry);

  // The login of a secret's hash; a login found is kept alive. A session
  // unused for longer than the idle expiry ends here (kEnded, kExpired).
  HeldLook look(const std::string& hash);
  // A login checked against the database (or just made).
  void hold(const std::string& hash, const Account& account, bool token, double lastUsed);
  // A login found not to exist, remembered so that it is not asked for again
  // and again (a stale cookie), for a while.
  void forget(const std::string& hash, LoginEnd why);
  // Ends one login, or every login of an account; the ended ones' hashes.
  std::vector<std::string> end(const std::string& hash, LoginEnd why);
  std::vector<std::string> endAccount(int64_t accountId, LoginEnd why);
  // The idle sessions ended now, as (hash, account id).
  std::vector<HeldLogin> expire();
  // Every login held, for the keeper.
  std::vector<HeldLogin> held() const;
  // An account's language changed: its logins held here say so.
  void setLanguage(int64_t accountId, const std::string& language);
  // The keeper wrote lastUsed up to this value.
  void written(const std::string& hash, double lastUsed);

private:
  struct Ended
  {
    LoginEnd why;
    double at;
  };
  void trimEnded(double now);

  Clock clock_;
  double idleExpiry_;
  mutable std::mutex mutex_;
  std::map<std::string, HeldLogin> held_;
  std::map<std::string, Ended> ended_;
};
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_LOGIN_BOOK_H
