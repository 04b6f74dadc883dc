// The controls that stop the robot stand alone: the console program with
// accounts, beside a stand-in coaching program, while a request is malformed,
// logins flood in, the database is stopped or hung, a login ends, or the
// program answers a control late. Pause is answered in each; what the
// therapist asked for is in the trail with who asked.
#include "clinic_test_util.h"
#include "console_fixture.h"
#include "pg_test_server.h"

#include "nao_kinora_console/accounts/account_store.h"
#include "nao_kinora_console/db/text_checks.h"
#include "nao_kinora_console/records/clinic_store.h"
#include "nao_kinora_console/session/session_launcher.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <future>
#include <thread>

namespace
{
using namespace nao_kinora_console;
using console_test::Console;
using console_test::EventStream;
using console_test::FakeCoach;
using console_test::Reply;
using console_test::request;
using console_test::waitWall;
using nlohmann::json;

const char* const kMaria = "correct horse 1";  // an admin
const char* const kTom = "tom's password";     // a therapist
const double kWall = 30;                       // a stretch of the run, on a loaded machine

// A clinic database (a file, or a server's database) with an admin and a therapist.
std::string withAccounts(const std::string& where)
{
  auto store = ClinicStore::open(where, "room-a");
  EXPECT_TRUE(store.ok()) << store.error;
  SqlError error;
  auto conn = openConnection(where, false, error);
  AccountStore accounts(*conn, wallNow);
  EXPECT_TRUE(accounts.addAccount("maria", kMaria, Role::kAdmin).ok());
  EXPECT_TRUE(accounts.addAccount("tom", kTom, Role::kTherapist).ok());
  return where;
}

// "kinora_session=..." of a login, "" when it was refused.
std::string logIn(const Console& c, const std::string& name, const std::string& password)
{
  const Reply r = request(c.port, "POST", "/api/login", {{"Origin", c.origin()}, {"Content-Type", "application/json"}},
                          json({{"name", name}, {"password", password}}).dump());
  const std::string set = r.header("Set-Cookie");
  return r.status == 200 ? set.substr(0, set.find(';')) : "";
}

Reply as(const Console& c, const std::string& cookie, const std::string& method, const std::string& target,
         const std::string& body = "")
{
  return request(c.port, method, target,
                 {{"Cookie", cookie}, {"Origin", c.origin()}, {"Content-Type", "application/json"}}, body);
}

json bodyOf(const Reply& r)
{
  return json::parse(r.body, nullptr, false);
}

// The console's status view answers, and a Pause reaches the program.
void expectControlsWork(const Console& c, const std::string& cookie, FakeCoach& coach, const char* when)
{
  SCOPED_TRACE(when);
  EXPECT_EQ(200, as(c, cookie, "GET", "/api/status").status);
  EXPECT_EQ(200, as(c, cookie, "GET", "/api/about").status);
  const Reply pause = as(c, cookie, "POST", "/api/pause", R"({"pause": true})");
  EXPECT_EQ(200, pause.status) << pause.body;
  const Reply end = as(c, cookie, "POST", "/api/end", R"({"confirm": true})");
  EXPECT_EQ(200, end.status) << end.body;
  const Reply me = as(c, cookie, "GET", "/api/me");
  EXPECT_EQ(200, me.status);
  EXPECT_EQ("maria", bodyOf(me).value("name", ""));
}

// Each of these ended the console once (an exception on a worker, or JSON
// that could not be written): now each is answered with what is wrong, and
// the console goes on.
TEST(StopPath, NoRequestEndsTheConsole)
{
  kinora_test::Harness harness(false);
  kinora_test::TempDir dir;
  FakeCoach coach;
  Console console({"_database:=" + withAccounts(dir.path() + "clinic.db"), "_room:=room-a"});
  ASSERT_GT(console.port, 0);
  const std::string maria = logIn(console, "maria", kMaria);
  ASSERT_FALSE(maria.empty());
  const struct
  {
    const char* method;
    const char* target;
    std::string body;
    int status;
    const char* field;  // named in the message
  } cases[] = {
      {"POST", "/api/tokens", R"({"label": 5})", 400, "label"},
      {"POST", "/api/tokens", std::string("{\"label\": \"a\\u0000b\"}"), 400, "label"},
      {"POST", "/api/accounts", R"({"name": "ann", "password": "a long passphrase", "role": 5})", 400, "role"},
      {"POST", "/api/accounts", R"({"name": 7, "password": "a long passphrase", "role": "therapist"})", 400, "name"},
      {"POST", "/api/accounts/disable", R"({"id": "2", "disabled": true})", 400, "id"},
      {"POST", "/api/clinic/patients", R"({"code": "P-1", "note": "a\u0000b"})", 400, "note"},
      {"POST", "/api/clinic/patients", R"({"code": ["P-1"]})", 400, "code"},
      {"POST", "/api/pause", R"({"pause": "yes"})", 400, "pause"},
      {"POST", "/api/speed", R"({"speed": "fast"})", 400, "speed"},
  };
  for (const auto& c : cases)
  {
    SCOPED_TRACE(std::string(c.method) + " " + c.target + " " + c.body);
    const Reply r = as(console, maria, c.method, c.target, c.body);
    EXPECT_EQ(c.status, r.status) << r.body;
    const json answer = bodyOf(r);
    ASSERT_TRUE(answer.is_object()) << r.body;
    EXPECT_NE(std::string::npos, answer.value("message", "").find(c.field)) << r.body;
    ASSERT_EQ(200, as(console, maria, "GET", "/api/status").status) << "the console is gone";
  }
  // A name that is not UTF-8, sent as raw bytes: not echoed as it came.
  const std::string raw =
      "GET /api/clinic/library/\xff\xfe/rows HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(console.port) +
      "\r\nCookie: " + maria + "\r\n\r\n";
  EXPECT_EQ(404, console_test::rawStatus(console.port, raw));
  EXPECT_EQ(200, as(console, maria, "GET", "/api/status").status) << "the console is gone";
  EXPECT_TRUE(console.process->running());
}

// The database stopped under a running session: nobody is logged out, the
// controls work, the records say they cannot be read; back when it is.
TEST(StopPath, DatabaseStoppedControlsStillWork)
{
  kinora_test::Harness harness(false);
  kinora_test::PgServer server;
  FakeCoach coach;
  coach.publish(console_test::playingStatus());
  Console console({"_database:=" + withAccounts(server.url()), "_room:=room-a"});
  ASSERT_GT(console.port, 0);
  const std::string maria = logIn(console, "maria", kMaria);
  ASSERT_FALSE(maria.empty());
  ASSERT_EQ(200, as(console, maria, "GET", "/api/clinic/patients").status);

  server.stop();
  expectControlsWork(console, maria, coach, "database stopped");
  const Reply records = as(console, maria, "GET", "/api/clinic/patients");
  EXPECT_EQ(503, records.status);
  EXPECT_EQ("The records cannot be read right now. Try again in a moment.", bodyOf(records).value("message", ""));
  // The running page itself, not the login page.
  const Reply page = as(console, maria, "GET", "/");
  EXPECT_EQ(200, page.status);
  EXPECT_EQ(std::string::npos, page.body.find("<button type=\"submit\">Log in</button>"));
  EXPECT_EQ((std::vector<std::string>{"pause", "end"}), coach.calls());

  server.start();
  EXPECT_TRUE(waitWall([&] { return as(console, maria, "GET", "/api/clinic/patients").status == 200; }, kWall));
  // What was done meanwhile is in the trail, with who did it.
  std::string trail;
  EXPECT_TRUE(waitWall(
      [&]
      {
        trail = as(console, maria, "GET", "/api/audit").body;
        return trail.find("\"end\"") != std::string::npos;
      },
      kWall))
      << trail;
  std::vector<std::string> controls;
  for (const json& e : bodyOf(as(console, maria, "GET", "/api/audit")).value("entries", json::array()))
    if (e.value("action", "") == "pause" || e.value("action", "") == "end")
      controls.push_back(e.value("who", "") + " " + e.value("action", ""));
  EXPECT_EQ((std::vector<std::string>{"maria end", "maria pause"}), controls);
}

// The database hung (its processes stopped): the console answers at once
// what needs no database, and the records with 503 within their deadline,
// while logins that wait for it flood in.
TEST(StopPath, DatabaseHungUnderALoginFlood)
{
  kinora_test::Harness harness(false);
  kinora_test::PgServer server;
  FakeCoach coach;
  coach.publish(console_test::playingStatus());
  Console console({"_database:=" + withAccounts(server.url()), "_room:=room-a"});
  ASSERT_GT(console.port, 0);
  const std::string maria = logIn(console, "maria", kMaria);
  ASSERT_FALSE(maria.empty());

  server.freeze();
  // Logins for made-up names, each stuck on the hung database for its deadline.
  std::vector<std::future<Reply>> logins;
  for (int i = 0; i < 6; ++i)
    logins.push_back(std::async(std::launch::async,
                                [&console, i]
                                {
                                  return request(
                                      console.port, "POST", "/api/login",
                                      {{"Origin", console.origin()}, {"Content-Type", "application/json"}},
                                      json({{"name", "nobody" + std::to_string(i)}, {"password", "x"}}).dump());
                                }));
  expectControlsWork(console, maria, coach, "database hung");
  // Answered before any login could be: they wait on the database, Pause does not.
  int loginsDone = 0;
  for (auto& l : logins)
    loginsDone += l.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
  // Two at a time from one address: the rest are told at once to try again.
  int refusedAtOnce = 0, unavailable = 0;
  for (auto& l : logins)
  {
    const Reply r = l.get();
    refusedAtOnce += r.status == 429;
    unavailable += r.status == 503;
  }
  EXPECT_EQ(4, refusedAtOnce);
  EXPECT_EQ(2, unavailable);
  EXPECT_LE(loginsDone, refusedAtOnce);
  EXPECT_EQ(503, as(console, maria, "GET", "/api/clinic/patients").status);
  server.thaw();
  EXPECT_TRUE(waitWall([&] { return as(console, maria, "GET", "/api/clinic/patients").status == 200; }, kWall));
}

// A login is held in memory: a file locked by another writer for longer
// than any request waits never turns it into "not logged in".
TEST(StopPath, LockedFileLogsNobodyOut)
{
  kinora_test::Harness harness(false);
  kinora_test::TempDir dir;
  FakeCoach coach;
  const std::string db = withAccounts(dir.path() + "clinic.db");
  Console console({"_database:=" + db, "_room:=room-a"});
  ASSERT_GT(console.port, 0);
  const std::string maria = logIn(console, "maria", kMaria);
  ASSERT_FALSE(maria.empty());
  sqlite3* other = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(db.c_str(), &other));
  sqlite3_busy_timeout(other, 60000);  // the console's own writers finish first
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr));
  for (int i = 0; i < 5; ++i)
  {
    const Reply me = as(console, maria, "GET", "/api/me");
    EXPECT_EQ(200, me.status) << me.body;
    EXPECT_EQ("maria", bodyOf(me).value("name", ""));
  }
  EXPECT_EQ(200, as(console, maria, "POST", "/api/pause", R"({"pause": true})").status);
  sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(other);
}

