// The console program with its clinic: the database files it refuses (one
// line naming the file, exit 1, the file left as it was), watching only
// without a database, every open page told of a change, and a console killed with SIGKILL under a running
// session: the file is sound, nothing half written, and a console started
// again attaches to the session, which completes with nothing lost.
#include "clinic_test_util.h"
#include "pg_test_server.h"
#include "console_fixture.h"

#include "nao_kinora_console/session/session_launcher.h"
#include "nao_kinora_console/records/session_ingest.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <signal.h>
#include <unistd.h>

#include <functional>

namespace
{
using namespace clinic_test;
using console_test::Console;
using console_test::request;
using kinora_test::readFile;

const double kWall = 60;  // a stretch of the run, on a loaded machine

void sql(const std::string& path, const std::string& text)
{
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, text.c_str(), nullptr, nullptr, nullptr)) << sqlite3_errmsg(db);
  sqlite3_close(db);
}

std::string integrity(const std::string& path)
{
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* s = nullptr;
  sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &s, nullptr);
  const std::string result =
      sqlite3_step(s) == SQLITE_ROW ? reinterpret_cast<const char*>(sqlite3_column_text(s, 0)) : "";
  sqlite3_finalize(s);
  sqlite3_close(db);
  return result;
}

struct DatabaseCase
{
  const char* name;
  std::function<void(const std::string&)> make;
  std::string reason;
};

const DatabaseCase kDatabases[] = {
    {"newer schema",
     [](const std::string& p)
     {
       openStore(p);
       sql(p, "PRAGMA user_version=" + std::to_string(kSchemaVersion + 3));
     },
     "written by a newer console (schema version " + std::to_string(kSchemaVersion + 3) +
         ", this console knows up to " + std::to_string(kSchemaVersion) + "); left as it is"},
    {"garbage", [](const std::string& p) { std::ofstream(p) << std::string(8192, 'x'); },
     "unreadable or corrupt (file is not a database); left as it is"},
    {"truncated",
     [](const std::string& p)
     {
       {
         auto store = openStore(p);
         for (int i = 0; i < 300; ++i)
           store->addPatient("P-" + std::to_string(i), std::string(200, 'n'));
       }
       ASSERT_EQ(0, truncate(p.c_str(), 8192));
     },
     "unreadable or corrupt (database disk image is malformed); left as it is"},
    {"a folder", [](const std::string& p) { mkdir(p.c_str(), 0700); }, "it is not a regular file"},
};

TEST(ConsoleClinic, RefusesADatabaseItCannotTrust)
{
  kinora_test::Harness harness(false);
  for (const DatabaseCase& c : kDatabases)
  {
    kinora_test::TempDir dir;
    const std::string path = dir.path() + "clinic.db";
    c.make(path);
    const std::string before = readFile(path);
    auto console = console_test::startConsole({"_port:=0", "_database:=" + path});
    ASSERT_TRUE(console->waitExit(30)) << c.name;
    EXPECT_EQ(1, console->exitStatus()) << c.name;
    const std::string err = console->err();
    EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << c.name << ": " << err;
    EXPECT_NE(std::string::npos, err.find("clinic database [" + path + "]: " + c.reason)) << c.name << ": " << err;
    EXPECT_EQ("", console->out()) << c.name;
    EXPECT_EQ(before, readFile(path)) << c.name;
  }
}

TEST(ConsoleClinic, WithoutADatabaseItOnlyWatches)
{
  kinora_test::Harness harness(false);
  Console console({"_database:="});
  ASSERT_GT(console.port, 0);
  const console_test::Reply r = request(console.port, "GET", "/api/clinic/patients");
  EXPECT_EQ(503, r.status);
  EXPECT_NE(std::string::npos, r.body.find("started without a database")) << r.body;
  EXPECT_EQ(200, request(console.port, "GET", "/api/status").status);
  EXPECT_NE(0, access((std::string(getenv("ROS_HOME")) + "/nao_kinora/clinic.db").c_str(), F_OK));
  // No database, no trail to protect: nothing said about it.
  EXPECT_EQ(std::string::npos, console.process->err().find("the audit trail is not protected"))
      << console.process->err();
}

// A server that cannot be reached, or a room's name that cannot be used:
// one line naming it, exit 1, nothing printed on standard output.
TEST(ConsoleClinic, RefusesAnUnreachableServerOrABadRoom)
{
  kinora_test::Harness harness(false);
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"_database:=postgresql://kinora@127.0.0.1:1/clinic"},
       "cannot reach the database server [127.0.0.1:1/clinic]: "},
      {{"_room:=" + std::string(41, 'x')}, "~room: 41 characters; at most 40"},
  };
  for (const auto& c : cases)
  {
    std::vector<std::string> params = {"_port:=0"};
    params.insert(params.end(), c.first.begin(), c.first.end());
    auto console = console_test::startConsole(params);
    ASSERT_TRUE(console->waitExit(30)) << c.second;
    EXPECT_EQ(1, console->exitStatus()) << c.second;
    const std::string err = console->err();
    EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << err;
    EXPECT_NE(std::string::npos, err.find(c.second)) << err;
    EXPECT_EQ("", console->out());
  }
}

