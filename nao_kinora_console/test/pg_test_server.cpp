#include "pg_test_server.h"

#include "test_util.h"

#include <libpq-fe.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace kinora_test
{
namespace
{
// Bounds that only a hung or broken server reaches: initdb and a start take
// a few seconds on a loaded machine.
const double kInitSeconds = 120.0;
const double kStartSeconds = 60.0;
const double kStopSeconds = 60.0;
const double kPoll = 0.01;
const int kPortAttempts = 3;  // another process may take the free port before the server binds it
const char* const kSuperuser = "kinora";

// The newest server Debian installed: /usr/lib/postgresql/<version>/bin.
std::string serverBin()
{
  int newest = 0;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", ignored))
  {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") == std::string::npos &&
        std::filesystem::exists(entry.path() / "bin" / "initdb") && std::stoi(name) > newest)
      newest = std::stoi(name);
  }
  if (newest == 0)
    throw std::runtime_error("no PostgreSQL server under /usr/lib/postgresql (scripts/setup.sh installs it)");
  return "/usr/lib/postgresql/" + std::to_string(newest) + "/bin/";
}

// The server refuses to run as root: it runs as postgres (Debian's package
// makes that user) or else nobody.
std::string serverUser()
{
  return getpwnam("postgres") ? "postgres" : "nobody";
}

int freePort(const std::string& address)
{
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  socklen_t length = sizeof(a);
  const bool found = fd >= 0 && inet_pton(AF_INET, address.c_str(), &a.sin_addr) == 1 &&
                     bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 &&
                     getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) == 0;
  close(fd);
  if (!found)
    throw std::runtime_error("no free port on [" + address + "]");
  return ntohs(a.sin_port);
}

std::vector<std::string> asUser(const std::string& user, std::vector<std::string> command)
{
  std::vector<std::string> argv = {"setpriv",      "--reuid", user, "--regid", user == "nobody" ? "nogroup" : user,
                                   "--init-groups"};
  argv.insert(argv.end(), command.begin(), command.end());
  return argv;
}

// initdb takes seconds; a copy of a cluster it made takes a fraction of one.
// The first server of a run makes the template (its own initdb, then a
// rename, so that two made at once leave one whole template); every server
// copies it. Kept per server version and user, under /tmp like the clusters.
std::string makeClusterTemplate(const std::string& bin, const std::string& user)
{
  const std::string version = std::filesystem::path(bin).parent_path().parent_path().filename();
  const std::string kept = "/tmp/kinora_pg_template_" + version + "_" + user + "_" + std::to_string(getuid());
  if (std::filesystem::exists(kept + "/PG_VERSION"))
    return kept;
  std::string dir = "/tmp/kinora_pg_making.XXXXXX";
  if (!mkdtemp(&dir[0]))
    throw std::runtime_error("cannot make a folder for the PostgreSQL template");
  const passwd* owner = getpwnam(user.c_str());
  if (!owner || chown(dir.c_str(), owner->pw_uid, owner->pw_gid) != 0)
    throw std::runtime_error("cannot give [" + dir + "] to " + user);
  Process initdb(asUser(user, {bin + "initdb", "-D", dir + "/data", "-U", kSuperuser, "--auth=trust", "-E", "UTF8",
                               "--locale=C.UTF-8", "--no-sync", "--no-instructions"}));
  std::error_code ignored;
  if (!initdb.waitExit(kInitSeconds) || initdb.exitStatus() != 0)
  {
    std::filesystem::remove_all(dir, ignored);
    throw std::runtime_error("initdb failed: " + initdb.out() + initdb.err());
  }
  // Another test may have made it meanwhile: theirs is as good.
  if (rename((dir + "/data").c_str(), kept.c_str()) != 0 && !std::filesystem::exists(kept + "/PG_VERSION"))
    throw std::runtime_error("cannot keep the PostgreSQL template at [" + kept + "]");
  std::filesystem::remove_all(dir, ignored);
  return kept;
}

void copyCluster(const std::string& from, const std::string& to)
{
  Process copy({"cp", "-a", from, to});
  if (!copy.waitExit(kInitSeconds) || copy.exitStatus() != 0)
    throw std::runtime_error("cannot copy the PostgreSQL template [" + from + "]: " + copy.err());
}
}  // namespace

PgServer::PgServer(const std::string& address) : address_(address), bin_(serverBin()), user_(serverUser())
{
  std::string dir = "/tmp/kinora_pg.XXXXXX";
  if (!mkdtemp(&dir[0]))
    throw std::runtime_error("cannot make a folder for the PostgreSQL server");
  dir_ = dir;
  const passwd* owner = getpwnam(user_.c_str());
  try
  {
    if (!owner || chown(dir_.c_str(), owner->pw_uid, owner->pw_gid) != 0)
      throw std::runtime_error("cannot give [" + dir_ + "] to " + user_);
    copyCluster(makeClusterTemplate(bin_, user_), dir_ + "/data");
    if (address_ != "127.0.0.1")
      std::ofstream(dir_ + "/data/pg_hba.conf", std::ios::app) << "host all all samenet trust\n";
    launch();
    createDatabase("kinora");
  }
  catch (...)
  {
    end();
    throw;
  }
}

