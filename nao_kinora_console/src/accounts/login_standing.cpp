// What the console's memory of logins is checked against: whether a login is
// still in use, its last use written, an idle one removed.
#include "nao_kinora_console/accounts/account_store.h"

namespace nao_kinora_console
{
Result<LoginStanding> AccountStore::loginStanding(const std::string& hash, bool token)
{
  std::lock_guard<std::mutex> hold(mutex_);
  Statement s(db_, token ? "SELECT a.disabled, t.revoked FROM api_tokens t JOIN accounts a ON a.id = t.account_id"
                           " WHERE t.secret_hash = ?"
                         : "SELECT a.disabled, NULL FROM login_sessions s JOIN accounts a ON a.id = s.account_id"
                           " WHERE s.secret_hash = ?");
  Result<LoginStanding> standing;
  if (!s.bind(1, hash).step())
    standing.value = LoginStanding::kGone;
  else if (s.integer(0) != 0)
    standing.value = LoginStanding::kDisabled;
  else if (!s.isNull(1))
    standing.value = LoginStanding::kRevoked;
  else
    standing.value = LoginStanding::kInUse;
  return s.failure().ok() ? standing : failed<LoginStanding>(s);
}

Status AccountStore::touchSession(const std::string& hash, double lastUsed)
{
  std::lock_guard<std::mutex> hold(mutex_);
  Statement s(db_, "UPDATE login_sessions SET last_used = ? WHERE secret_hash = ? AND last_used < ?");
  if (!s.bind(1, lastUsed).bind(2, hash).bind(3, lastUsed).run().empty())
    return failed<bool>(s);
  return done();
}

Status AccountStore::endSession(const std::string& hash)
{
  std::lock_guard<std::mutex> hold(mutex_);
  Statement s(db_, "DELETE FROM login_sessions WHERE secret_hash = ?");
  if (!s.bind(1, hash).run().empty())
    return failed<bool>(s);
  return done();
}
}  // namespace nao_kinora_console
