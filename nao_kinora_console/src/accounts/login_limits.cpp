// The limits on failed logins (see kFailuresBeforeLock): failures counted per
// name and address and per address, the locks they make, the tries refused
// while one holds, and the locks ended by time or by an admin. Each lock's
// beginning and end is told once, for the trail, however many tries it saw.
#include "nao_kinora_console/accounts/account_store.h"

#include "nao_kinora_console/accounts/untrusted_text.h"

#include <arpa/inet.h>
#include <nlohmann/json.hpp>

#include <algorithm>

namespace nao_kinora_console
{
namespace
{
const std::size_t kMaxKeptName = 100;
const char* const kNameScope = "name";
const char* const kAddressScope = "address";
// What a lock's row gives back as it is removed.
const char* const kEndedColumns = " RETURNING scope, name, address, tries";

LockEvent endedAt(const Statement& s, const std::string& why)
{
  LockEvent e;
  e.name = s.text(0) == kAddressScope ? "" : s.text(1);
  e.address = s.text(2);
  e.count = s.integer(3);
  e.why = why;
  return e;
}
}  // namespace

std::string keptName(const std::string& typed)
{
  return escapedText(typed, kMaxKeptName);
}

std::string addressKey(const std::string& address)
{
  in6_addr v6;
  char text[INET6_ADDRSTRLEN];
  if (inet_pton(AF_INET6, address.c_str(), &v6) != 1 || IN6_IS_ADDR_LOOPBACK(&v6))
    return address;
  if (IN6_IS_ADDR_V4MAPPED(&v6))
    return inet_ntop(AF_INET, &v6.s6_addr[12], text, sizeof text) ? text : address;
  std::fill(v6.s6_addr + 8, v6.s6_addr + 16, 0);
  return inet_ntop(AF_INET6, &v6, text, sizeof text) ? std::string(text) + "/64" : address;
}

AuditEvent lockEntry(const LockEvent& lock, const std::string& who, const std::string& room)
{
  using nlohmann::ordered_json;
  ordered_json detail;
  std::string action = "lock ended";
  if (lock.began && lock.name.empty())
  {
    action = "address locked";
    detail = {{"address", lock.address}, {"failures", lock.count}};
  }
  else if (lock.began)
  {
    action = "login locked";
    detail = {{"name", lock.name}, {"failures", lock.count}, {"address", lock.address}};
  }
  else
    detail = {{"name", lock.name.empty() ? ordered_json() : ordered_json(lock.name)},
              {"address", lock.address},
              {"tries", lock.count},
              {"why", lock.why}};
  return {who, room, action, 0, 0, detail.dump()};
}

void AccountStore::onLockEvent(std::function<void(const LockEvent&)> tell)
{
  std::lock_guard<std::mutex> hold(mutex_);
  tellLock_ = std::move(tell);
}

void AccountStore::tell(const std::vector<LockEvent>& events)
{
  std::function<void(const LockEvent&)> told;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    told = tellLock_;
  }
  for (const LockEvent& e : events)
    if (told)
      told(e);
}

// Failures past the window are removed; locks past their time end.
Status AccountStore::endExpiredLocks(double now, std::vector<LockEvent>& ended)
{
  Statement old(db_, "DELETE FROM login_failures WHERE at <= ?");
  if (!old.bind(1, now - kFailureWindow).run().empty())
    return failed<bool>(old);
  // Removed and read at once: of two consoles, one tells each lock's end.
  Statement gone(db_, std::string("DELETE FROM login_locks WHERE locked_until <= ?") + kEndedColumns);
  gone.bind(1, now);
  while (gone.step())
    ended.push_back(endedAt(gone, "expired"));
  return gone.failure().ok() ? done() : failed<bool>(gone);
}

// kRefused when neither the address nor the name at it is locked; else the
// lock, with this try counted on it.
Result<LoginReply> AccountStore::lockedNow(const std::string& key, const std::string& address, double now)
{
  Result<LoginReply> reply;
  for (const char* scope : {kAddressScope, kNameScope})
  {
    Statement s(db_,
                "UPDATE login_locks SET tries = tries + 1"
                " WHERE scope = ? AND name_key = ? AND address = ? AND locked_until > ? RETURNING locked_until");
    const std::string name = scope == kAddressScope ? "" : key;
    if (s.bind(1, std::string(scope)).bind(2, name).bind(3, address).bind(4, now).step())
    {
      reply.value.outcome = scope == kAddressScope ? LoginOutcome::kAddressLocked : LoginOutcome::kLocked;
      reply.value.lockedUntil = s.real(0);
      return reply;
    }
    if (!s.failure().ok())
      return failed<LoginReply>(s);
  }
  return reply;
}

