// Accounts on both back ends, under a clock the test drives: each case a
// sequence of logins (from an address), uses, logouts and changes with what
// each must give; the locks told to the trail once each; old failures
// removed; every name checked against a hash.
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
  kLogin,        // name, password
  kUse,          // the last session id of name
  kLogout,       // the last session id of name
  kDisable,      // name's account
  kEnable,       // name's account
  kMakeAdmin,    // name's account
  kNewToken,     // for name
  kUseToken,     // name's last token
  kRevoke,       // name's last token, by the account `password` names
  kUnlock,       // name's account
  kNewPassword,  // name's account gets `password`
};

enum class Want
{
  kIn,             // logged in / the session or token is name's (with its role)
  kRefused,        // refused alike (wrong password, no such name, disabled)
  kLocked,         // locked, until the time in `until`
  kAddressLocked,  // the address is locked, until the time in `until`
  kGone,           // the session or token is not valid
  kDone,           // the change was made
  kNotFound,       // the change was refused: no such token of the account
  kFailed,         // the database failed: never wanted
};

std::string wantName(Want w)
{
  static const char* const names[] = {"in",   "refused", "locked",    "address locked",
                                      "gone", "done",    "not found", "failed"};
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
  const char* from = "10.0.0.1";  // kLogin: the client's address
};

const double kStart = 1.8e9;
const char* const kMaria = "correct horse 1";  // maria: admin
const char* const kTom = "tom's password";     // tom: therapist
const char* const kWrong = "wrong password";
const char* const kA = "10.0.0.1";
const char* const kB = "10.0.0.2";
const Role kT = Role::kTherapist;

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
    // Someone without the password keeps tom out only where they try from.
    {"LockIsPerNameAndAddress",
     {{0, Act::kLogin, "tom", kWrong, Want::kRefused, 0, kT, kA},
      {1, Act::kLogin, "tom", kWrong, Want::kRefused, 0, kT, kA},
      {2, Act::kLogin, "tom", kWrong, Want::kRefused, 0, kT, kA},
      {3, Act::kLogin, "tom", kWrong, Want::kRefused, 0, kT, kA},
      {4, Act::kLogin, "tom", kWrong, Want::kLocked, 904, kT, kA},
      {5, Act::kLogin, "tom", kTom, Want::kLocked, 904, kT, kA},
      {6, Act::kLogin, "tom", kTom, Want::kIn, 0, kT, kB},
      {7, Act::kLogin, "maria", kMaria, Want::kIn, 0, Role::kAdmin, kA},
      {903, Act::kLogin, "tom", kTom, Want::kLocked, 904, kT, kA},
      {904, Act::kLogin, "tom", kTom, Want::kIn, 0, kT, kA}}},
    {"UnlockEndsTheNamesLocksAtEveryAddress",
     {{0, Act::kLogin, "tom", kWrong, Want::kRefused, 0, kT, kA},
      {1, Act::kLogin, "tom", kWrong, Want::kRefused, 0, kT, kA},
      {2, Act::kLogin, "tom", kWrong, Want::kRefused, 0, kT, kA},
      {3, Act::kLogin, "tom", kWrong, Want::kRefused, 0, kT, kA},
      {4, Act::kLogin, "TOM", kWrong, Want::kLocked, 904, kT, kA},
      {5, Act::kLogin, "tom", kWrong, Want::kRefused, 0, kT, kB},
      {6, Act::kLogin, "tom", kWrong, Want::kRefused, 0, kT, kB},
      {7, Act::kLogin, "tom", kWrong, Want::kRefused, 0, kT, kB},
      {8, Act::kLogin, "tom", kWrong, Want::kRefused, 0, kT, kB},
      {9, Act::kLogin, "tom", kWrong, Want::kLocked, 909, kT, kB},
      {10, Act::kUnlock, "tom", "", Want::kDone},
      {11, Act::kLogin, "tom", kTom, Want::kIn, 0, kT, kA},
      {12, Act::kLogin, "tom", kTom, Want::kIn, 0, kT, kB},
      {13, Act::kLogin, "tom", kWrong, Want::kRefused, 0, kT, kA}}},  // a new count
    {"DisablingAndEnablingEndTheLocks",
     {{0, Act::kLogin, "tom", kWrong, Want::kRefused, 0, kT, kA},
      {1, Act::kLogin, "tom", kWrong, Want::kRefused, 0, kT, kA},
      {2, Act::kLogin, "tom", kWrong, Want::kRefused, 0, kT, kA},
      {3, Act::kLogin, "tom", kWrong, Want::kRefused, 0, kT, kA},
      {4, Act::kLogin, "tom", kWrong, Want::kLocked, 904, kT, kA},
      {5, Act::kDisable, "tom", "", Want::kDone},
      {6, Act::kEnable, "tom", "", Want::kDone},
      {7, Act::kLogin, "tom", kTom, Want::kIn, 0, kT, kA}}},
    {"NewPasswordEndsTheLocks",
     {{0, Act::kLogin, "tom", kWrong, Want::kRefused, 0, kT, kA},
      {1, Act::kLogin, "tom", kWrong, Want::kRefused, 0, kT, kA},
      {2, Act::kLogin, "tom", kWrong, Want::kRefused, 0, kT, kA},
      {3, Act::kLogin, "tom", kWrong, Want::kRefused, 0, kT, kA},
      {4, Act::kLogin, "tom", kWrong, Want::kLocked, 904, kT, kA},
      {5, Act::kNewPassword, "tom", "a new password", Want::kDone},
      {6, Act::kLogin, "tom", kTom, Want::kRefused, 0, kT, kA},
      {7, Act::kLogin, "tom", "a new password", Want::kIn, 0, kT, kA}}},
    // One machine may hold a whole /64; an IPv4 client seen through IPv6 is itself.
    {"AddressesAsCounted",
     {{0, Act::kLogin, "tom", kWrong, Want::kRefused, 0, kT, "2001:db8:0:7::1"},
      {1, Act::kLogin, "tom", kWrong, Want::kRefused, 0, kT, "2001:db8:0:7::2"},
      {2, Act::kLogin, "tom", kWrong, Want::kRefused, 0, kT, "2001:db8:0:7:ffff::3"},
      {3, Act::kLogin, "tom", kWrong, Want::kRefused, 0, kT, "2001:db8:0:7::4"},
      {4, Act::kLogin, "tom", kWrong, Want::kLocked, 904, kT, "2001:db8:0:7::5"},
      {5, Act::kLogin, "tom", kTom, Want::kIn, 0, kT, "2001:db8:0:8::1"},
      {6, Act::kLogin, "maria", kWrong, Want::kRefused, 0, Role::kAdmin, "10.0.0.7"},
      {7, Act::kLogin, "maria", kWrong, Want::kRefused, 0, Role::kAdmin, "::ffff:10.0.0.7"},
      {8, Act::kLogin, "maria", kWrong, Want::kRefused, 0, Role::kAdmin, "10.0.0.7"},
      {9, Act::kLogin, "maria", kWrong, Want::kRefused, 0, Role::kAdmin, "::ffff:10.0.0.7"},
      {10, Act::kLogin, "maria", kWrong, Want::kLocked, 910, Role::kAdmin, "10.0.0.7"},
      {11, Act::kLogin, "maria", kMaria, Want::kIn, 0, Role::kAdmin, "::1"}}},
};

