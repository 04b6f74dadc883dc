// The audit trail on a PostgreSQL server, out of the console's reach: the
// admin tool, as the tables' owner, makes the console's role and grants it
// its rights; logged in as that role the clinic's work goes on and every way
// around the trail's guard is refused; a console logged in as the owner or a
// superuser is told the trail is not protected; a console that made its
// tables as its own role hands them over; a schema the console's role may not
// bring up to date is refused in one line naming the command to run.
#include "sql_test_backends.h"

#include "nao_kinora_console/accounts/account_admin.h"
#include "nao_kinora_console/accounts/account_store.h"
#include "nao_kinora_console/accounts/audit_trail.h"
#include "nao_kinora_console/accounts/database_roles.h"
#include "nao_kinora_console/records/clinic_store.h"

#include <sstream>

namespace
{
using namespace sql_test;

const char* const kSetUp = "rosrun nao_kinora_console nao_kinora_console_admin setup-roles";

struct Server
{
  kinora_test::PgServer pg;
  std::unique_ptr<SqlConnection> super = connect(pg.url());  // the cluster's superuser, kinora

  std::string url(const std::string& role, const std::string& db) const
  {
    return "postgresql://" + role + "@127.0.0.1:" + std::to_string(pg.port()) + "/" + db;
  }
  std::string where(const std::string& db) const { return "127.0.0.1:" + std::to_string(pg.port()) + "/" + db; }

  static std::unique_ptr<SqlConnection> connect(const std::string& url)
  {
    SqlError error;
    auto db = openConnection(url, false, error);
    EXPECT_TRUE(db) << url << ": " << error.message;
    return db;
  }

