// A PostgreSQL server of the test's own: Debian's postgresql, a new cluster
// (initdb) in a temporary folder owned by an unprivileged user, on a free
// port, listening on one address. Stopped (fast shutdown) and removed when
// the object goes, also when the test fails; if the test process dies, the
// server is told to stop (a parent-death signal).
//
//   kinora_test::PgServer server;  // initdb, start, database "kinora"
//   auto db = openConnection(server.url(), false, error);
//   server.stop();   // connections are lost
//   server.start();  // same cluster, same port
#ifndef NAO_KINORA_CONSOLE_TEST_PG_TEST_SERVER_H
#define NAO_KINORA_CONSOLE_TEST_PG_TEST_SERVER_H

#include "processes.h"

#include <memory>
#include <string>

namespace kinora_test
{
class PgServer
{
public:
  // address: an IPv4 address of this host to listen on; another than
  // loopback (one end of a veth pair into a network namespace) also lets in
  // the hosts of its subnet. Throws std::runtime_error when the server cannot
  // be made or does not answer.
  explicit PgServer(const std::string& address = "127.0.0.1");
  ~PgServer();
  PgServer(const PgServer&) = delete;
  PgServer& operator=(const PgServer&) = delete;

  // Fast shutdown: clients are cut off; returns once the server has exited.
  void stop();
  // The same cluster on the same port; returns once it accepts connections.
  void start();
  bool running() const;
  // Hung, not gone: every process of the server stopped (SIGSTOP), so its
  // kernel still takes connections and bytes and nothing answers; thaw()
  // lets them go on (SIGCONT).
  void freeze();
  void thaw();

  const std::string& address() const { return address_; }
  int port() const { return port_; }
  // postgresql://kinora@ADDRESS:PORT/db (kinora is the cluster's superuser,
  // let in without a password).
  std::string url(const std::string& db = "kinora") const;
  // A new empty database (name: letters, digits, '_'); returns its url.
  std::string createDatabase(const std::string& name);
  // The cluster's files (owned by the server's user).
  std::string dataDir() const { return dir_ + "/data"; }
  // What the server logged, over all its starts.
  std::string log() const;

private:
  void launch();
  bool accepting() const;
  void end();  // stopped and removed

  std::string address_;
  int port_ = 0;
  std::string bin_;
  std::string user_;
  std::string dir_;
  std::unique_ptr<Process> server_;
  std::string pastLog_;
};

// One server for the whole test program (a case that stops or freezes its
// server makes its own), and a new empty database on it for each case: its url.
PgServer& sharedPgServer();
std::string freshDatabase();
}  // namespace kinora_test

#endif  // NAO_KINORA_CONSOLE_TEST_PG_TEST_SERVER_H
