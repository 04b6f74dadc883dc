// nao_kinora_console_admin: the console's accounts from the command line
// (see account_admin.h). No ROS: it works on the database alone.
#include "nao_kinora_console/accounts/account_admin.h"

#include <termios.h>
#include <unistd.h>

#include <iostream>

namespace
{
// One line from standard input; on a terminal the prompt goes to standard
// error and what is typed is not shown.
bool readSecret(const std::string& prompt, std::string& line)
{
  termios before;
  const bool terminal = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &before) == 0;
  if (terminal)
  {
    std::cerr << prompt << std::flush;
    termios quiet = before;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  const bool read = static_cast<bool>(std::getline(std::cin, line));
  if (terminal)
  {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &before);
    std::cerr << std::endl;
  }
  return read;
}
}  // namespace

int main(int argc, char** argv)
{
  nao_kinora_console::AdminIo io;
  io.readSecret = readSecret;
  io.terminal = isatty(STDIN_FILENO);
  io.out = &std::cout;
  io.err = &std::cerr;
  return nao_kinora_console::runAccountAdmin(std::vector<std::string>(argv + 1, argv + argc), io);
}
