// Who may change the clinic's database on a PostgreSQL server. Its tables
// belong to an owner role, which brings the schema up to date; the console
// logs in as a role of its own that may only add to and read the audit trail
// (and read and change the other tables), so neither a fault nor an attacker
// in the console can rewrite the trail. The admin tool sets this up; the
// console checks it when it starts.
//
//   // as the owner, once the schema is up to date:
//   setUpRoles(*ownerDb, "kinora_console", password);
//   // the console, as its role:
//   const std::string warning = trailProtection(*db);  // "" when protected
#ifndef NAO_KINORA_CONSOLE_DATABASE_ROLES_H
#define NAO_KINORA_CONSOLE_DATABASE_ROLES_H

#include "nao_kinora_console/db/sql_connection.h"
#include "nao_kinora_console/db/store_result.h"

#include <string>

namespace nao_kinora_console
{
// The console's role: 1 to 63 lower-case letters, digits and '_', the first
// a letter. "" or why not.
std::string checkRoleName(const std::string& role);

// Whether the role exists on the server.
Result<bool> roleExists(SqlConnection& db, const std::string& role);

// Run as the tables' owner (or a superuser) once the schema is up to date.
// Makes the role (LOGIN, with the password) when it is missing; takes from it
// whatever it owns in this database (the tables, the database itself) for
// the role logged in here; then grants it SELECT, INSERT, UPDATE and DELETE
// on the clinic's tables, only SELECT and INSERT on the audit trail, only
// SELECT on schema_version. Refused (kRule) for a role that is the one
// logged in here, a superuser, or a member of the owner: the trail would not
// be protected from it.
Status setUpRoles(SqlConnection& owner, const std::string& role, const std::string& password);

// "" when the connection's role can neither change nor remove the trail's
// entries; else the warning to give once: it owns the trail, its schema or
// the database, or is a superuser. Always "" on an SQLite file, which is
// protected by its file's permissions (docs/accounts.md).
std::string trailProtection(SqlConnection& db);

// Before the console brings a server's schema from version to newest: ""
// when its role may (it owns the tables, or is a superuser; on a new
// database, it may make tables), else why not and the command to run.
std::string upgradeRefusal(SqlConnection& db, int64_t version, int64_t newest);
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_DATABASE_ROLES_H
