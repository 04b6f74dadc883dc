// Accounts on both back ends, under a clock the test drives: each case a
// sequence of logins, uses, logouts and changes with what each must give.
#include "sql_test_backends.h"

#include "nao_kinora_console/accounts/account_store.h"

#include <sodium.h>

#include <cctype>
#include <cstring>
#include <map>

namespace
{
using namespace sql_test;

enum class Act
{
  kLogin,      // name, password
  kUse,        // the last session id of name
  kLogout,     // the last session id of name
  kDisable,    // name's account
  kEnable,     // name's account
  kMakeAdmin,  // name's account
  kNewToken,   // for name
  kUseToken,   // name's last token
  kRevoke,     // name's last token, by the account `password` names
};

enum class Want
{
  kIn,        // logged in / the session or token is name's (with its role)
  kRefused,   // refused alike (wrong password, no such name, disabled)
  kLocked,    // locked, until the time in `until`
  kGone,      // the session or token is not valid
  kDone,      // the change was made
  kNotFound,  // the change was refused: no such token of the account
  kFailed,    // the database failed: never wanted
};

std::string wantName(Want w)
{
  static const char* const names[] = {"in", "refused", "locked", "gone", "done", "not found", "failed"};
  return names[static_cast<int>(w)];
}

struct Step
{
  double at;  // seconds after the start
  Act act;
  const char* name;
  const char* password;
  Want want;
  double until = 0;  // kLocked: when the lock ends, after the start
  Role role = Role::kTherapist;
};

const double kStart = 1.8e9;
const char* const kMaria = "correct horse 1";  // maria: admin
const char* const kTom = "tom's password";     // tom: therapist

struct Case
{
  const char* name;
  std::vector<Step> steps;
};

const Case kCases[] = {
    {"PasswordsAndNames",
     {{0, Act::kLogin, "maria", kMaria, Want::kIn, 0, Role::kAdmin},
      {1, Act::kLogin, "maria", "correct horse 2", Want::kRefused},
      {2, Act::kLogin, "nobody", kMaria, Want::kRefused},
      {3, Act::kLogin, "MARIA", kMaria, Want::kIn, 0, Role::kAdmin},
      {4, Act::kLogin, "tom", kMaria, Want::kRefused},
      {5, Act::kLogin, "tom", kTom, Want::kIn, 0, Role::kTherapist}}},
    {"FifthFailureLocksForFifteenMinutes",
     {{0, Act::kLogin, "tom", "x1xxxxxxxx", Want::kRefused},
      {60, Act::kLogin, "tom", "x2xxxxxxxx", Want::kRefused},
      {120, Act::kLogin, "tom", "x3xxxxxxxx", Want::kRefused},
      {180, Act::kLogin, "tom", "x4xxxxxxxx", Want::kRefused},
      {240, Act::kLogin, "tom", "x5xxxxxxxx", Want::kLocked, 240 + 900},
      {241, Act::kLogin, "tom", kTom, Want::kLocked, 240 + 900},
      {1139, Act::kLogin, "Tom", kTom, Want::kLocked, 240 + 900},
      {1140, Act::kLogin, "tom", kTom, Want::kIn},
      {1141, Act::kLogin, "maria", kMaria, Want::kIn, 0, Role::kAdmin}}},
    {"NameWithoutAccountLocksAlike",
     {{0, Act::kLogin, "ghost", "x1xxxxxxxx", Want::kRefused},
      {1, Act::kLogin, "ghost", "x2xxxxxxxx", Want::kRefused},
      {2, Act::kLogin, "ghost", "x3xxxxxxxx", Want::kRefused},
      {3, Act::kLogin, "ghost", "x4xxxxxxxx", Want::kRefused},
      {4, Act::kLogin, "GHOST", "x5xxxxxxxx", Want::kLocked, 904},
      {5, Act::kLogin, "ghost", "x6xxxxxxxx", Want::kLocked, 904}}},
    {"FailuresOverMoreThanFifteenMinutesDoNotLock",
     {{0, Act::kLogin, "tom", "x1xxxxxxxx", Want::kRefused},
      {300, Act::kLogin, "tom", "x2xxxxxxxx", Want::kRefused},
      {600, Act::kLogin, "tom", "x3xxxxxxxx", Want::kRefused},
      {899, Act::kLogin, "tom", "x4xxxxxxxx", Want::kRefused},
      {900, Act::kLogin, "tom", "x5xxxxxxxx", Want::kRefused},  // the first is 15 minutes old: a new count
      {901, Act::kLogin, "tom", kTom, Want::kIn}}},
    {"SuccessClearsTheCount",
     {{0, Act::kLogin, "tom", "x1xxxxxxxx", Want::kRefused},
      {1, Act::kLogin, "tom", "x2xxxxxxxx", Want::kRefused},
      {2, Act::kLogin, "tom", "x3xxxxxxxx", Want::kRefused},
      {3, Act::kLogin, "tom", "x4xxxxxxxx", Want::kRefused},
      {4, Act::kLogin, "tom", kTom, Want::kIn},
      {5, Act::kLogin, "tom", "x5xxxxxxxx", Want::kRefused}}},
    {"IdleExpiryAndLogout",
     {{0, Act::kLogin, "tom", kTom, Want::kIn},
      {1800, Act::kUse, "tom", "", Want::kIn},  // idle exactly the limit: still in
      {3000, Act::kUse, "tom", "", Want::kIn},
      {4801, Act::kUse, "tom", "", Want::kGone},
      {4802, Act::kUse, "tom", "", Want::kGone},
      {4803, Act::kLogin, "tom", kTom, Want::kIn},
      {4804, Act::kLogout, "tom", "", Want::kDone},
      {4805, Act::kUse, "tom", "", Want::kGone}}},
    {"DisabledAccount",
     {{0, Act::kLogin, "tom", kTom, Want::kIn},
      {1, Act::kDisable, "tom", "", Want::kDone},
      {2, Act::kUse, "tom", "", Want::kGone},
      {3, Act::kLogin, "tom", kTom, Want::kRefused},
      {4, Act::kEnable, "tom", "", Want::kDone},
      {5, Act::kUse, "tom", "", Want::kGone},  // its sessions ended with the disabling
      {6, Act::kLogin, "tom", kTom, Want::kIn}}},
    {"Roles",
     {{0, Act::kLogin, "tom", kTom, Want::kIn, 0, Role::kTherapist},
      {1, Act::kMakeAdmin, "tom", "", Want::kDone},
      {2, Act::kUse, "tom", "", Want::kIn, 0, Role::kAdmin}}},
    {"TokensUsedAndRevoked",
     {{0, Act::kNewToken, "tom", "", Want::kDone},
      {1, Act::kUseToken, "tom", "", Want::kIn},
      {99999, Act::kUseToken, "tom", "", Want::kIn},  // no idle expiry: a script's
      {99999, Act::kRevoke, "tom", "maria", Want::kNotFound},
      {99999, Act::kUseToken, "tom", "", Want::kIn},
      {99999, Act::kRevoke, "tom", "tom", Want::kDone},
      {99999, Act::kUseToken, "tom", "", Want::kGone},
      {99999, Act::kRevoke, "tom", "tom", Want::kNotFound}}},
    {"TokenOfDisabledAccount",
     {{0, Act::kNewToken, "tom", "", Want::kDone},
      {1, Act::kDisable, "tom", "", Want::kDone},
      {2, Act::kUseToken, "tom", "", Want::kGone},
      {3, Act::kEnable, "tom", "", Want::kDone},
      {4, Act::kUseToken, "tom", "", Want::kIn}}},
};

struct Accounts
{
  double now = kStart;
  std::unique_ptr<SqlConnection> db;
  std::unique_ptr<AccountStore> store;
  std::map<std::string, int64_t> ids;
  std::map<std::string, std::string> sessions, tokens;
  std::map<std::string, int64_t> tokenIds;