// Made-up names, one try each, from one address: the address is locked at
// the twentieth, for every name, and only that address.
Case addressCase()
{
  static std::vector<std::string> ghosts;
  Case c{"AddressLockedAfterTwentyFailuresWhateverTheNames", {}};
  for (int i = static_cast<int>(ghosts.size()); i < kAddressFailuresBeforeLock; ++i)
    ghosts.push_back("ghost" + std::to_string(i));
  for (int i = 0; i < kAddressFailuresBeforeLock; ++i)
  {
    const bool last = i + 1 == kAddressFailuresBeforeLock;
    c.steps.push_back({double(i), Act::kLogin, ghosts[i].c_str(), kWrong, last ? Want::kAddressLocked : Want::kRefused,
                       last ? double(i + 900) : 0, kT, kA});
  }
  const double t = kAddressFailuresBeforeLock - 1;
  c.steps.push_back({t + 1, Act::kLogin, "maria", kMaria, Want::kAddressLocked, t + 900, Role::kAdmin, kA});
  c.steps.push_back({t + 2, Act::kLogin, "maria", kMaria, Want::kIn, 0, Role::kAdmin, kB});
  c.steps.push_back({t + 899, Act::kLogin, "tom", kTom, Want::kAddressLocked, t + 900, kT, kA});
  c.steps.push_back({t + 900, Act::kLogin, "tom", kTom, Want::kIn, 0, kT, kA});
  return c;
}

struct Accounts
{
  double now = kStart;
  std::unique_ptr<SqlConnection> db;
  std::unique_ptr<AccountStore> store;
  std::map<std::string, int64_t> ids;
  std::map<std::string, std::string> sessions, tokens;
  std::map<std::string, int64_t> tokenIds;
  int checks = 0;  // passwords checked against a hash
  std::vector<LockEvent> told;

