// Who is asking, for the console: with accounts, a request comes with a
// login session's cookie or a personal token (Authorization: Bearer) and
// everything else gets the login page; without accounts (none made yet) the
// console keeps its shared token. Also the account requests (/api/login,
// /api/logout, /api/me, the admin's /api/accounts and /api/audit, one's own
// /api/tokens) and the audit trail's entries of what each person did.
//
// Logins once checked are held in memory (LoginBook): identify() never waits
// on the database, so the controls never do. A login not held (after a
// restart) is looked up with resolve(), on a thread that may wait; a keeper
// thread writes their use back and brings news of them (logged out on another
// page, disabled, revoked) when the database answers, and nothing when it
// does not: a database fault never logs anyone out.
#ifndef NAO_KINORA_CONSOLE_CONSOLE_GATE_H
#define NAO_KINORA_CONSOLE_CONSOLE_GATE_H

#include "nao_kinora_console/accounts/account_store.h"
#include "nao_kinora_console/accounts/audit_trail.h"
#include "nao_kinora_console/http/http_session.h"
#include "nao_kinora_console/server/audit_queue.h"
#include "nao_kinora_console/server/login_book.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace nao_kinora_console
{
struct Visitor
{
  enum State
  {
    kIn,          // logged in or a token's; always with no accounts
    kNone,        // no login given
    kEnded,       // a login that is over: ended says why
    kNotHeld,     // a login this console does not hold: resolve() it
    kUnreadable,  // resolve() could not read the database
  };
  State state = kNone;
  bool viaToken = false;
  Account account;  // when in, with accounts
  LoginEnd ended = LoginEnd::kNone;
  std::string hash;  // the login's secret hash; "" without one
  bool known() const { return state == kIn; }
  std::string who() const { return account.name; }
};

class ConsoleGate
{
public:
  // Told of logins that ended (their hashes), from any thread: the console
  // closes their event streams.
  using EndedHook = std::function<void(const std::vector<std::string>& hashes, LoginEnd why)>;

  // The accounts and the trail each on a connection of their own to the
  // console's database; room: the console's, for the trail. Reads whether
  // any account exists before it returns (an unreadable count: accounts on).
  ConsoleGate(std::unique_ptr<SqlConnection> accountsDb, std::unique_ptr<SqlConnection> trailDb,
              const std::string& room, double idleExpiry = kDefaultIdleExpiry, AccountStore::Clock clock = wallNow);
  ~ConsoleGate();

  void onEnded(EndedHook hook);
  // Starts the keeper; call once, before serving.
  void start();

  // True once an account exists (accounts are disabled, never removed); from memory.
  bool accountsOn() const { return accountsOn_; }
  // From memory only: never waits.
  Visitor identify(const Request& head);
  // A visitor identify() left kNotHeld, looked up in the database (waits up
  // to its deadline): kIn, kEnded, or kUnreadable.
  Visitor resolve(const Request& head);
  // The paths let in without a login: logging in.
  static bool isOpen(const std::string& path);
  static bool isAccountPath(const std::string& path);
  // The answer to a request whose visitor is not let in: the login page for
  // a page, 401 saying why for the rest; 503 when the database could not say.
  static Response refusal(const Request& head, const Visitor& visitor);
  // /api/me and /api/logout: from memory, never waiting.
  Response me(const Visitor& by);
  Response logout(const Request& request, const RequestSource& from, const Visitor& by);
  // A login; waits on the database and a password check: on the password pool.
  Response login(const Request& request, const RequestSource& from);
  // The other account requests (accounts, tokens, the trail); on a worker.
  Response handle(const Request& request, const Visitor& by);

  // Recorded behind the request, in order, whatever the database does now.
  void record(const Visitor& by, const std::string& action, int64_t patientId, int64_t sessionId,
              const std::string& detail, double at = 0);
  AuditTrail& trail() { return *trail_; }
  AuditQueue& trailQueue() { return *queue_; }
  // One round of the keeper, now (tests drive it; the keeper runs it every 2 s).
  void keep();

private:
  Response admin(const Request& request, const Visitor& by);
  Response tokens(const Request& request, const Visitor& by);
  Response password(const Request& request, const Visitor& by);
  Response language(const Request& request, const Visitor& by);
  Response auditPage(const Request& request, const Visitor& by);
  void ended(const std::vector<std::string>& hashes, LoginEnd why);
  // The account's tokens held here, checked now (one was revoked).
  void recheckTokens(int64_t accountId);
  void keeper();
  void recordLock(const LockEvent& lock);

  std::unique_ptr<SqlConnection> accountsDb_;
  std::unique_ptr<SqlConnection> trailDb_;
  std::unique_ptr<AccountStore> accounts_;
  std::unique_ptr<AuditTrail> trail_;
  std::unique_ptr<AuditQueue> queue_;
  LoginBook book_;
  std::string room_;
  std::atomic<bool> accountsOn_{false};

  std::mutex hookMutex_;
  EndedHook endedHook_;
  std::mutex keeperMutex_;
  std::condition_variable keeperWake_;
  bool stopping_ = false;
  std::vector<std::string> logoutsToWrite_;  // ended here while the database was away
  std::thread keeperThread_;
};

// The login session's cookie: HttpOnly, SameSite=Strict, Secure under TLS.
std::string sessionCookie(const std::string& secret, bool tls);
// The cookie's value in a Cookie header, "" when absent.
std::string cookieValue(const std::string& header, const std::string& name);
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_CONSOLE_GATE_H