// A control the program confirms after its deadline: shown as sent, not
// confirmed, until it lands; then in the trail with who asked and how late.
TEST(StopPath, LateControlIsShownThenRecorded)
{
  kinora_test::Harness harness(false);
  kinora_test::TempDir dir;
  FakeCoach coach;
  coach.publish(console_test::playingStatus());
  Console console({"_database:=" + withAccounts(dir.path() + "clinic.db"), "_room:=room-a"});
  ASSERT_GT(console.port, 0);
  const std::string tom = logIn(console, "tom", kTom);
  const std::string maria = logIn(console, "maria", kMaria);
  ASSERT_FALSE(tom.empty());
  coach.answer({true, "paused", 4.0});
  const Reply pause = as(console, tom, "POST", "/api/pause", R"({"pause": true})");
  EXPECT_EQ(202, pause.status) << pause.body;
  EXPECT_TRUE(bodyOf(pause).value("pending", false));
  const json pending = bodyOf(as(console, tom, "GET", "/api/status"))["pending"];
  ASSERT_EQ(1u, pending.size()) << pending;
  EXPECT_EQ("pause", pending[0].value("control", ""));
  EXPECT_EQ("tom", pending[0].value("who", ""));
  ASSERT_TRUE(waitWall([&] { return bodyOf(as(console, tom, "GET", "/api/status"))["pending"].empty(); }, kWall));
  json entry;
  ASSERT_TRUE(waitWall(
      [&]
      {
        const json trail = bodyOf(as(console, maria, "GET", "/api/audit"));
        for (const json& e : trail.value("entries", json::array()))
          if (e.value("action", "") == "pause")
            entry = e;
        return !entry.is_null();
      },
      kWall));
  EXPECT_EQ("tom", entry.value("who", ""));
  const json detail = json::parse(entry.value("detail", ""), nullptr, false);
  EXPECT_GE(detail.value("late", 0.0), 2.0) << entry;
  EXPECT_EQ("paused", detail.value("answer", "")) << entry;
}

