// Who is asking, for the console: with accounts, a request comes with a
// login session's cookie or a personal token (Authorization: Bearer) and
// everything else gets the login page; without accounts (none made yet) the
// console keeps its shared token. Also the account requests (/api/login,
// /api/logout, /api/me, the admin's /api/accounts and /api/audit, one's own
// /api/tokens) and the audit trail's entries of what each person did.
#ifndef NAO_KINORA_CONSOLE_CONSOLE_GATE_H
#define NAO_KINORA_CONSOLE_CONSOLE_GATE_H

#include "nao_kinora_console/http/http_session.h"
#include "nao_kinora_console/accounts/account_store.h"
#include "nao_kinora_console/accounts/audit_trail.h"

#include <atomic>
#include <memory>
#include <string>

namespace nao_kinora_console
{
struct Visitor
{
  bool known = false;  // logged in or a token's; always with no accounts
  bool viaToken = false;
  Account account;                   // when known with accounts
  LoginEnd ended = LoginEnd::kNone;  // when not known: why its login is no more
  std::string who() const { return account.name; }
};

class ConsoleGate
{
public:
  // The accounts and the trail each on a connection of their own to the
  // console's database; room: the console's, for the trail.
  ConsoleGate(std::unique_ptr<SqlConnection> accountsDb, std::unique_ptr<SqlConnection> trailDb,
              const std::string& room, double idleExpiry = kDefaultIdleExpiry);

  // True once an account exists (accounts are disabled, never removed).
  bool accountsOn();
  Visitor identify(const Request& head);
  // The paths let in without a login: logging in.
  static bool isOpen(const std::string& path);
  static bool isAccountPath(const std::string& path);
  // Refused from the header: not logged in (the login page for a page, 401
  // for the rest). False when the request may go on.
  bool refuse(const Request& head, Response& answer);
  // An account request (isAccountPath), answered in full; run on a worker
  // (a login hashes its password: slow on purpose).
  Response handle(const Request& request, const RequestSource& from);

  void record(const Visitor& by, const std::string& action, int64_t patientId, int64_t sessionId,
              const std::string& detail);
  AuditTrail& trail() { return *trail_; }

private:
  Response login(const Request& request, const RequestSource& from);
  Response logout(const Request& request, const RequestSource& from);
  Response admin(const Request& request, const Visitor& by);
  Response tokens(const Request& request, const Visitor& by);
  Response password(const Request& request, const Visitor& by);
  Response auditPage(const Request& request, const Visitor& by);

  std::unique_ptr<SqlConnection> accountsDb_;
  std::unique_ptr<SqlConnection> trailDb_;
  std::unique_ptr<AccountStore> accounts_;
  std::unique_ptr<AuditTrail> trail_;
  std::string room_;
  std::atomic<bool> accountsOn_{false};
};

// The login session's cookie: HttpOnly, SameSite=Strict, Secure under TLS.
std::string sessionCookie(const std::string& secret, bool tls);
// The cookie's value in a Cookie header, "" when absent.
std::string cookieValue(const std::string& header, const std::string& name);
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_CONSOLE_GATE_H