  // A new database of its own on the back end.
  Accounts(const Backend& b, const std::string& name)
  {
    SqlError error;
    db = openConnection(
        b.dialect == SqlDialect::kSqlite ? b.dir->path() + name + ".db" : b.server->createDatabase(name), true, error);
    EXPECT_TRUE(db) << error.message;
    SqlError made = addAccountTables(*db);
    if (made.ok())
      made = addLoginLimitTables(*db);
    if (made.ok())
      made = addAccountLanguage(*db);
    EXPECT_TRUE(made.ok()) << made.message;
    store.reset(new AccountStore(*db, [this] { return now; }));
    // Argon2id's own check, each pair of hash and password once in the
    // whole program: the tables try the same passwords many times, and the
    // machine is slow.
    store->usePasswordCheck(
        [this](const std::string& hash, const std::string& password)
        {
          static std::map<std::pair<std::string, std::string>, bool> checked;
          ++checks;
          const auto key = std::make_pair(hash, password);
          if (!checked.count(key))
            checked[key] = crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
          return checked[key];
        });
    store->onLockEvent([this](const LockEvent& e) { told.push_back(e); });
    ids["maria"] = add("maria", kMaria, Role::kAdmin);
    ids["tom"] = add("tom", kTom, Role::kTherapist);
  }

  // The account as addAccount stores it, its password hashed once in the program.
  int64_t add(const std::string& name, const char* password, Role role)
  {
    static std::map<std::string, std::string> hashes;
    if (!hashes.count(password))
    {
      char out[crypto_pwhash_STRBYTES];
      EXPECT_EQ(0, crypto_pwhash_str(out, password, strlen(password), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                                     crypto_pwhash_MEMLIMIT_INTERACTIVE));
      hashes[password] = out;
    }
    Statement s(*db,
                "INSERT INTO accounts(name, name_key, password, role, disabled, created)"
                " VALUES (?, ?, ?, ?, 0, ?) RETURNING id");
    EXPECT_TRUE(s.bind(1, name)
                    .bind(2, name)
                    .bind(3, hashes[password])
                    .bind(4, std::string(roleName(role)))
                    .bind(5, now)
                    .step())
        << s.error();
    return s.integer(0);
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
        const auto r = store->login(s.name, s.password, s.from);
        EXPECT_TRUE(r.ok()) << r.error;
        told.insert(told.end(), r.value.locks.begin(), r.value.locks.end());
        if (s.want == Want::kLocked || s.want == Want::kAddressLocked)
        {
          EXPECT_EQ(kStart + s.until, r.value.lockedUntil);
        }
        if (r.value.outcome == LoginOutcome::kAddressLocked)
          return Want::kAddressLocked;
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
      case Act::kUnlock:
      {
        const auto ended = store->unlock(ids.at(s.name));
        return ended.ok() ? Want::kDone : Want::kFailed;
      }
      case Act::kNewPassword:
        return status(store->setPassword(ids.at(s.name), s.password));
    }
    return Want::kFailed;
  }
};

