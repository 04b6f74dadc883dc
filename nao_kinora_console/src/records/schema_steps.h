// The clinic schema's steps, one per version, on either back end.
#ifndef NAO_KINORA_CONSOLE_SCHEMA_STEPS_H
#define NAO_KINORA_CONSOLE_SCHEMA_STEPS_H

#include "nao_kinora_console/db/sql_connection.h"

#include <string>

namespace nao_kinora_console
{
// Takes the database from version to version + 1 (up to kSchemaVersion), inside the caller's
// transaction; room: the migrating console's, given to rows older than
// rooms. "" or why it failed.
std::string schemaStep(SqlConnection& db, int64_t version, const std::string& room);

// Two patients whose codes differ only in case are one patient since
// version 2: such a database is refused rather than merged, naming both.
// "" when there are none.
std::string sameCodes(SqlConnection& db);
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_SCHEMA_STEPS_H