// A login that ends closes its pages' event streams, saying why; one account
// holds at most half of the streams.
TEST(StopPath, EndedLoginsCloseTheirStreams)
{
  kinora_test::Harness harness(false);
  kinora_test::TempDir dir;
  FakeCoach coach;
  coach.publish(console_test::playingStatus());
  Console console({"_database:=" + withAccounts(dir.path() + "clinic.db"), "_room:=room-a"});
  ASSERT_GT(console.port, 0);
  const std::string maria = logIn(console, "maria", kMaria);
  const std::string tom = logIn(console, "tom", kTom);
  ASSERT_FALSE(tom.empty());
  const httplib::Headers tomHeaders = {{"Cookie", tom}};
  std::vector<std::unique_ptr<EventStream>> toms;
  for (int i = 0; i < 4; ++i)
  {
    toms.emplace_back(new EventStream(console.endpoint(), "/events", tomHeaders));
    ASSERT_GE(toms.back()->waitFor([](const EventStream::Event& e) { return e.type == "status"; }, kWall), 0);
  }
  EventStream fifth(console.endpoint(), "/events", tomHeaders);
  EXPECT_TRUE(waitWall([&] { return fifth.status() != 0; }, kWall));
  EXPECT_EQ(503, fifth.status());
  EventStream marias(console.endpoint(), "/events", {{"Cookie", maria}});
  EXPECT_GE(marias.waitFor([](const EventStream::Event& e) { return e.type == "status"; }, kWall), 0);

  // Disabled by the admin: every stream of tom's is told, then closed.
  const json accounts = bodyOf(as(console, maria, "GET", "/api/accounts"));
  json tomId;
  for (const json& a : accounts.value("accounts", json::array()))
    if (a.value("name", "") == "tom")
      tomId = a["id"];
  ASSERT_EQ(
      200,
      as(console, maria, "POST", "/api/accounts/disable", json({{"id", tomId}, {"disabled", true}}).dump()).status);
  for (auto& s : toms)
  {
    const int at = s->waitFor([](const EventStream::Event& e) { return e.type == "login"; }, kWall);
    ASSERT_GE(at, 0);
    EXPECT_EQ(R"({"ended":"disabled"})", s->events()[at].data);
  }
  const Reply after = as(console, tom, "GET", "/api/status");
  EXPECT_EQ(401, after.status);
  EXPECT_EQ("disabled", bodyOf(after).value("reason", ""));
  // Maria's stream goes on.
  const std::size_t seen = marias.events().size();
  EXPECT_GE(marias.waitFor([](const EventStream::Event& e) { return e.type == "status"; }, kWall, seen), 0);

  // Logged out on another page: this page's stream is told so.
  ASSERT_EQ(200, as(console, maria, "POST", "/api/logout", "{}").status);
  const int out = marias.waitFor([](const EventStream::Event& e) { return e.type == "login"; }, kWall);
  ASSERT_GE(out, 0);
  EXPECT_EQ(R"({"ended":"logged out"})", marias.events()[out].data);
}