// One more failure of the name at the address; a lock when it is one too many
// for the name there or for the address (added to began, once stored). The
// lock starts a new count when it ends.
Status AccountStore::countFailure(const std::string& name, const std::string& key, const std::string& address,
                                  double now, LoginReply& reply, std::vector<LockEvent>& began)
{
  const std::size_t told = began.size();
  Transaction t(db_);
  Statement add(db_, "INSERT INTO login_failures(name_key, address, at) VALUES (?, ?, ?)");
  add.bind(1, key).bind(2, address).bind(3, now).run();
  Statement pair(db_, "SELECT count(*) FROM login_failures WHERE address = ? AND name_key = ?");
  const int64_t forName = pair.bind(1, address).bind(2, key).step() ? pair.integer(0) : 0;
  Statement all(db_, "SELECT count(*) FROM login_failures WHERE address = ?");
  const int64_t fromAddress = all.bind(1, address).step() ? all.integer(0) : 0;
  for (const Statement* s : {&add, &pair, &all})
    if (!s->failure().ok())
      return failed<bool>(*s);
  pair.reset();
  all.reset();
  reply.outcome = LoginOutcome::kRefused;
  const struct
  {
    bool over;
    const char* scope;
    std::string key, name;
    int64_t count;
    LoginOutcome outcome;
  } locks[] = {
      {forName >= kFailuresBeforeLock, kNameScope, key, name, forName, LoginOutcome::kLocked},
      {fromAddress >= kAddressFailuresBeforeLock, kAddressScope, "", "", fromAddress, LoginOutcome::kAddressLocked},
  };
  for (const auto& lock : locks)
  {
    if (!lock.over)
      continue;
    Statement make(db_,
                   "INSERT INTO login_locks(scope, name_key, address, name, failures, locked_until, tries)"
                   " VALUES (?, ?, ?, ?, ?, ?, 0) ON CONFLICT (scope, name_key, address) DO UPDATE SET"
                   " name = excluded.name, failures = excluded.failures, locked_until = excluded.locked_until,"
                   " tries = 0");
    make.bind(1, std::string(lock.scope)).bind(2, lock.key).bind(3, address).bind(4, lock.name);
    make.bind(5, lock.count).bind(6, now + kLockTime).run();
    const bool ofName = lock.scope == kNameScope;
    Statement clear(db_, ofName ? "DELETE FROM login_failures WHERE address = ? AND name_key = ?"
                                : "DELETE FROM login_failures WHERE address = ?");
    clear.bind(1, address);
    if (ofName)
      clear.bind(2, key);
    clear.run();
    if (!make.failure().ok() || !clear.failure().ok())
      return failed<bool>(make.failure().ok() ? clear : make);
    reply.outcome = lock.outcome;
    reply.lockedUntil = now + kLockTime;
    LockEvent e;
    e.began = true;
    e.name = lock.name;
    e.address = address;
    e.count = lock.count;
    began.push_back(e);
  }
  if (!t.commit().empty())
  {
    began.resize(told);
    return Status::fail("accounts [" + db_.describe() + "]: " + t.error(), Fault::kDatabase);
  }
  return done();
}

// The locks on the account's name at every address end, and its count starts anew.
Status AccountStore::endNameLocks(int64_t accountId, const std::string& why, std::vector<LockEvent>& ended,
                                  int64_t* count)
{
  std::string key;
  {
    Statement s(db_, "SELECT name_key FROM accounts WHERE id = ?");
    if (!s.bind(1, accountId).step())
      return s.failure().ok() ? Status::fail("no such account", Fault::kNotFound) : failed<bool>(s);
    key = s.text(0);
  }
  Statement gone(db_, std::string("DELETE FROM login_locks WHERE scope = 'name' AND name_key = ?") + kEndedColumns);
  gone.bind(1, key);
  const std::size_t before = ended.size();
  while (gone.step())
    ended.push_back(endedAt(gone, why));
  if (!gone.failure().ok())
    return failed<bool>(gone);
  Statement failures(db_, "DELETE FROM login_failures WHERE name_key = ?");
  if (!failures.bind(1, key).run().empty())
    return failed<bool>(failures);
  if (count)
    *count = static_cast<int64_t>(ended.size() - before);
  return done();
}

Result<int64_t> AccountStore::unlock(int64_t accountId)
{
  std::vector<LockEvent> ended;
  Result<int64_t> count;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    Transaction t(db_);
    const Status cleared = endNameLocks(accountId, "unlocked", ended, &count.value);
    if (!cleared.ok())
      return Result<int64_t>::failAs(cleared);
    if (!t.commit().empty())
      return Result<int64_t>::fail("accounts [" + db_.describe() + "]: " + t.error(), Fault::kDatabase);
  }
  tell(ended);
  return count;
}

Result<std::vector<int64_t>> AccountStore::lockedAccounts()
{
  const double now = clock_();
  std::lock_guard<std::mutex> hold(mutex_);
  Statement s(db_,
              "SELECT DISTINCT a.id FROM login_locks l JOIN accounts a ON a.name_key = l.name_key"
              " WHERE l.scope = 'name' AND l.locked_until > ? ORDER BY a.id");
  s.bind(1, now);
  Result<std::vector<int64_t>> ids;
  while (s.step())
    ids.value.push_back(s.integer(0));
  return s.failure().ok() ? ids : failed<std::vector<int64_t>>(s);
}
}  // namespace nao_kinora_console
