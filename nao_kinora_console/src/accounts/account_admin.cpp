// The accounts' command line over the clinic's database: the schema is
// brought up to date as the console would, then one change is made.
#include "nao_kinora_console/accounts/account_admin.h"

#include "nao_kinora_console/accounts/account_store.h"
#include "nao_kinora_console/records/clinic_store.h"

#include <ostream>

namespace nao_kinora_console
{
namespace
{
const char* const kUsage =
    "usage: nao_kinora_console_admin add NAME [--admin] [--database FILE]\n"
    "       nao_kinora_console_admin disable|enable NAME [--database FILE]\n"
    "       nao_kinora_console_admin list [--database FILE]\n"
    "The password is read from the terminal (twice) or from standard input (one line).\n";

struct Command
{
  std::string verb;
  std::string name;
  bool admin = false;
  std::string database = defaultDatabasePath();
};

bool parse(const std::vector<std::string>& args, Command& c)
{
  std::vector<std::string> words;
  for (std::size_t i = 0; i < args.size(); ++i)
  {
    if (args[i] == "--admin")
      c.admin = true;
    else if (args[i] == "--database" && i + 1 < args.size())
      c.database = args[++i];
    else if (args[i].compare(0, 2, "--") == 0)
      return false;
    else
      words.push_back(args[i]);
  }
  if (words.empty())
    return false;
  c.verb = words[0];
  if (c.verb == "list")
    return words.size() == 1 && !c.admin;
  if (c.verb != "add" && c.verb != "disable" && c.verb != "enable")
    return false;
  c.name = words.size() == 2 ? words[1] : "";
  return !c.name.empty() && (c.verb == "add" || !c.admin);
}

// The new password, checked before it is hashed; "" when refused (said on err).
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

int run(const Command& c, AccountStore& accounts, AdminIo& io)
{
  const auto all = accounts.accounts();
  if (!all.ok())
  {
    *io.err << all.error << "\n";
    return 1;
  }
  if (c.verb == "list")
  {
    for (const Account& a : all.value)
      *io.out << a.name << " " << roleName(a.role) << (a.disabled ? " disabled" : "") << "\n";
    return 0;
  }
  if (c.verb == "add")
  {
    std::string why = checkAccountName(c.name);
    const std::string password = why.empty() ? newPassword(io) : "";
    if (!why.empty() || password.empty())
    {
      if (!why.empty())
        *io.err << why << "\n";
      return 1;
    }
    const auto added = accounts.addAccount(c.name, password, c.admin ? Role::kAdmin : Role::kTherapist);
    if (!added.ok())
    {
      *io.err << added.error << "\n";
      return 1;
    }
    *io.out << "added " << (c.admin ? "admin " : "therapist ") << c.name << "\n";
    return 0;
  }
  for (const Account& a : all.value)
    if (a.name == c.name)
    {
      const Status changed = accounts.setDisabled(a.id, c.verb == "disable");
      if (!changed.ok())
        *io.err << changed.error << "\n";
      else
        *io.out << c.verb << "d " << c.name << "\n";
      return changed.ok() ? 0 : 1;
    }
  *io.err << "no account named [" << c.name << "]\n";
  return 1;
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
  // Opened as the console opens it: made when missing, refused when it
  // cannot be trusted, brought to this code's schema.
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
  AccountStore accounts(*db, wallNow);
  return run(c, accounts, io);
}
}  // namespace nao_kinora_console
