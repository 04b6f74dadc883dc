// The owner's and the console's roles on a PostgreSQL server: made and
// granted by the admin tool, checked by the console. Names and passwords
// reach DDL only through the server's own quoting (format's %I and %L), and
// the password only as the hash libpq makes of it.
#include "nao_kinora_console/accounts/database_roles.h"

#include "nao_kinora_console/db/pg_connection.h"

#include <libpq-fe.h>

namespace nao_kinora_console
{
namespace
{
const char* const kSetUpCommand = "rosrun nao_kinora_console nao_kinora_console_admin setup-roles";

// What the console's role may do, written by the server for the schema of
// the tables (%1$I) and the role (%2$I): everything taken back first, so
// running it again gives the same grants.
const char* const kGrants =
    "SELECT format('REVOKE ALL ON ALL TABLES IN SCHEMA %1$I FROM %2$I;"
    " REVOKE ALL ON ALL SEQUENCES IN SCHEMA %1$I FROM %2$I;"
    " GRANT USAGE ON SCHEMA %1$I TO %2$I;"
    " GRANT SELECT, INSERT, UPDATE, DELETE ON ALL TABLES IN SCHEMA %1$I TO %2$I;"
    " GRANT USAGE ON ALL SEQUENCES IN SCHEMA %1$I TO %2$I;"
    " REVOKE UPDATE, DELETE ON %1$I.audit FROM %2$I;"
    " REVOKE INSERT, UPDATE, DELETE ON %1$I.schema_version FROM %2$I', current_schema(), CAST(? AS TEXT))";

// The one text the statement gives, "" when none (with why in error).
std::string textOf(Statement& s, std::string& error)
{
  const std::string text = s.step() ? s.text(0) : "";
  error = s.error();
  return text;
}

// The server writes the statement that makes the role, around the password's hash.
std::string createRoleSql(SqlConnection& db, const std::string& role, const std::string& password, std::string& error)
{
  auto* pg = dynamic_cast<PgConnection*>(&db);
  char* hash =
      pg && pg->handle() ? PQencryptPasswordConn(pg->handle(), password.c_str(), role.c_str(), nullptr) : nullptr;
  if (!hash)
  {
    error = "cannot hash its password";
    if (pg && pg->handle())
      error += std::string(": ") + PQerrorMessage(pg->handle());
    return "";
  }
  Statement s(db, "SELECT format('CREATE ROLE %I LOGIN PASSWORD %L', CAST(? AS TEXT), CAST(? AS TEXT))");
  s.bind(1, role).bind(2, std::string(hash));
  PQfreemem(hash);
  return textOf(s, error);
}

// Why the role could change the trail whatever it is granted; "" when it
// could not. Its own objects are not looked at here (they are taken from it).
std::string tooPowerful(SqlConnection& db, const std::string& role, bool ownObjects)
{
  Statement s(db,
              "SELECT r.rolname = current_user, r.rolsuper, pg_has_role(r.oid, c.relowner, 'MEMBER')"
              " FROM pg_roles r, pg_class c WHERE r.rolname = ? AND c.oid = to_regclass('audit')");
  if (!s.bind(1, role).step())
    return s.failure().ok() ? "" : s.error();
  if (s.integer(0))
    return "the console's role [" + role + "] is the one logged in here: set up as another role, the tables' owner";
  if (s.integer(1))
    return "the console's role [" + role + "] is a superuser: it could change the audit trail whatever it is granted";
  if (s.integer(2) && !ownObjects)
    return "the console's role [" + role + "] is a member of the tables' owner: it could change the audit trail";
  return "";
}

// Whether the role owns the database, the tables' schema or anything in it:
// a console that set the database up as its own role did.
Result<bool> ownsObjects(SqlConnection& db, const std::string& role)
{
  Statement s(db,
              "SELECT EXISTS (SELECT 1 FROM pg_class c WHERE c.relowner = r.oid"
              "   AND c.relnamespace = to_regnamespace(current_schema()))"
              " OR EXISTS (SELECT 1 FROM pg_proc p WHERE p.proowner = r.oid"
              "   AND p.pronamespace = to_regnamespace(current_schema()))"
              " OR EXISTS (SELECT 1 FROM pg_namespace n WHERE n.nspowner = r.oid AND n.nspname = current_schema())"
              " OR EXISTS (SELECT 1 FROM pg_database d WHERE d.datdba = r.oid AND d.datname = current_database())"
              " FROM pg_roles r WHERE r.rolname = ?");
  Result<bool> owns;
  owns.value = s.bind(1, role).step() && s.integer(0);
  return s.failure().ok() ? owns : Result<bool>::fail(s.error(), Fault::kDatabase);
}

// The statement the server writes from format and the role's name; "" with why in error.
std::string formatted(SqlConnection& db, const char* format, const std::string& role, std::string& error)
{
  Statement s(db, format);
  s.bind(1, role);
  return textOf(s, error);
}
}  // namespace

std::string checkRoleName(const std::string& role)
{
  if (role.empty() || role.size() > 63 || !(role[0] >= 'a' && role[0] <= 'z') ||
      role.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") != std::string::npos)
    return "the console's role must be 1 to 63 lower-case letters, digits and '_', the first a letter";
  return "";
}

Result<bool> roleExists(SqlConnection& db, const std::string& role)
{
  Statement s(db, "SELECT count(*) FROM pg_roles WHERE rolname = ?");
  Result<bool> exists;
  exists.value = s.bind(1, role).step() && s.integer(0) > 0;
  return s.failure().ok() ? exists : Result<bool>::fail(s.error(), Fault::kDatabase);
}

Status setUpRoles(SqlConnection& owner, const std::string& role, const std::string& password)
{
  std::string why = checkRoleName(role);
  if (!why.empty())
    return Status::fail(why);
  const auto exists = roleExists(owner, role);
  if (!exists.ok())
    return Status::failAs(exists);
  std::string sql;
  if (!exists.value)
  {
    sql = createRoleSql(owner, role, password, why);
    if (sql.empty() || !(why = owner.execute(sql).message).empty())
      return Status::fail("cannot make the role [" + role + "]: " + why, Fault::kDatabase);
  }
  const auto owns = ownsObjects(owner, role);
  if (!owns.ok())
    return Status::failAs(owns);
  why = tooPowerful(owner, role, owns.value);
  if (!why.empty())
    return Status::fail(why);
  // What a console made as its own role becomes this role's.
  if (owns.value)
  {
    sql = formatted(owner, "SELECT format('REASSIGN OWNED BY %I TO CURRENT_USER', CAST(? AS TEXT))", role, why);
    if (why.empty())
      why = owner.execute(sql).message;
    if (!why.empty())
      return Status::fail("cannot take the tables from the role [" + role + "]: " + why, Fault::kDatabase);
    why = tooPowerful(owner, role, false);
    if (!why.empty())
      return Status::fail(why);
  }
  sql = formatted(owner, kGrants, role, why);
  if (why.empty())
    why = owner.execute(sql).message;
  return why.empty() ? done()
                     : Status::fail("cannot grant the role [" + role + "] its rights: " + why, Fault::kDatabase);
}

std::string trailProtection(SqlConnection& db)
{
  if (db.dialect() == SqlDialect::kSqlite)
    return "";
  Statement s(db,
              "SELECT current_user, r.rolsuper, pg_has_role(c.relowner, 'MEMBER'),"
              " pg_has_role(n.nspowner, 'MEMBER'), pg_has_role(d.datdba, 'MEMBER')"
              " FROM pg_roles r, pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace, pg_database d"
              " WHERE r.rolname = current_user AND c.oid = to_regclass('audit') AND d.datname = current_database()");
  if (!s.step())
    return s.failure().ok() ? "" : "cannot tell whether the audit trail is protected: " + s.error();
  const std::string role = s.text(0);
  const std::string what = s.integer(1)   ? "is a superuser"
                           : s.integer(2) ? "owns the tables"
                           : s.integer(3) ? "owns the tables' schema"
                           : s.integer(4) ? "owns the database"
                                          : "";
  if (what.empty())
    return "";
  return "the audit trail is not protected: the console logs in to the database as [" + role + "], which " + what +
         " and so could change or remove entries; give the tables to another role with: " + kSetUpCommand +
         " --database postgresql://OWNER@" + db.describe() + " --console-role " + role +
         " (docs/accounts.md); the console goes on";
}

std::string upgradeRefusal(SqlConnection& db, int64_t version, int64_t newest)
{
  if (db.dialect() == SqlDialect::kSqlite)
    return "";
  // A new database: the role makes the tables, and owns them.
  Statement s(db, version == 0 ? "SELECT current_user, has_schema_privilege(current_schema(), 'CREATE')"
                               : "SELECT current_user, r.rolsuper OR pg_has_role(c.relowner, 'MEMBER')"
                                 " FROM pg_roles r, pg_class c"
                                 " WHERE r.rolname = current_user AND c.oid = to_regclass('schema_version')");
  if (!s.step() || s.integer(1))
    return s.error();
  const std::string role = s.text(0);
  const std::string command =
      std::string(kSetUpCommand) + " --database postgresql://OWNER@" + db.describe() + " --console-role " + role;
  if (version == 0)
    return "empty, and the console's role [" + role +
           "] may not make tables in it: set it up as its owner with: " + command;
  return "schema version " + std::to_string(version) + ", this console needs " + std::to_string(newest) +
         ", and its role [" + role +
         "] may not change the tables: bring them up to date as their owner with: " + command;
}
}  // namespace nao_kinora_console
