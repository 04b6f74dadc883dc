// The accounts' command line as a process: a password piped in, the exit
// status and the words, what the database then holds, and each change in the
// audit trail as the admin tool's.
#include "processes.h"
#include "test_util.h"

#include "nao_kinora_console/accounts/account_admin.h"
#include "nao_kinora_console/accounts/account_store.h"
#include "nao_kinora_console/accounts/audit_trail.h"
#include "nao_kinora_console/records/clinic_store.h"

#include <gtest/gtest.h>

#include <sstream>

namespace
{
using namespace nao_kinora_console;

struct Step
{
  std::string input;  // piped to standard input
  std::vector<std::string> args;
  int status;
  std::string out;
  std::string err;
  bool lockTom = false;  // tom is locked (at one address) before the command
};

// Each step in order on one database; a step sees what the ones before made.
const Step kSteps[] = {
    {"correct horse 1\n", {"add", "maria", "--admin"}, 0, "added admin maria\n", ""},
    {"short one\n", {"add", "tom"}, 1, "", "the password must be at least 10 characters\n"},
    {"", {"add", "tom"}, 1, "", "no password given\n"},
    {"tom's password\n", {"add", "tom"}, 0, "added therapist tom\n", ""},
    {"another password\n", {"add", "Maria"}, 1, "", "the name [Maria] is taken\n"},
    {"another password\n", {"add", "ma ria"}, 1, "", "the name may hold only letters, digits, '.', '-' and '_'\n"},
    {"", {"list"}, 0, "maria admin\ntom therapist\n", ""},
    {"", {"disable", "tom"}, 0, "disabled tom\n", ""},
    {"", {"disable", "nobody"}, 1, "", "no account named [nobody]\n"},
    {"", {"list"}, 0, "maria admin\ntom therapist disabled\n", ""},
    {"", {"enable", "tom"}, 0, "enabled tom\n", ""},
    {"", {"list"}, 0, "maria admin\ntom therapist\n", ""},
    {"", {"unlock", "tom"}, 0, "unlocked tom: 1 lock ended\n", "", true},
    {"", {"unlock", "tom"}, 0, "unlocked tom: 0 locks ended\n", ""},
    {"", {"unlock", "nobody"}, 1, "", "no account named [nobody]\n"},
    {"short one\n", {"reset-password", "tom"}, 1, "", "the password must be at least 10 characters\n"},
    {"a new password\n", {"reset-password", "tom"}, 0, "new password for tom\n", "", true},
    {"", {"reset-password"}, 2, "", ""},
    {"", {"unlock", "tom", "--admin"}, 2, "", ""},
    {"",
     {"setup-roles", "--console-role", "kinora_console"},
     1,
     "",
     "setup-roles is for a PostgreSQL server (postgresql://OWNER@HOST:PORT/DB); an SQLite file is protected by its "
     "file's permissions (docs/accounts.md)\n"},
};

// Locks tom's name at one address, as someone trying passwords would (no
// trail here: the console records that).
void lockTom(const std::string& db)
{
  SqlError error;
  auto conn = openConnection(db, false, error);
  ASSERT_TRUE(conn) << error.message;
  AccountStore accounts(*conn, wallNow);
  accounts.usePasswordCheck([](const std::string&, const std::string&) { return false; });
  for (int i = 0; i < kFailuresBeforeLock; ++i)
    accounts.login("tom", "not the password", "10.0.0.9");
  ASSERT_EQ(1u, accounts.lockedAccounts().value.size());
}

TEST(AccountAdmin, EachCommandAsAProcess)
{
  kinora_test::TempDir dir;
  const std::string db = dir.path() + "clinic/clinic.db";
  for (const Step& s : kSteps)
  {
    if (s.lockTom)
      lockTom(db);
    // sh -c SCRIPT $0 $1 ...: $0 the program, $1 what is piped, then its arguments.
    std::vector<std::string> call = {"/bin/sh", "-c", "in=$1; shift; printf '%s' \"$in\" | exec \"$0\" \"$@\"",
                                     ADMIN_PROGRAM, s.input};
    call.insert(call.end(), s.args.begin(), s.args.end());
    call.push_back("--database");
    call.push_back(db);
    kinora_test::Process p(call);
    ASSERT_TRUE(p.waitExit(60)) << s.args[0];
    EXPECT_EQ(s.status, p.exitStatus()) << s.args[0] << " " << p.err();
    EXPECT_EQ(s.out, p.out()) << s.args[0];
    if (s.status != 2)  // the usage is not repeated here
      EXPECT_EQ(s.err, p.err()) << s.args[0];
    else
      EXPECT_EQ(0u, p.err().find("usage: nao_kinora_console_admin add NAME")) << p.err();
  }
  // The tool serves no room: the rooms' list names none until a console opens it.
  {
    SqlError error;
    auto seen = openConnection(db, false, error);
    ASSERT_TRUE(seen) << error.message;
    Statement rooms(*seen, "SELECT count(*) FROM rooms");
    ASSERT_TRUE(rooms.step());
    EXPECT_EQ(0, rooms.integer(0));
  }
  // What the console will read: the admin logs in with the password piped.
  auto store = ClinicStore::open(db);
  ASSERT_TRUE(store.ok()) << store.error;
  SqlError error;
  auto conn = openConnection(db, false, error);
  ASSERT_TRUE(conn) << error.message;
  AccountStore accounts(*conn, wallNow);
  const auto in = accounts.login("maria", "correct horse 1", "127.0.0.1");
  ASSERT_TRUE(in.ok()) << in.error;
  EXPECT_EQ(static_cast<int>(LoginOutcome::kIn), static_cast<int>(in.value.outcome));
  EXPECT_EQ(Role::kAdmin, in.value.account.role);
  EXPECT_EQ(static_cast<int>(LoginOutcome::kIn),
            static_cast<int>(accounts.login("tom", "a new password", "10.0.0.9").value.outcome));

  // Every change, oldest first, as the admin tool's on this host, in no room.
  const auto trail = AuditTrail(*conn, wallNow).page(0, 100);
  ASSERT_TRUE(trail.ok()) << trail.error;
  std::vector<std::string> seen;
  for (auto e = trail.value.rbegin(); e != trail.value.rend(); ++e)
  {
    const std::string who = e->event.who == "admin tool on " + hostRoomName() ? "tool" : "[" + e->event.who + "]";
    seen.push_back(who + " [" + e->event.room + "] " + e->event.action + ": " + e->event.detail);
  }
  const std::vector<std::string> want = {
      R"(tool [] account added: {"name":"maria","role":"admin"})",
      R"(tool [] account added: {"name":"tom","role":"therapist"})",
      R"(tool [] account disabled: {"name":"tom"})",
      R"(tool [] account enabled: {"name":"tom"})",
      "tool [] lock ended: {\"name\":\"tom\",\"address\":\"10.0.0.9\",\"tries\":0,\"why\":\"unlocked\"}",
      R"(tool [] account unlocked: {"name":"tom"})",
      R"(tool [] account unlocked: {"name":"tom"})",
      "tool [] lock ended: {\"name\":\"tom\",\"address\":\"10.0.0.9\",\"tries\":0,\"why\":\"password reset\"}",
      R"(tool [] password reset: {"name":"tom"})",
  };
  EXPECT_EQ(want, seen);
}

// Typed at a terminal the password is asked twice; they must match.
TEST(AccountAdmin, TypedPasswordAskedTwice)
{
  const struct
  {
    std::vector<std::string> typed;
    int status;
    std::string err;
  } cases[] = {
      {{"correct horse 1", "correct horse 1"}, 0, ""},
      {{"correct horse 1", "correct horse 2"}, 1, "the two passwords differ\n"},
      {{"correct horse 1"}, 1, "the two passwords differ\n"},
  };
  kinora_test::TempDir dir;
  int n = 0;
  for (const auto& c : cases)
  {
    std::ostringstream out, err;
    std::vector<std::string> prompts;
    std::size_t next = 0;
    AdminIo io;
    io.terminal = true;
    io.out = &out;
    io.err = &err;
    io.readSecret = [&](const std::string& prompt, std::string& line)
    {
      prompts.push_back(prompt);
      if (next == c.typed.size())
        return false;
      line = c.typed[next++];
      return true;
    };
    const std::string name = "user" + std::to_string(++n);
    EXPECT_EQ(c.status, runAccountAdmin({"add", name, "--database", dir.path() + "c.db"}, io)) << name;
    EXPECT_EQ(c.err, err.str()) << name;
    EXPECT_EQ((std::vector<std::string>{"Password: ", "Again: "}), prompts) << name;
  }
}
}  // namespace