  // The admin tool with a password piped in; its exit status, what it said in out and err.
  int admin(const std::vector<std::string>& args, std::string& out, std::string& err)
  {
    std::ostringstream o, e;
    AdminIo io;
    io.out = &o;
    io.err = &e;
    io.readSecret = [](const std::string&, std::string& line)
    {
      line = "the console's password";
      return true;
    };
    const int status = runAccountAdmin(args, io);
    out = o.str();
    err = e.str();
    return status;
  }
};

// Refused, whatever the reason the server gives.
void expectRefused(SqlConnection& db, const std::string& sql)
{
  const SqlError e = db.execute(sql);
  EXPECT_FALSE(e.ok()) << "not refused: " << sql;
}

std::vector<std::string> entries(SqlConnection& db)
{
  std::vector<std::string> all;
  for (const AuditEntry& e : AuditTrail(db, wallNow).page(0, 100).value)
    all.push_back(e.event.who + " | " + e.event.action + " | " + e.event.detail);
  return all;
}

TEST(DatabaseRoles, TheConsolesRoleMayOnlyAddToAndReadTheTrail)
{
  Server s;
  run(*s.super, "CREATE ROLE clinic_owner LOGIN CREATEROLE");
  run(*s.super, "CREATE DATABASE clinic OWNER clinic_owner");
  std::string out, err;
  ASSERT_EQ(0,
            s.admin({"setup-roles", "--database", s.url("clinic_owner", "clinic"), "--console-role", "kinora_console"},
                    out, err))
      << err;
  EXPECT_EQ(
      "the tables are clinic_owner's; kinora_console may read and add to the audit trail, and read and change "
      "the rest\nthe console's database: " +
          s.url("kinora_console", "clinic") + "\n",
      out);

  // The console's work, as its role: the records, accounts, logins, the trail.
  auto store = ClinicStore::open(s.url("kinora_console", "clinic"), "room-a");
  ASSERT_TRUE(store.ok()) << store.error;
  ASSERT_TRUE(store.value->addPatient("P-1", "").ok());
  auto console = s.connect(s.url("kinora_console", "clinic"));
  EXPECT_EQ("", trailProtection(*console));
  AccountStore accounts(*console, wallNow);
  ASSERT_TRUE(accounts.addAccount("maria", "correct horse 1", Role::kAdmin).ok());
  EXPECT_EQ(static_cast<int>(LoginOutcome::kIn),
            static_cast<int>(accounts.login("maria", "correct horse 1", "10.0.0.1").value.outcome));
  ASSERT_TRUE(AuditTrail(*console, wallNow).record({"maria", "room-a", "patient added", 1, 0, ""}).ok());
  const std::vector<std::string> before = entries(*console);
  ASSERT_EQ(2u, before.size());
  EXPECT_EQ("admin tool on " + hostRoomName() +
                R"( | roles set up | {"console role":"kinora_console","owner":"clinic_owner"})",
            before[1]);

  const char* const bypasses[] = {
      "SET session_replication_role = replica",
      "ALTER TABLE audit DISABLE TRIGGER audit_no_change",
      "ALTER TABLE audit DISABLE TRIGGER ALL",
      "DELETE FROM audit",
      "UPDATE audit SET who = 'someone else'",
      "TRUNCATE audit",
      "DROP TRIGGER audit_no_change ON audit",
      "DROP TABLE audit",
      "ALTER TABLE audit RENAME TO old_audit",
      "CREATE OR REPLACE FUNCTION audit_refuse() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN RETURN OLD; END $$",
      "DROP SCHEMA public CASCADE",
      "SET ROLE clinic_owner",
      "UPDATE schema_version SET version = 1",
  };
  for (const char* sql : bypasses)
    expectRefused(*console, sql);
  EXPECT_EQ(before, entries(*console));

  // Logged in as the owner or as a superuser, the console is told.
  const std::string told = "the audit trail is not protected: the console logs in to the database as [";
  EXPECT_EQ(told +
                "clinic_owner], which owns the tables and so could change or remove entries; give the tables to "
                "another role with: " +
                kSetUp + " --database postgresql://OWNER@" + s.where("clinic") +
                " --console-role clinic_owner (docs/accounts.md); the console goes on",
            trailProtection(*s.connect(s.url("clinic_owner", "clinic"))));
  EXPECT_EQ(0u, trailProtection(*s.connect(s.url("kinora", "clinic"))).find(told + "kinora], which is a superuser"));

  // A role that could change the trail whatever it is granted is refused.
  const struct
  {
    const char* role;
    std::string err;
  } refused[] = {
      {"kinora",
       "the console's role [kinora] is a superuser: it could change the audit trail whatever it is granted\n"},
      {"clinic_owner",
       "the console's role [clinic_owner] is the one logged in here: set up as another role, the tables' owner\n"},
      {"Console", "the console's role must be 1 to 63 lower-case letters, digits and '_', the first a letter\n"},
  };
  for (const auto& r : refused)
  {
    EXPECT_EQ(
        1, s.admin({"setup-roles", "--database", s.url("clinic_owner", "clinic"), "--console-role", r.role}, out, err))
        << r.role;
    EXPECT_EQ(r.err, err);
  }
}

TEST(DatabaseRoles, AConsolesOwnTablesHandedOverAndUpgradesItMayNotMakeRefused)
{
  Server s;
  // A console that set its database up as its own role, as before roles.
  run(*s.super, "CREATE ROLE oldconsole LOGIN");
  run(*s.super, "CREATE DATABASE old OWNER oldconsole");
  {
    auto store = ClinicStore::open(s.url("oldconsole", "old"), "room-a");
    ASSERT_TRUE(store.ok()) << store.error;
    ASSERT_TRUE(store.value->addPatient("P-1", "").ok());
  }
  EXPECT_NE("", trailProtection(*s.connect(s.url("oldconsole", "old"))));
  std::string out, err;
  ASSERT_EQ(0, s.admin({"setup-roles", "--database", s.url("kinora", "old"), "--console-role", "oldconsole"}, out, err))
      << err;
  auto console = s.connect(s.url("oldconsole", "old"));
  EXPECT_EQ("", trailProtection(*console));
  auto store = ClinicStore::open(s.url("oldconsole", "old"), "room-a");
  ASSERT_TRUE(store.ok()) << store.error;
  EXPECT_EQ(1u, store.value->patients().value.size());
  expectRefused(*console, "DELETE FROM audit");
  expectRefused(*console, "DROP SCHEMA public CASCADE");

  // An older schema, which only the owner may bring up to date.
  run(*s.connect(s.url("kinora", "old")), "UPDATE schema_version SET version = " + std::to_string(kSchemaVersion - 1));
  const auto refused = ClinicStore::open(s.url("oldconsole", "old"), "room-a");
  EXPECT_EQ("clinic database [" + s.where("old") + "]: schema version " + std::to_string(kSchemaVersion - 1) +
                ", this console needs " + std::to_string(kSchemaVersion) +
                ", and its role [oldconsole] may not change the tables: bring them up to date as their owner with: " +
                kSetUp + " --database postgresql://OWNER@" + s.where("old") + " --console-role oldconsole",
            refused.error);
  // A new database the role may not make tables in.
  run(*s.super, "CREATE DATABASE fresh");
  const auto empty = ClinicStore::open(s.url("oldconsole", "fresh"), "room-a");
  EXPECT_EQ("clinic database [" + s.where("fresh") +
                "]: empty, and the console's role [oldconsole] may not make tables in it: set it up as its owner "
                "with: " +
                kSetUp + " --database postgresql://OWNER@" + s.where("fresh") + " --console-role oldconsole",
            empty.error);
}
}  // namespace