// On a server: the room is the one given, the session logs' folder is local;
// logged in as a superuser, the trail is said to be unprotected, once.
TEST(ConsoleClinic, OnAServerInItsRoom)
{
  kinora_test::Harness harness(false);
  kinora_test::PgServer server;
  Console console({"_database:=" + server.url(), "_room:=Room A"});
  ASSERT_GT(console.port, 0);
  const console_test::Reply r = request(console.port, "GET", "/api/clinic/rooms");
  ASSERT_EQ(200, r.status) << r.body;
  const nlohmann::json rooms = nlohmann::json::parse(r.body);
  EXPECT_EQ("Room A", rooms["room"]);
  EXPECT_EQ(nlohmann::json({"Room A"}), nlohmann::json({rooms["rooms"][0]["name"]}));
  struct stat st;
  ASSERT_EQ(0, stat((std::string(getenv("ROS_HOME")) + "/nao_kinora/sessions").c_str(), &st));
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_NE(0, access((std::string(getenv("ROS_HOME")) + "/nao_kinora/clinic.db").c_str(), F_OK));
  // Logged in as the server's superuser, it says once that the trail is not
  // protected, and serves on.
  const std::string err = console.process->err();
  const std::string told =
      "the audit trail is not protected: the console logs in to the database as [kinora], "
      "which is a superuser";
  EXPECT_NE(std::string::npos, err.find(told)) << err;
  EXPECT_EQ(err.find(told), err.rfind(told)) << err;
}

TEST(ConsoleClinic, EveryOpenPageHearsOfAChange)
{
  kinora_test::Harness harness(false);
  kinora_test::TempDir dir;
  Console console({"_database:=" + dir.path() + "clinic.db"});
  ASSERT_GT(console.port, 0);
  console_test::EventStream first(console.port, "/events"), second(console.port, "/events");
  const auto heardOf = [](const console_test::EventStream& s, const std::string& what)
  {
    return s.waitFor(
               [&](const console_test::EventStream::Event& e) {
                 return e.type == "clinic" && nlohmann::json::parse(e.data, nullptr, false).value("what", "") == what;
               },
               10) >= 0;
  };
  ASSERT_TRUE(first.waitFor([](const console_test::EventStream::Event& e) { return e.type == "status"; }, 10) >= 0);
  ASSERT_TRUE(second.waitFor([](const console_test::EventStream::Event& e) { return e.type == "status"; }, 10) >= 0);
  const console_test::Reply r =
      request(console.port, "POST", "/api/clinic/patients", {{"Origin", console.origin()}}, R"({"code": "P-1"})");
  ASSERT_EQ(201, r.status) << r.body;
  EXPECT_TRUE(heardOf(first, "/patients"));
  EXPECT_TRUE(heardOf(second, "/patients"));
}

// The node outlives the console by design: a test that fails ends it.
struct NodeReaper
{
  std::string pidFile;
  ~NodeReaper()
  {
    std::ifstream in(pidFile);
    pid_t pid = 0;
    if (in >> pid && pid > 0 && readFile("/proc/" + std::to_string(pid) + "/cmdline").find(KINORA_NODE) == 0)
      kill(pid, SIGKILL);
  }
};

nlohmann::json post(const Console& c, const std::string& target, const std::string& body, int expected)
{
  const console_test::Reply r = request(c.port, "POST", target, {{"Origin", c.origin()}}, body);
  EXPECT_EQ(expected, r.status) << target << ": " << r.body;
  return nlohmann::json::parse(r.body, nullptr, false);
}

