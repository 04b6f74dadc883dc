// The accounts' command line over the clinic's database: the schema is
// brought up to date as the console would, then one change is made and
// recorded in the audit trail as the admin tool's on this host.
#include "nao_kinora_console/accounts/account_admin.h"

#include "nao_kinora_console/accounts/account_store.h"
#include "nao_kinora_console/accounts/database_roles.h"
#include "nao_kinora_console/http/json_text.h"
#include "nao_kinora_console/records/clinic_store.h"

#include <nlohmann/json.hpp>

#include <ostream>

namespace nao_kinora_console
{
namespace
{
const char* const kUsage =
    "usage: nao_kinora_console_admin add NAME [--admin] [--database FILE|URL]\n"
    "       nao_kinora_console_admin disable|enable|unlock|reset-password NAME [--database FILE|URL]\n"
    "       nao_kinora_console_admin list [--database FILE|URL]\n"
    "       nao_kinora_console_admin setup-roles --database postgresql://OWNER@HOST:PORT/DB --console-role ROLE\n"
    "A password is read from the terminal (twice) or from standard input (one line).\n";

struct Command
{
  std::string verb;
  std::string name;
  bool admin = false;
  std::string database = defaultDatabasePath();
  bool databaseGiven = false;
  std::string consoleRole;
};

bool isNamedVerb(const std::string& verb)
{
  return verb == "add" || verb == "disable" || verb == "enable" || verb == "unlock" || verb == "reset-password";
}

bool parse(const std::vector<std::string>& args, Command& c)
{
  std::vector<std::string> words;
  for (std::size_t i = 0; i < args.size(); ++i)
  {
    if (args[i] == "--admin")
      c.admin = true;
    else if (args[i] == "--database" && i + 1 < args.size())
    {
      c.database = args[++i];
      c.databaseGiven = true;
    }
    else if (args[i] == "--console-role" && i + 1 < args.size())
      c.consoleRole = args[++i];
    else if (args[i].compare(0, 2, "--") == 0)
      return false;
    else
      words.push_back(args[i]);
  }
  if (words.empty() || (c.admin && words[0] != "add") || (!c.consoleRole.empty() && words[0] != "setup-roles"))
    return false;
  c.verb = words[0];
  if (c.verb == "list")
    return words.size() == 1;
  if (c.verb == "setup-roles")
    return words.size() == 1 && c.databaseGiven && !c.consoleRole.empty();
  c.name = words.size() == 2 ? words[1] : "";
  return isNamedVerb(c.verb) && !c.name.empty();
}

// A new password, checked before it is hashed; "" when refused (said on err).
std::string newPassword(AdminIo& io)
{
  std::string first, again;
  if (!io.readSecret("Password: ", first))
  {
    *io.err << "no password given\n";
    return "";
  }
  const std::string why = checkPassword(first);
  if (!why.empty())
  {
    *io.err << why << "\n";
    return "";
  }
  if (io.terminal && (!io.readSecret("Again: ", again) || again != first))
  {
    *io.err << "the two passwords differ\n";
    return "";
  }
  return first;
}

// The tool's changes, each recorded in the trail as the admin tool's; the
// exit status is 1 once one failed to be recorded.
class Admin
{
public:
  Admin(SqlConnection& db, AdminIo& io)
      : db_(db), io_(io), who_("admin tool on " + hostRoomName()), trail_(db, wallNow), accounts_(db, wallNow)
  {
    accounts_.onLockEvent([this](const LockEvent& e) { record(lockEntry(e, who_, "")); });
  }

  int list();
  int add(const Command& c);
  int change(const Command& c);
  int setUpRoles(const Command& c);

private:
  void record(const AuditEvent& e)
  {
    const auto kept = trail_.record(e);
    if (!kept.ok())
      *io_.err << kept.error << ": " << e.action << " was not recorded in the audit trail\n";
    recorded_ = recorded_ && kept.ok();
  }
  void record(const std::string& action, const std::string& detail) { record({who_, "", action, 0, 0, detail}); }
  int refused(const std::string& why)
  {
    *io_.err << why << "\n";
    return 1;
  }
  int doneSaying(const std::string& what)
  {
    *io_.out << what << "\n";
    return recorded_ ? 0 : 1;
  }