PgServer::~PgServer()
{
  end();
}

void PgServer::end()
{
  if (running())
  {
    server_->interrupt();
    server_->waitExit(kStopSeconds);
  }
  server_.reset();
  std::error_code ignored;  // a leftover temporary folder is no reason to fail a test
  std::filesystem::remove_all(dir_, ignored);
}

// A few ports are tried: the one found free may be taken before the server binds it.
void PgServer::launch()
{
  std::string failures;
  for (int attempt = 0; attempt < kPortAttempts; ++attempt)
  {
    port_ = freePort(address_);
    start();
    if (running())
      return;
    failures += server_->err();
  }
  throw std::runtime_error("the PostgreSQL server did not start: " + failures);
}

void PgServer::start()
{
  if (server_)
    pastLog_ += server_->err();
  // fsync off: a test's cluster need not survive a crash of the machine. The
  // parent-death signal stops the server (fast) if the test process dies.
  server_.reset(new Process(
      asUser(user_, {"--pdeathsig", "SIGINT", bin_ + "postgres", "-D", dir_ + "/data", "-p", std::to_string(port_),
                     "-k", dir_, "-c", "listen_addresses=" + address_, "-c", "fsync=off"})));
  if (!waitWallFor([this] { return accepting() || !server_->running(); }, kStartSeconds, kPoll))
    throw std::runtime_error("the PostgreSQL server did not answer: " + server_->err());
}

bool PgServer::accepting() const
{
  const std::string conninfo = "host=" + address_ + " port=" + std::to_string(port_) + " user=" + kSuperuser +
                               " dbname=postgres connect_timeout=5";
  return PQping(conninfo.c_str()) == PQPING_OK;
}

void PgServer::stop()
{
  server_->interrupt();  // SIGINT: fast shutdown
  if (!server_->waitExit(kStopSeconds))
    throw std::runtime_error("the PostgreSQL server did not stop: " + server_->err());
}

bool PgServer::running() const
{
  return server_ && server_->running();
}

std::string PgServer::url(const std::string& db) const
{
  return "postgresql://" + std::string(kSuperuser) + "@" + address_ + ":" + std::to_string(port_) + "/" + db;
}

std::string PgServer::createDatabase(const std::string& name)
{
  if (name.empty() || name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") != std::string::npos)
    throw std::invalid_argument("database name [" + name + "]: lower-case letters, digits and '_' only");
  PGconn* c = PQconnectdb(
      ("host=" + address_ + " port=" + std::to_string(port_) + " user=" + kSuperuser + " dbname=postgres").c_str());
  PGresult* r = PQexec(c, ("CREATE DATABASE " + name).c_str());  // a name checked above
  const std::string why = PQresultStatus(r) == PGRES_COMMAND_OK ? "" : PQerrorMessage(c);
  PQclear(r);
  PQfinish(c);
  if (!why.empty())
    throw std::runtime_error("CREATE DATABASE " + name + ": " + why);
  return url(name);
}

std::string PgServer::log() const
{
  return pastLog_ + (server_ ? server_->err() : "");
}

namespace
{
// The server's postmaster and every process it started (setpriv execs the
// postmaster in place, so the test's child is the postmaster).
std::vector<pid_t> serverProcesses(pid_t postmaster)
{
  std::vector<pid_t> all{postmaster};
  for (const auto& entry : std::filesystem::directory_iterator("/proc"))
  {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos)
      continue;
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    std::getline(stat, line);
    // pid (comm) state ppid ...: comm may hold spaces, so read after the last ')'.
    const std::size_t close = line.rfind(')');
    std::istringstream rest(close == std::string::npos ? "" : line.substr(close + 2));
    char state = 0;
    pid_t parent = 0;
    if (rest >> state >> parent && parent == postmaster)
      all.push_back(static_cast<pid_t>(std::stol(name)));
  }
  return all;
}
}  // namespace

void PgServer::freeze()
{
  for (pid_t pid : serverProcesses(server_->pid()))
    kill(pid, SIGSTOP);
}

void PgServer::thaw()
{
  for (pid_t pid : serverProcesses(server_->pid()))
    kill(pid, SIGCONT);
}

PgServer& sharedPgServer()
{
  // Made on first use, stopped when the program exits.
  static PgServer server;
  return server;
}

std::string freshDatabase()
{
  static int made = 0;
  return sharedPgServer().createDatabase("case_" + std::to_string(getpid()) + "_" + std::to_string(++made));
}
}  // namespace kinora_test