// What the store holds of a session against the log read afresh up to the
// same offset: equal, or the kill left part of a read.
void expectWholeReads(const std::string& db, int64_t session, const std::string& dir)
{
  ASSERT_EQ("ok", integrity(db));
  auto store = openStore(db);
  sqlite3* raw = nullptr;
  sqlite3_open_v2(db.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* s = nullptr;
  sqlite3_prepare_v2(raw, "SELECT log_offset FROM sessions WHERE id = ?", -1, &s, nullptr);
  sqlite3_bind_int64(s, 1, session);
  ASSERT_EQ(SQLITE_ROW, sqlite3_step(s));
  const int64_t offset = sqlite3_column_int64(s, 0);
  sqlite3_finalize(s);
  sqlite3_close(raw);
  auto fresh = openStore(dir + "fresh-" + std::to_string(offset) + ".db");
  const int64_t patient = fresh->addPatient("P-X", "").value;
  const std::string copy = dir + "prefix-" + std::to_string(offset) + ".jsonl";
  // Begun on an empty file: a session reads its log from the size it had then.
  std::ofstream{copy};
  const int64_t again = fresh->beginSession({patient, 0, 1, copy}).value;
  std::ofstream(copy) << readFile(store->sessionLog(session).value).substr(0, offset);
  fresh->ingestLog(again);
  const auto mine = store->exercises(session).value;
  const auto theirs = fresh->exercises(again).value;
  ASSERT_EQ(theirs.size(), mine.size());
  for (std::size_t k = 0; k < mine.size(); ++k)
    EXPECT_EQ(exerciseToJson(theirs[k]), exerciseToJson(mine[k])) << k;
}

TEST(ConsoleClinic, KilledMidSessionLosesNothing)
{
  kinora_test::Harness h;
  h.setTick(ros::Duration(0.25));
  kinora_test::TempDir dir;
  mkdir((dir.path() + "lib").c_str(), 0700);
  const char* samples[] = {"01_hands_on_waist_left.txt", "03_arms_to_the_side.txt", "08_right_wrist.txt"};
  for (const char* sample : samples)
    shortRecording(sample, dir.path() + "lib/" + sample, 12);
  std::vector<std::unique_ptr<kinora_test::Process>> peers;
  for (const char* peer : {"audio_player", "motion_executor", "tracking_node", "report_reader"})
    peers.push_back(h.start(std::string(SIM_BIN_DIR) + "/" + peer, {"_player:=none"}));
  const std::string db = dir.path() + "clinic.db";
  const std::vector<std::string> params = {"_database:=" + db, "_recording_dir:=" + dir.path() + "lib/",
                                           std::string("_node_program:=") + KINORA_NODE};
  std::unique_ptr<Console> console(new Console(params));
  ASSERT_GT(console->port, 0);
  const int64_t patient = post(*console, "/api/clinic/patients", R"({"code": "P-KILL"})", 201)["id"];
  const nlohmann::json plan = {{"name", "week 1"}, {"speed", 1.0}, {"items", samples}};
  const int64_t planId =
      post(*console, "/api/clinic/patients/" + std::to_string(patient) + "/plans", plan.dump(), 201)["id"];
  const int64_t session =
      post(*console, "/api/clinic/plans/" + std::to_string(planId) + "/start", "{}", 201)["session"];
  const std::string sessions = dir.path() + "sessions/";
  std::string logPath;
  ASSERT_TRUE(h.waitWall([&] { return !(logPath = openStore(db)->sessionLog(session).value).empty(); }, kWall));
  const NodeReaper reaper{sessions + sessionFileKey(logPath) + ".pid"};
  const auto logHas = [&](const std::string& text) { return readFile(logPath).find(text) != std::string::npos; };

  // Killed once exercise 2 has started, and the console has read exercise 1.
  ASSERT_TRUE(h.runUntil([&] { return logHas("\"start signal\",\"recording\":2"); }, ros::Duration(300), kWall));
  ASSERT_TRUE(h.runUntil(
      [&]
      {
        return request(console->port, "GET", "/api/clinic/sessions/" + std::to_string(session))
                   .body.find("\"played\"") != std::string::npos;
      },
      ros::Duration(60), kWall));
  ASSERT_EQ(0, kill(console->process->pid(), SIGKILL));
  ASSERT_TRUE(console->process->waitExit(10));
  expectWholeReads(db, session, dir.path());

  // The node plays on without a console; a console started again attaches.
  ASSERT_TRUE(h.runUntil([&] { return logHas("\"start signal\",\"recording\":3"); }, ros::Duration(300), kWall));
  console.reset(new Console(params));
  ASSERT_GT(console->port, 0);
  const auto outcome = [&]
  {
    const auto r = request(console->port, "GET", "/api/clinic/sessions/" + std::to_string(session));
    return nlohmann::json::parse(r.body, nullptr, false)
        .value("session", nlohmann::json::object())
        .value("outcome", "");
  };
  ASSERT_TRUE(h.runUntil([&] { return outcome() == "completed"; }, ros::Duration(300), kWall)) << outcome();
  // The console stores a read's exercises and the outcome in one transaction.
  expectWholeReads(db, session, dir.path());
  const auto stored = openStore(db)->exercises(session).value;
  ASSERT_EQ(3u, stored.size());
  for (int k = 0; k < 3; ++k)
  {
    EXPECT_EQ(samples[k], stored[k].recording);
    EXPECT_EQ("played", stored[k].outcome);
  }
}
}  // namespace