  SqlConnection& db_;
  AdminIo& io_;
  std::string who_;
  AuditTrail trail_;
  AccountStore accounts_;
  bool recorded_ = true;
};

int Admin::list()
{
  const auto all = accounts_.accounts();
  if (!all.ok())
    return refused(all.error);
  for (const Account& a : all.value)
    *io_.out << a.name << " " << roleName(a.role) << (a.disabled ? " disabled" : "") << "\n";
  return 0;
}

int Admin::add(const Command& c)
{
  const std::string why = checkAccountName(c.name);
  if (!why.empty())
    return refused(why);
  const std::string password = newPassword(io_);
  if (password.empty())
    return 1;
  const Role role = c.admin ? Role::kAdmin : Role::kTherapist;
  const auto added = accounts_.addAccount(c.name, password, role);
  if (!added.ok())
    return refused(added.error);
  record("account added", jsonText({{"name", c.name}, {"role", roleName(role)}}));
  return doneSaying(std::string("added ") + roleName(role) + " " + c.name);
}

// disable, enable, unlock, reset-password: on an account that exists.
int Admin::change(const Command& c)
{
  const auto all = accounts_.accounts();
  if (!all.ok())
    return refused(all.error);
  for (const Account& a : all.value)
    if (a.name == c.name)
    {
      if (c.verb == "unlock")
      {
        const auto ended = accounts_.unlock(a.id);
        if (!ended.ok())
          return refused(ended.error);
        record("account unlocked", jsonText({{"name", a.name}}));
        return doneSaying("unlocked " + a.name + ": " + std::to_string(ended.value) +
                          (ended.value == 1 ? " lock" : " locks") + " ended");
      }
      const std::string password = c.verb == "reset-password" ? newPassword(io_) : "";
      if (c.verb == "reset-password" && password.empty())
        return 1;
      const Status changed =
          password.empty() ? accounts_.setDisabled(a.id, c.verb == "disable") : accounts_.setPassword(a.id, password);
      if (!changed.ok())
        return refused(changed.error);
      record(password.empty() ? "account " + c.verb + "d" : "password reset", jsonText({{"name", a.name}}));
      return doneSaying((password.empty() ? c.verb + "d " : "new password for ") + a.name);
    }
  return refused("no account named [" + c.name + "]");
}

int Admin::setUpRoles(const Command& c)
{
  Statement me(db_, "SELECT current_user");
  const std::string owner = me.step() ? me.text(0) : "";
  if (!me.failure().ok())
    return refused(me.error());
  me.reset();
  const auto exists = roleExists(db_, c.consoleRole);
  if (!exists.ok())
    return refused(exists.error);
  // A new role logs in with a password read as an account's; one that exists keeps its own.
  const std::string password = exists.value ? "" : newPassword(io_);
  if (!exists.value && password.empty())
    return 1;
  const Status set = nao_kinora_console::setUpRoles(db_, c.consoleRole, password);
  if (!set.ok())
    return refused(set.error);
  record("roles set up", jsonText({{"owner", owner}, {"console role", c.consoleRole}}));
  return doneSaying("the tables are " + owner + "'s; " + c.consoleRole +
                    " may read and add to the audit trail, and read and change the rest\n" +
                    "the console's database: postgresql://" + c.consoleRole + "@" + db_.describe());
}
}  // namespace

int runAccountAdmin(const std::vector<std::string>& args, AdminIo& io)
{
  Command c;
  if (!parse(args, c))
  {
    *io.err << kUsage;
    return 2;
  }
  if (c.verb == "setup-roles" && !isServerAddress(c.database))
  {
    *io.err << "setup-roles is for a PostgreSQL server (postgresql://OWNER@HOST:PORT/DB); an SQLite file is "
               "protected by its file's permissions (docs/accounts.md)\n";
    return 1;
  }
  // Opened as the console opens it: made when missing, refused when it
  // cannot be trusted, brought to this code's schema (by the owner, for
  // setup-roles). It serves no room.
  auto store = ClinicStore::open(c.database, hostRoomName(), false);
  if (!store.ok())
  {
    *io.err << store.error << "\n";
    return 1;
  }
  SqlError error;
  std::unique_ptr<SqlConnection> db = openConnection(c.database, false, error);
  if (!db)
  {
    *io.err << "cannot open [" << c.database << "]: " << error.message << "\n";
    return 1;
  }
  Admin admin(*db, io);
  if (c.verb == "list")
    return admin.list();
  if (c.verb == "add")
    return admin.add(c);
  if (c.verb == "setup-roles")
    return admin.setUpRoles(c);
  return admin.change(c);
}
}  // namespace nao_kinora_console
