// The console's accounts from the command line: the first admin is made
// here, with a password typed (twice) or piped (once), never a default one.
// Each change is recorded in the audit trail as "admin tool on HOST".
//
//   nao_kinora_console_admin add NAME [--admin] [--database FILE|URL]
//   nao_kinora_console_admin disable|enable NAME [--database FILE|URL]
//   nao_kinora_console_admin unlock NAME [--database FILE|URL]          (its locks at every address)
//   nao_kinora_console_admin reset-password NAME [--database FILE|URL]
//   nao_kinora_console_admin list [--database FILE|URL]
//   nao_kinora_console_admin setup-roles --database postgresql://OWNER@HOST:PORT/DB --console-role ROLE
#ifndef NAO_KINORA_CONSOLE_ACCOUNT_ADMIN_H
#define NAO_KINORA_CONSOLE_ACCOUNT_ADMIN_H

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace nao_kinora_console
{
struct AdminIo
{
  // One line of the password; prompt is shown (without echo) on a terminal.
  std::function<bool(const std::string& prompt, std::string& line)> readSecret;
  bool terminal = false;  // asked twice when typed, once when piped
  std::ostream* out;      // what was done, for the person
  std::ostream* err;      // why not
};

// Runs one command (args without the program's name); the exit status: 0
// done, 1 refused or failed, 2 a usage error.
int runAccountAdmin(const std::vector<std::string>& args, AdminIo& io);
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_ACCOUNT_ADMIN_H