  // A new database of its own on the back end.
  Accounts(const Backend& b, const std::string& name)
  {
    SqlError error;
    db = openConnection(
        b.dialect == SqlDialect::kSqlite ? b.dir->path() + name + ".db" : b.server->createDatabase(name), true, error);
    EXPECT_TRUE(db) << error.message;
    const SqlError made = addAccountTables(*db);
    EXPECT_TRUE(made.ok()) << made.message;
    store.reset(new AccountStore(*db, [this] { return now; }));
    ids["maria"] = store->addAccount("maria", kMaria, Role::kAdmin).value;
    ids["tom"] = store->addAccount("tom", kTom, Role::kTherapist).value;
  }

  Want who(const Result<Account>& a, const Step& s)
  {
    if (!a.ok())
      return a.fault == Fault::kNotFound ? Want::kGone : Want::kFailed;
    EXPECT_EQ(ids.at(key(s.name)), a.value.id);
    EXPECT_EQ(s.role, a.value.role);
    return Want::kIn;
  }

  static std::string key(std::string name)
  {
    for (char& c : name)
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name;
  }

  Want status(const Status& st)
  {
    return st.ok() ? Want::kDone : st.fault == Fault::kNotFound ? Want::kNotFound : Want::kFailed;
  }

  Want step(const Step& s)
  {
    now = kStart + s.at;
    switch (s.act)
    {
      case Act::kLogin:
      {
        const auto r = store->login(s.name, s.password);
        EXPECT_TRUE(r.ok()) << r.error;
        if (r.value.outcome == LoginOutcome::kLocked)
        {
          EXPECT_EQ(kStart + s.until, r.value.lockedUntil);
        }
        if (r.value.outcome != LoginOutcome::kIn)
          return r.value.outcome == LoginOutcome::kLocked ? Want::kLocked : Want::kRefused;
        sessions[key(s.name)] = r.value.secret;
        Result<Account> a;
        a.value = r.value.account;
        return who(a, s);
      }
      case Act::kUse:
        return who(store->sessionAccount(sessions[s.name]), s);
      case Act::kLogout:
        return status(store->logout(sessions[s.name]));
      case Act::kDisable:
        return status(store->setDisabled(ids.at(s.name), true));
      case Act::kEnable:
        return status(store->setDisabled(ids.at(s.name), false));
      case Act::kMakeAdmin:
        return status(store->setRole(ids.at(s.name), Role::kAdmin));
      case Act::kNewToken:
      {
        const auto t = store->createToken(ids.at(s.name), "nightly export");
        tokenIds[s.name] = t.value.first;
        tokens[s.name] = t.value.second;
        return t.ok() ? Want::kDone : Want::kFailed;
      }
      case Act::kUseToken:
        return who(store->tokenAccount(tokens[s.name]), s);
      case Act::kRevoke:
        return status(store->revokeToken(ids.at(s.password), tokenIds[s.name]));
    }
    return Want::kFailed;
  }
};

TEST(AccountStore, EachStepOfEachCase)
{
  for (const auto& b : bothBackends())
    for (const Case& c : kCases)
    {
      Accounts run(*b, "c" + std::to_string(&c - kCases));
      for (std::size_t i = 0; i < c.steps.size(); ++i)
        EXPECT_EQ(wantName(c.steps[i].want), wantName(run.step(c.steps[i])))
            << b->name << " " << c.name << " step " << i + 1;
    }
}

// What is stored proves nothing when read: hashes only, never the secret.
TEST(AccountStore, SecretsStoredAsHashesOnly)
{
  for (const auto& b : bothBackends())
  {
    Accounts run(*b, "one");
    const auto in = run.store->login("tom", kTom);
    const auto token = run.store->createToken(run.ids["tom"], "script");
    ASSERT_EQ(64u, in.value.secret.size()) << b->name;
    Statement pw(*run.db, "SELECT password FROM accounts WHERE name = 'tom'");
    ASSERT_TRUE(pw.step()) << b->name;
    EXPECT_EQ(0u, pw.text(0).find("$argon2id$")) << b->name << ": " << pw.text(0);
    EXPECT_EQ(0, crypto_pwhash_str_verify(pw.text(0).c_str(), kTom, strlen(kTom))) << b->name;
    EXPECT_EQ(std::string::npos, pw.text(0).find(kTom)) << b->name;
    EXPECT_EQ(1, count(*run.db, "SELECT count(*) FROM login_sessions WHERE secret_hash = '" +
                                    secretHash(in.value.secret) + "'"));
    EXPECT_EQ(0, count(*run.db, "SELECT count(*) FROM login_sessions WHERE secret_hash = '" + in.value.secret + "'"));
    EXPECT_EQ(1, count(*run.db,
                       "SELECT count(*) FROM api_tokens WHERE secret_hash = '" + secretHash(token.value.second) + "'"));
    EXPECT_EQ(0, count(*run.db, "SELECT count(*) FROM api_tokens WHERE secret_hash = '" + token.value.second + "'"));
    // Two logins, two different random ids.
    EXPECT_NE(in.value.secret, run.store->login("tom", kTom).value.secret) << b->name;
  }
}

TEST(AccountStore, NamesAndPasswordsRefused)
{
  const struct
  {
    std::string name;
    std::string password;
    Fault fault;
  } cases[] = {
      {"ana1", "ten chars!", Fault::kNone},
      {"ana2", "nine char", Fault::kRule},
      {"ana3", "\xc3\xb1\xc3\xb1\xc3\xb1\xc3\xb1\xc3\xb1\xc3\xb1\xc3\xb1\xc3\xb1\xc3\xb1",
       Fault::kRule},  // 9 characters, 18 bytes
      {"ana4", "\xc3\xb1\xc3\xb1\xc3\xb1\xc3\xb1\xc3\xb1\xc3\xb1\xc3\xb1\xc3\xb1\xc3\xb1\xc3\xb1", Fault::kNone},
      {"", "ten chars!", Fault::kRule},
      {"an a", "ten chars!", Fault::kRule},
      {std::string(65, 'a'), "ten chars!", Fault::kRule},
      {"ana.b-c_9", "ten chars!", Fault::kNone},
      {"tom", "ten chars!", Fault::kTaken},
      {"TOM", "ten chars!", Fault::kTaken},
      {"ana5", std::string(201, 'p'), Fault::kRule},
      {"ana6", std::string(200, 'p'), Fault::kNone},
  };
  for (const auto& b : bothBackends())
  {
    Accounts run(*b, "one");
    for (const auto& c : cases)
    {
      const auto added = run.store->addAccount(c.name, c.password, Role::kTherapist);
      EXPECT_EQ(static_cast<int>(c.fault), static_cast<int>(added.fault)) << b->name << " " << c.name;
    }
    EXPECT_EQ(6, run.store->accountCount().value) << b->name;  // maria, tom and the four let in
  }
}
}  // namespace