TEST(AccountStore, EachStepOfEachCase)
{
  std::vector<Case> cases(std::begin(kCases), std::end(kCases));
  cases.push_back(addressCase());
  for (const auto& b : bothBackends())
    for (const Case& c : cases)
    {
      Accounts run(*b, "c" + std::to_string(&c - cases.data()));
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
    const auto in = run.store->login("tom", kTom, kA);
    const auto token = run.store->createToken(run.ids["tom"], "script");
    ASSERT_EQ(64u, in.value.secret.size()) << b->name;
    ASSERT_TRUE(run.store->addAccount("ana", kTom, Role::kTherapist).ok()) << b->name;
    Statement pw(*run.db, "SELECT password FROM accounts WHERE name = 'ana'");
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
    EXPECT_NE(in.value.secret, run.store->login("tom", kTom, kA).value.secret) << b->name;
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
// Each lock is told once as it begins and once as it ends, with the tries
// refused meanwhile, however many there were.
TEST(AccountStore, EachLockToldOnceWithTheTriesThatFollowed)
{
  std::vector<Step> steps;
  const auto fail = [&](double at, const char* name, int times, const char* from)
  {
    for (int i = 0; i < times; ++i)
      steps.push_back({at + i, Act::kLogin, name, kWrong, Want::kRefused, 0, kT, from});
  };
  fail(0, "tom", 5, kA);         // locked at 4
  fail(10, "tom", 7, kA);        // 7 tries while locked
  fail(20, "ma\xffria", 5, kB);  // a name that is not UTF-8, locked at 24
  steps.push_back({904, Act::kLogin, "maria", kMaria, Want::kIn, 0, Role::kAdmin, "10.0.0.3"});  // tom's expired
  fail(930, "tom", 5, kA);                                                                       // locked again
  steps.push_back({940, Act::kUnlock, "tom", "", Want::kDone});
  fail(950, "tom", 5, kA);
  fail(960, "tom", 2, kA);
  steps.push_back({970, Act::kDisable, "tom", "", Want::kDone});
  const std::vector<std::string> want = {
      "began tom 10.0.0.1 5",         "began ma\\xffria 10.0.0.2 5",
      "ended tom 10.0.0.1 7 expired", "ended ma\\xffria 10.0.0.2 0 expired",
      "began tom 10.0.0.1 5",         "ended tom 10.0.0.1 0 unlocked",
      "began tom 10.0.0.1 5",         "ended tom 10.0.0.1 2 disabled",
  };
  for (const auto& b : bothBackends())
  {
    Accounts run(*b, "told");
    for (const Step& step : steps)
      run.step(step);
    std::vector<std::string> told;
    for (const LockEvent& e : run.told)
      told.push_back(std::string(e.began ? "began " : "ended ") + e.name + " " + e.address + " " +
                     std::to_string(e.count) + (e.began ? "" : " " + e.why));
    EXPECT_EQ(want, told) << b->name;
  }
}

// What the trail says of each kind of lock: a JSON object, names escaped.
TEST(AccountStore, LockEntries)
{
  const struct
  {
    LockEvent lock;
    const char* action;
    const char* detail;
  } cases[] = {
      {{true, "tom", "10.0.0.1", 5, ""}, "login locked", R"({"name":"tom","failures":5,"address":"10.0.0.1"})"},
      {{true, "", "10.0.0.1", 20, ""}, "address locked", R"({"address":"10.0.0.1","failures":20})"},
      {{false, "t\\xffm", "10.0.0.1", 7, "expired"},
       "lock ended",
       R"({"name":"t\\xffm","address":"10.0.0.1","tries":7,"why":"expired"})"},
      {{false, "", "2001:db8::/64", 0, "expired"},
       "lock ended",
       R"({"name":null,"address":"2001:db8::/64","tries":0,"why":"expired"})"},
  };
  for (const auto& c : cases)
  {
    const AuditEvent e = lockEntry(c.lock, "who", "room-a");
    EXPECT_EQ(c.action, e.action) << c.detail;
    EXPECT_EQ(c.detail, e.detail);
    EXPECT_EQ("who", e.who);
    EXPECT_EQ("room-a", e.room);
  }
}

// Failures older than the window and locks past their time are removed at
// the next login, whoever's.
TEST(AccountStore, OldFailuresAndLocksRemoved)
{
  for (const auto& b : bothBackends())
  {
    Accounts run(*b, "old");
    run.step({0, Act::kLogin, "tom", kWrong, Want::kRefused, 0, kT, kA});
    run.step({100, Act::kLogin, "nobody", kWrong, Want::kRefused, 0, kT, kB});
    run.step({200, Act::kLogin, "\xff\xfe", kWrong, Want::kRefused, 0, kT, "10.0.0.3"});
    for (int i = 0; i < kFailuresBeforeLock; ++i)
      run.step({300.0 + i, Act::kLogin, "ghost", kWrong, Want::kRefused, 0, kT, "10.0.0.4"});
    EXPECT_EQ(3, count(*run.db, "SELECT count(*) FROM login_failures")) << b->name;
    EXPECT_EQ(1, count(*run.db, "SELECT count(*) FROM login_locks")) << b->name;
    run.step({1205, Act::kLogin, "maria", kMaria, Want::kIn, 0, Role::kAdmin, "10.0.0.5"});
    EXPECT_EQ(0, count(*run.db, "SELECT count(*) FROM login_failures")) << b->name;
    EXPECT_EQ(0, count(*run.db, "SELECT count(*) FROM login_locks")) << b->name;
  }
}

// A name without an account takes one password check, as one with an
// account does (against a decoy hash): its reply tells nothing by its time.
// Counted, never timed.
TEST(AccountStore, EveryNameCheckedOnceAgainstAHash)
{
  const struct
  {
    const char* name;
    const char* password;
    const char* from;
    int checks;
  } cases[] = {
      {"tom", kTom, kA, 1},       {"tom", kWrong, kA, 1},  {"nobody", kTom, kA, 1}, {"NOBODY", kWrong, kA, 1},
      {"no body", kWrong, kA, 1}, {"\xff", kWrong, kA, 1}, {"", kWrong, kA, 1},     {"maria", kMaria, kB, 1},
  };
  for (const auto& b : bothBackends())
  {
    Accounts run(*b, "decoy");
    std::vector<std::string> against;
    run.store->usePasswordCheck(
        [&](const std::string& hash, const std::string& password)
        {
          ++run.checks;
          against.push_back(hash);
          return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
        });
    for (const auto& c : cases)
    {
      run.checks = 0;
      against.clear();
      const auto r = run.store->login(c.name, c.password, c.from);
      ASSERT_TRUE(r.ok()) << r.error;
      EXPECT_EQ(c.checks, run.checks) << b->name << " [" << c.name << "]";
      ASSERT_EQ(1u, against.size()) << b->name << " [" << c.name << "]";
      EXPECT_EQ(0u, against[0].find("$argon2id$")) << b->name << " [" << c.name << "]: " << against[0];
    }
  }
}
}  // namespace
