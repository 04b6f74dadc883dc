// Accounts and their changes over the database layer. Passwords go through
// Argon2id at libsodium's interactive limits; session ids and tokens are 32
// random bytes, kept as their SHA-256 (they are long and random, so a slow
// hash would add nothing).
#include "nao_kinora_console/accounts/account_store.h"

#include <sodium.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace nao_kinora_console
{
namespace
{
const std::size_t kMaxNameLength = 64;
const std::size_t kMaxPasswordBytes = 200;

std::string lower(std::string s)
{
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

void needSodium()
{
  if (sodium_init() < 0)
    throw std::runtime_error("libsodium cannot start");
}

std::string hashPassword(const std::string& password)
{
  char out[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str(out, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                        crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
    return "";  // out of memory
  return out;
}

Role roleOf(const std::string& name)
{
  return name == "admin" ? Role::kAdmin : Role::kTherapist;
}

Account accountFrom(const Statement& s, int first)
{
  Account a;
  a.id = s.integer(first);
  a.name = s.text(first + 1);
  a.role = roleOf(s.text(first + 2));
  a.disabled = s.integer(first + 3) != 0;
  a.created = s.real(first + 4);
  a.language = s.text(first + 5);
  return a;
}

const char* const kAccountColumns = "a.id, a.name, a.role, a.disabled, a.created, a.language";

SqlValue integerValue(int64_t v)
{
  SqlValue value;
  value.kind = SqlValue::Kind::kInteger;
  value.integer = v;
  return value;
}

}  // namespace

const char* roleName(Role role)
{
  return role == Role::kAdmin ? "admin" : "therapist";
}

std::string checkAccountName(const std::string& name)
{
  if (name.empty() || name.size() > kMaxNameLength)
    return "the name must be 1 to 64 characters";
  for (unsigned char c : name)
    if (!std::isalnum(c) && c != '.' && c != '-' && c != '_')
      return "the name may hold only letters, digits, '.', '-' and '_'";
  return "";
}

std::string checkPassword(const std::string& password)
{
  // Characters, not bytes: a byte that does not continue a UTF-8 sequence starts one.
  const std::size_t characters =
      std::count_if(password.begin(), password.end(), [](unsigned char c) { return (c & 0xC0) != 0x80; });
  if (characters < kMinPasswordLength)
    return "the password must be at least 10 characters";
  if (password.size() > kMaxPasswordBytes)
    return "the password must be at most 200 bytes";
  return "";
}

std::string secretHash(const std::string& secret)
{
  needSodium();
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(secret.data()), secret.size());
  char hex[2 * crypto_hash_sha256_BYTES + 1];
  return sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
}

std::string randomSecret()
{
  needSodium();
  unsigned char bytes[32];
  randombytes_buf(bytes, sizeof bytes);
  char hex[2 * sizeof bytes + 1];
  return sodium_bin2hex(hex, sizeof hex, bytes, sizeof bytes);
}

AccountStore::AccountStore(SqlConnection& db, Clock clock, double idleExpiry)
    : db_(db), clock_(std::move(clock)), idleExpiry_(idleExpiry)
{
  needSodium();
}

Result<int64_t> AccountStore::addAccount(const std::string& name, const std::string& password, Role role)
{
  std::string why = checkAccountName(name);
  if (why.empty())
    why = checkPassword(password);
  if (!why.empty())
    return Result<int64_t>::fail(why);
  const std::string hash = hashPassword(password);
  if (hash.empty())
    return Result<int64_t>::fail("no memory to hash the password", Fault::kDatabase);
  std::lock_guard<std::mutex> hold(mutex_);
  Statement s(db_,
              "INSERT INTO accounts(name, name_key, password, role, disabled, created)"
              " VALUES (?, ?, ?, ?, 0, ?) RETURNING id");
  if (s.bind(1, name).bind(2, lower(name)).bind(3, hash).bind(4, std::string(roleName(role))).bind(5, clock_()).step())
  {
    Result<int64_t> added;
    added.value = s.integer(0);
    return added;
  }
  if (s.failure().fault == SqlFault::kTaken)
    return Result<int64_t>::fail("the name [" + name + "] is taken", Fault::kTaken);
  return failed<int64_t>(s);
}

Status AccountStore::update(const char* sql, const std::vector<SqlValue>& values, bool mustChange)
{
  Statement s(db_, sql);
  for (std::size_t i = 0; i < values.size(); ++i)
  {
    const SqlValue& v = values[i];
    const int at = static_cast<int>(i) + 1;
    if (v.kind == SqlValue::Kind::kInteger)
      s.bind(at, v.integer);
    else if (v.kind == SqlValue::Kind::kReal)
      s.bind(at, v.real);
    else if (v.kind == SqlValue::Kind::kNull)
      s.bindNull(at);
    else
      s.bind(at, v.text);
  }
  if (!s.run().empty())
    return failed<bool>(s);
  if (mustChange && db_.changes() == 0)
    return Status::fail("no such account", Fault::kNotFound);
  return done();
}

Status AccountStore::setPassword(int64_t accountId, const std::string& password)
{
  const std::string why = checkPassword(password);
  if (!why.empty())
    return Status::fail(why);
  SqlValue hash;
  hash.kind = SqlValue::Kind::kText;
  hash.text = hashPassword(password);
  if (hash.text.empty())
    return Status::fail("no memory to hash the password", Fault::kDatabase);
  std::vector<LockEvent> ended;
  Status changed;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    Transaction t(db_);
    changed = update("UPDATE accounts SET password = ? WHERE id = ?", {hash, integerValue(accountId)}, true);
    if (changed.ok())
      changed = endNameLocks(accountId, "password reset", ended, nullptr);
    if (changed.ok() && !t.commit().empty())
      return Status::fail("accounts [" + db_.describe() + "]: " + t.error(), Fault::kDatabase);
  }
  tell(ended);
  return changed;
}

Status AccountStore::setRole(int64_t accountId, Role role)
{
  SqlValue name;
  name.kind = SqlValue::Kind::kText;
  name.text = roleName(role);
  std::lock_guard<std::mutex> hold(mutex_);
  return update("UPDATE accounts SET role = ? WHERE id = ?", {name, integerValue(accountId)}, true);
}

Status AccountStore::setLanguage(int64_t accountId, const std::string& language)
{
  SqlValue chosen;  // null: the browser's
  if (!language.empty())
  {
    chosen.kind = SqlValue::Kind::kText;
    chosen.text = language;
  }
  std::lock_guard<std::mutex> hold(mutex_);
  return update("UPDATE accounts SET language = ? WHERE id = ?", {chosen, integerValue(accountId)}, true);
}

Status AccountStore::setDisabled(int64_t accountId, bool disabled)
{
  std::vector<LockEvent> ended;
  Status changed;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    Transaction t(db_);
    changed = update("UPDATE accounts SET disabled = ? WHERE id = ?", {integerValue(disabled), integerValue(accountId)},
                     true);
    if (changed.ok() && disabled)
      changed = update("DELETE FROM login_sessions WHERE account_id = ?", {integerValue(accountId)}, false);
    if (changed.ok())
      changed = endNameLocks(accountId, disabled ? "disabled" : "enabled", ended, nullptr);
    if (changed.ok() && !t.commit().empty())
      return Status::fail("accounts [" + db_.describe() + "]: " + t.error(), Fault::kDatabase);
  }
  tell(ended);
  return changed;
}

Result<std::vector<Account>> AccountStore::accounts()
{
  std::lock_guard<std::mutex> hold(mutex_);
  Statement s(db_, std::string("SELECT ") + kAccountColumns + " FROM accounts a ORDER BY a.name_key");
  Result<std::vector<Account>> all;
  while (s.step())
    all.value.push_back(accountFrom(s, 0));
  return s.failure().ok() ? all : failed<std::vector<Account>>(s);
}

Result<Account> AccountStore::account(int64_t accountId)
{
  std::lock_guard<std::mutex> hold(mutex_);
  Statement s(db_, std::string("SELECT ") + kAccountColumns + " FROM accounts a WHERE a.id = ?");
  s.bind(1, accountId);
  Result<Account> found;
  if (s.step())
    found.value = accountFrom(s, 0);
  else if (s.failure().ok())
    return Result<Account>::fail("no such account", Fault::kNotFound);
  return s.failure().ok() ? found : failed<Account>(s);
}

Result<int64_t> AccountStore::accountCount()
{
  std::lock_guard<std::mutex> hold(mutex_);
  Statement s(db_, "SELECT count(*) FROM accounts");
  Result<int64_t> n;
  n.value = s.step() ? s.integer(0) : 0;
  return s.failure().ok() ? n : failed<int64_t>(s);
}
}  // namespace nao_kinora_console