// A body over the limit is refused with 413 every time, never a reset.
TEST(StopPath, LongBodyIsToldSo)
{
  kinora_test::Harness harness(false);
  FakeCoach coach;
  Console console;
  ASSERT_GT(console.port, 0);
  const std::string body(27 * 1024, 'x');
  for (int i = 0; i < 20; ++i)
  {
    const Reply r = request(console.port, "POST", "/api/pause",
                            {{"Origin", console.origin()}, {"Content-Type", "application/json"}}, body);
    EXPECT_EQ(413, r.status) << "try " << i;
  }
}
// The coaching program frozen mid-session: the page is told within seconds,
// and Release stops it whatever it does, keeps the session's resume point and
// frees the robot for another Start.
TEST(StopPath, FrozenProgramIsNamedAndReleased)
{
  kinora_test::Harness harness(false);  // wall time: the node waits for its audio player, saying so
  kinora_test::TempDir dir;
  mkdir((dir.path() + "lib").c_str(), 0700);
  clinic_test::shortRecording("01_hands_on_waist_left.txt", dir.path() + "lib/one.txt", 12);
  const std::string db = dir.path() + "clinic.db";
  Console console(
      {"_database:=" + db, "_recording_dir:=" + dir.path() + "lib/", std::string("_node_program:=") + KINORA_NODE});
  ASSERT_GT(console.port, 0);
  const auto post = [&](const std::string& target, const std::string& body) {
    return request(console.port, "POST", target, {{"Origin", console.origin()}}, body);
  };
  const int64_t patient = bodyOf(post("/api/clinic/patients", R"({"code": "P-FROZEN"})"))["id"];
  const int64_t plan = bodyOf(post("/api/clinic/patients/" + std::to_string(patient) + "/plans",
                                   R"({"name": "week 1", "speed": 1.0, "items": ["one.txt"]})"))["id"];
  const Reply started = post("/api/clinic/plans/" + std::to_string(plan) + "/start", "{}");
  ASSERT_EQ(201, started.status) << started.body;
  const int64_t session = bodyOf(started)["session"];
  std::string log;
  ASSERT_TRUE(waitWall([&] { return !(log = clinic_test::openStore(db)->sessionLog(session).value).empty(); }, kWall));
  const std::string pidFile = dir.path() + "sessions/" + sessionFileKey(log) + ".pid";
  pid_t node = 0;
  ASSERT_TRUE(waitWall(
      [&] { return (node = static_cast<pid_t>(std::atoll(kinora_test::readFile(pidFile).c_str()))) > 0; }, kWall));
  const auto status = [&] { return bodyOf(request(console.port, "GET", "/api/status")); };
  ASSERT_TRUE(waitWall([&] { return status().value("coach", "") == "running"; }, kWall));
  EXPECT_LT(status().value("silent_seconds", 99.0), 3.0);

  ASSERT_EQ(0, kill(node, SIGSTOP));
  ASSERT_TRUE(waitWall([&] { return status().value("silent_seconds", 0.0) >= 3.0; }, kWall));
  // Still listed as running: only the silence tells.
  EXPECT_EQ("running", status().value("coach", ""));
  EXPECT_EQ(409, post("/api/clinic/plans/" + std::to_string(plan) + "/start", "{}").status);

  const Reply release = post("/api/release", R"({"confirm": true})");
  EXPECT_EQ(200, release.status) << release.body;
  EXPECT_TRUE(waitWall([&] { return kill(node, 0) != 0; }, kWall));
  json stored;
  ASSERT_TRUE(waitWall(
      [&]
      {
        stored = bodyOf(request(console.port, "GET", "/api/clinic/sessions/" + std::to_string(session)))["session"];
        return stored.value("outcome", "") == "interrupted";
      },
      kWall))
      << stored;
  EXPECT_EQ(1, stored.value("resumeAt", 0));
  // The robot is free: a new session starts (and is released in turn).
  const Reply again = post("/api/clinic/plans/" + std::to_string(plan) + "/start", "{}");
  EXPECT_EQ(201, again.status) << again.body;
  Reply last;
  EXPECT_TRUE(waitWall(
      [&]
      {
        if (last.status != 200)  // once released, not asked again
          last = post("/api/release", R"({"confirm": true})");
        return last.status == 200;
      },
      kWall))
      << last.status << " " << last.body << " " << status().dump();
}
}  // namespace
