// What the PostgreSQL back end reads and writes as text: SQLSTATEs as
// faults, the store's placeholders, and a server's name for messages.
#include "nao_kinora_console/db/pg_connection.h"

#include <libpq-fe.h>

namespace nao_kinora_console
{
namespace
{
// The URL as a person may read it: the user's password left out, since
// libpq's own words about a malformed URL repeat it whole.
std::string withoutPassword(const std::string& url)
{
  const std::size_t start = url.find("://") + 3;
  const std::size_t at = url.find('@', start);
  const std::size_t colon = url.find(':', start);
  if (at == std::string::npos || colon == std::string::npos || colon > at)
    return url;
  return url.substr(0, colon) + url.substr(at);
}

std::string option(const PQconninfoOption* options, const char* keyword)
{
  for (const PQconninfoOption* o = options; o->keyword; ++o)
    if (std::string(o->keyword) == keyword && o->val && *o->val)
      return o->val;
  return "";
}
}  // namespace

SqlFault pgFault(const std::string& sqlstate)
{
  const std::string group = sqlstate.substr(0, 2);
  if (sqlstate == "23505")
    return SqlFault::kTaken;
  if (group == "23" || group == "22")  // integrity rules; data the column cannot take
    return SqlFault::kConstraint;
  if (sqlstate == "40001" || sqlstate == "40P01" || sqlstate == "55P03")  // serialization, deadlock, lock wait
    return SqlFault::kBusy;
  // Connection faults, a server shutting down or out of resources.
  if (group == "08" || group == "53" || sqlstate == "57P01" || sqlstate == "57P02" || sqlstate == "57P03")
    return SqlFault::kUnavailable;
  if (sqlstate == "XX001" || sqlstate == "XX002")  // data or index corrupted
    return SqlFault::kCorrupt;
  return SqlFault::kInternal;
}

std::string numberPlaceholders(const std::string& sql, int& count)
{
  std::string out;
  count = 0;
  for (std::size_t i = 0; i < sql.size();)
  {
    const char c = sql[i];
    std::size_t end = i + 1;    // the end of what is copied as it is
    if (c == '\'' || c == '"')  // a doubled quote inside reads as two quoted runs
      end = std::min(sql.find(c, i + 1), sql.size() - 1) + 1;
    else if (c == '-' && sql.compare(i, 2, "--") == 0)
      end = std::min(sql.find('\n', i), sql.size());
    else if (c == '/' && sql.compare(i, 2, "/*") == 0)
    {
      int depth = 0;  // block comments nest on the server
      for (end = i; end < sql.size(); ++end)
        if (sql.compare(end, 2, "/*") == 0)
          ++depth, ++end;
        else if (sql.compare(end, 2, "*/") == 0 && --depth == 0)
          break;
      end = std::min(end + 2, sql.size());
    }
    else if (c == '?')
    {
      out += "$" + std::to_string(++count);
      ++i;
      continue;
    }
    out.append(sql, i, end - i);
    i = end;
  }
  return out;
}

bool describeServer(const std::string& url, std::string& name, std::string& why)
{
  if (!isServerAddress(url))
  {
    why = "[" + url + "] is not a postgresql:// address";
    return false;
  }
  char* error = nullptr;
  PQconninfoOption* options = PQconninfoParse(url.c_str(), &error);
  PQfreemem(error);
  if (!options)
  {
    why = "[" + withoutPassword(url) + "] is not a PostgreSQL address (postgresql://USER@HOST:PORT/DB)";
    return false;
  }
  std::string host = option(options, "host");
  if (host.empty())
    host = option(options, "hostaddr");
  const std::string port = option(options, "port");
  std::string db = option(options, "dbname");
  if (db.empty())
    db = option(options, "user");  // the server's default
  PQconninfoFree(options);
  name = (host.empty() ? "localhost" : host) + ":" + (port.empty() ? "5432" : port) + "/" + db;
  return true;
}
}  // namespace nao_kinora_console
