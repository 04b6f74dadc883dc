// Logins held in memory: looked up, kept alive and ended without the database.
#include "nao_kinora_console/server/login_book.h"

namespace nao_kinora_console
{
namespace
{
// An ended login's reason is kept this long, for the page that still has its
// cookie; and at most this many, so a flood of made-up cookies cannot grow it.
const double kEndedKept = 12 * 3600;
const std::size_t kMaxEnded = 4096;
}  // namespace

const char* loginEndName(LoginEnd why)
{
  switch (why)
  {
    case LoginEnd::kLoggedOut:
      return "logged out";
    case LoginEnd::kExpired:
      return "expired";
    case LoginEnd::kDisabled:
      return "disabled";
    case LoginEnd::kRevoked:
      return "revoked";
    case LoginEnd::kNone:
    case LoginEnd::kUnknown:
      break;
  }
  return "none";
}

LoginBook::LoginBook(Clock clock, double idleExpiry) : clock_(std::move(clock)), idleExpiry_(idleExpiry) {}

HeldLook LoginBook::look(const std::string& hash)
{
  const double now = clock_();
  std::lock_guard<std::mutex> hold(mutex_);
  HeldLook look;
  const auto found = held_.find(hash);
  if (found != held_.end())
  {
    HeldLogin& login = found->second;
    if (!login.token && now - login.lastUsed > idleExpiry_)
    {
      // The keeper removes it from the database at its next round.
      ended_[hash] = {LoginEnd::kExpired, now};
      held_.erase(found);
      look.kind = HeldLook::kEnded;
      look.why = LoginEnd::kExpired;
      look.justEnded = true;
      return look;
    }
    login.lastUsed = now;
    look.kind = HeldLook::kIn;
    look.account = login.account;
    return look;
  }
  const auto over = ended_.find(hash);
  if (over != ended_.end())
  {
    look.kind = HeldLook::kEnded;
    look.why = over->second.why;
  }
  return look;
}

void LoginBook::hold(const std::string& hash, const Account& account, bool token, double lastUsed)
{
  std::lock_guard<std::mutex> hold(mutex_);
  ended_.erase(hash);
  HeldLogin& login = held_[hash];
  login.hash = hash;
  login.account = account;
  login.token = token;
  login.lastUsed = std::max(login.lastUsed, lastUsed);
  login.lastWritten = lastUsed;
}

void LoginBook::forget(const std::string& hash, LoginEnd why)
{
  const double now = clock_();
  std::lock_guard<std::mutex> hold(mutex_);
  held_.erase(hash);
  trimEnded(now);
  ended_[hash] = {why, now};
}

std::vector<std::string> LoginBook::end(const std::string& hash, LoginEnd why)
{
  const double now = clock_();
  std::lock_guard<std::mutex> hold(mutex_);
  std::vector<std::string> ended;
  if (held_.erase(hash) > 0)
    ended.push_back(hash);
  trimEnded(now);
  ended_[hash] = {why, now};
  return ended;
}

std::vector<std::string> LoginBook::endAccount(int64_t accountId, LoginEnd why)
{
  const double now = clock_();
  std::lock_guard<std::mutex> hold(mutex_);
  std::vector<std::string> ended;
  for (auto it = held_.begin(); it != held_.end();)
  {
    if (it->second.account.id != accountId)
    {
      ++it;
      continue;
    }
    ended.push_back(it->first);
    ended_[it->first] = {why, now};
    it = held_.erase(it);
  }
  trimEnded(now);
  return ended;
}

std::vector<HeldLogin> LoginBook::expire()
{
  const double now = clock_();
  std::lock_guard<std::mutex> hold(mutex_);
  std::vector<HeldLogin> expired;
  for (auto it = held_.begin(); it != held_.end();)
  {
    if (it->second.token || now - it->second.lastUsed <= idleExpiry_)
    {
      ++it;
      continue;
    }
    expired.push_back(it->second);
    ended_[it->first] = {LoginEnd::kExpired, now};
    it = held_.erase(it);
  }
  trimEnded(now);
  return expired;
}

std::vector<HeldLogin> LoginBook::held() const
{
  std::lock_guard<std::mutex> hold(mutex_);
  std::vector<HeldLogin> all;
  for (const auto& entry : held_)
    all.push_back(entry.second);
  return all;
}

void LoginBook::written(const std::string& hash, double lastUsed)
{
  std::lock_guard<std::mutex> hold(mutex_);
  const auto found = held_.find(hash);
  if (found != held_.end())
    found->second.lastWritten = std::max(found->second.lastWritten, lastUsed);
}

void LoginBook::setLanguage(int64_t accountId, const std::string& language)
{
  std::lock_guard<std::mutex> hold(mutex_);
  for (auto& login : held_)
    if (login.second.account.id == accountId)
      login.second.account.language = language;
}

// Called with the mutex held.
void LoginBook::trimEnded(double now)
{
  for (auto it = ended_.begin(); it != ended_.end();)
    it = now - it->second.at > kEndedKept ? ended_.erase(it) : std::next(it);
  // Still too many: the oldest go first.
  while (ended_.size() >= kMaxEnded)
  {
    auto oldest = ended_.begin();
    for (auto it = ended_.begin(); it != ended_.end(); ++it)
      if (it->second.at < oldest->second.at)
        oldest = it;
    ended_.erase(oldest);
  }
}
}  // namespace nao_kinora_console
