// Rooms of one clinic sharing one database, on both back ends: a session
// belongs to the room that began it, a patient is in one running session at
// most whichever room presses Start (also when two press it at once), a
// session resumed in another room keeps one record; the clinic's page of
// rooms; a server's database refused as a file is.
#include "clinic_api_fixture.h"
#include "clinic_backends.h"
#include "start_line.h"

#include <gtest/gtest.h>

#include <thread>

namespace
{
using namespace clinic_test;
using nlohmann::json;

// 2001-09-09 01:46:40 UTC: another day than the test's, so the refusal gives the date.
const double kStarted = 1000000000;
const std::string kInA = "P-0007 is in a session in room A since 2001-09-09 01:46";

class ClinicRooms : public ::testing::TestWithParam<Backend>
{
protected:
  void SetUp() override
  {
    setenv("TZ", "UTC", 1);
    tzset();
  }
};
INSTANTIATE_TEST_SUITE_P(Backends, ClinicRooms, ::testing::ValuesIn(kBackends),
                         [](const ::testing::TestParamInfo<Backend>& info) { return backendName(info.param); });

enum class Act
{
  kStart,   // a plan, from the first exercise
  kResume,  // the session begun by the step named in `of`
  kClose,   // the session begun by the step `of`: its node gone
};

struct Step
{
  const char* room;
  Act act;
  int of;               // the step whose session is acted on (kResume, kClose)
  std::string refusal;  // "" when accepted
};

// Start in A, refused in B naming A; closed in A; taken up again in B (one
// chain, one record); A refused now naming B, and refused to resume twice.
const Step kSteps[] = {
    {"A", Act::kStart, 0, ""},
    {"B", Act::kStart, 0, kInA},
    {"B", Act::kResume, 0, kInA},
    {"A", Act::kStart, 0, kInA},  // the same room: refused by the same rule
    {"A", Act::kClose, 0, ""},
    {"B", Act::kResume, 0, ""},
    {"A", Act::kStart, 0, "P-0007 is in a session in room B since 2001-09-09 01:46"},
    {"B", Act::kClose, 5, ""},
    {"A", Act::kResume, 0,
     "This session was already resumed (session {5}): resume the last session of the chain instead."},
    {"A", Act::kResume, 5, ""},
};

TEST_P(ClinicRooms, OnePatientOneRunningSessionAcrossRooms)
{
  kinora_test::TempDir dir;
  StoreDatabase database(GetParam(), dir.path());
  std::map<std::string, std::unique_ptr<ClinicStore>> rooms;
  rooms["A"] = openStore(database.where(), "A");
  rooms["B"] = openStore(database.where(), "B");
  const int64_t patient = rooms["A"]->addPatient("P-0007", "").value;
  const int64_t plan = rooms["B"]->savePlan(patient, "week 1", 1.0, {"a.txt", "b.txt"}).value;
  std::map<int, int64_t> session;  // by step
  for (int i = 0; i < static_cast<int>(sizeof kSteps / sizeof kSteps[0]); ++i)
  {
    const Step& step = kSteps[i];
    ClinicStore& store = *rooms[step.room];
    std::string error;
    if (step.act == Act::kClose)
      error = store.closeSession(session[step.of]).error;
    else
    {
      SessionStart start{patient, plan, 1, dir.path() + std::to_string(i) + ".jsonl", 0, kStarted};
      start.resumes = step.act == Act::kResume ? session[step.of] : 0;
      const Result<int64_t> begun = store.beginSession(start);
      error = begun.error;
      session[i] = begun.value;
      if (!begun.ok())
        EXPECT_EQ(Fault::kConflict, begun.fault) << "step " << i;
    }
    // A refused insert may use up an id on the server: the id is the one given.
    std::string refusal = step.refusal;
    const std::size_t mark = refusal.find("{5}");
    if (mark != std::string::npos)
      refusal.replace(mark, 3, std::to_string(session[5]));
    EXPECT_EQ(refusal, error) << "step " << i;
  }
  // One record: the three sessions, each in its room, a chain of resumes.
  const std::vector<SessionSummary> all = rooms["B"]->sessions(patient).value;
  ASSERT_EQ(3u, all.size());
  EXPECT_EQ((std::vector<std::string>{"A", "B", "A"}),
            (std::vector<std::string>{all[0].room, all[1].room, all[2].room}));
  EXPECT_EQ((std::vector<int64_t>{0, all[0].id, all[1].id}),
            (std::vector<int64_t>{all[0].resumes, all[1].resumes, all[2].resumes}));
  EXPECT_EQ((std::vector<std::string>{"interrupted", "interrupted", "running"}),
            (std::vector<std::string>{all[0].outcome, all[1].outcome, all[2].outcome}));
  // Each console follows its own room's running sessions only.
  EXPECT_EQ(std::vector<int64_t>{all[2].id}, rooms["A"]->runningSessions().value);
  EXPECT_EQ(std::vector<int64_t>{}, rooms["B"]->runningSessions().value);
}

// Two rooms press Start for one patient at the same moment, many times: one
// session each time, the other room told where it runs.
TEST_P(ClinicRooms, BothPressStartAtOnceOneSessionBegins)
{
  const int kRounds = 20;
  kinora_test::TempDir dir;
  StoreDatabase database(GetParam(), dir.path());
  auto a = openStore(database.where(), "A");
  auto b = openStore(database.where(), "B");
  for (int round = 0; round < kRounds; ++round)
  {
    const std::string code = "P-" + std::to_string(round);
    const int64_t patient = a->addPatient(code, "").value;
    kinora_test::StartLine line(2);
    Result<int64_t> begun[2];
    std::thread other(
        [&]
        {
          line.arrive();
          begun[1] = b->beginSession({patient, 0, 1, dir.path() + code + "b.jsonl", 0, kStarted});
        });
    line.arrive();
    begun[0] = a->beginSession({patient, 0, 1, dir.path() + code + "a.jsonl", 0, kStarted});
    other.join();
    ASSERT_NE(begun[0].ok(), begun[1].ok()) << begun[0].error << " / " << begun[1].error;
    const int lost = begun[0].ok() ? 1 : 0;
    EXPECT_EQ(Fault::kConflict, begun[lost].fault);
    EXPECT_EQ(code + " is in a session in room " + (lost == 1 ? "A" : "B") + " since 2001-09-09 01:46",
              begun[lost].error);
    EXPECT_EQ(1u, a->sessions(patient).value.size());
  }
}

// The clinic's page: every room seen, this one marked, who plays what where;
// Start of a patient running in another room is a 409 naming it.
TEST_P(ClinicRooms, RoomsPageAndStartRefusedOverTheApi)
{
  ApiRig rig("/bin/true", nullptr, GetParam());
  auto other = openStore(rig.database.where(), "Room B");
  const int64_t patient = rig.store->addPatient("P-0007", "").value;
  const int64_t plan = rig.store->savePlan(patient, "week 1", 1.0, {"a.txt", "b.txt"}).value;
  openStore(rig.database.where(), "Room C");  // seen, nothing running
  const std::string log = rig.dir.path() + "sessions/b.jsonl";
  const int64_t s = other->beginSession({patient, plan, 1, log, 0, kStarted}).value;
  append(log, playedExercise(1, 10) + line(30, "recording loaded", {{"recording", 2}, {"path", "/lib/b.txt"}}));
  ASSERT_TRUE(other->ingestLog(s).ok());

  const ApiReply refused = rig.ask("POST", "/plans/" + std::to_string(plan) + "/start", "{}");
  EXPECT_EQ(409, refused.status);
  EXPECT_EQ("P-0007 is in a session in room Room B since 2001-09-09 01:46", refused.body.value("message", ""));
  EXPECT_EQ(json::array(), rig.ask("GET", "/now").body["running"]);  // another room's session is not this room's

  const json page = rig.ask("GET", "/rooms").body;
  const std::string here = rig.store->room();
  EXPECT_EQ(here, page["room"]);
  json seen = json::array();
  for (const json& r : page["rooms"])
    seen.push_back({r["name"], r["here"], r["running"].size()});
  json expected = {{"Room B", false, 1}, {"Room C", false, 0}, {here, true, 0}};
  std::sort(expected.begin(), expected.end());  // by name, as the store lists them
  EXPECT_EQ(expected, seen);
  json running;
  for (const json& r : page["rooms"])
    if (r["name"] == "Room B")
      running = r["running"][0];
  EXPECT_EQ(json({{"session", s},
                  {"patient", patient},
                  {"patientCode", "P-0007"},
                  {"position", 2},
                  {"recording", "b.txt"},
                  {"started", kStarted}}),
            running);
  // The patient's page shows the session with its room.
  EXPECT_EQ("Room B", rig.ask("GET", "/patients/" + std::to_string(patient)).body["sessions"][0]["room"]);
}

struct RoomName
{
  std::string given;
  std::string reason;  // "" when accepted
};

TEST(ClinicRoomNames, PrintableUpTo40Characters)
{
  const RoomName names[] = {
      {"Room 2", ""},
      {std::string(40, 'x'), ""},
      {"Salle d\xC3\xA9j\xC3\xA0 vue " + std::string(25, 'x'), ""},  // 40 characters, 42 bytes
      {"", "room: empty; name the room the robot is in, such as \"Room 2\""},
      {std::string(41, 'x'), "room: 41 characters; at most 40"},
      {"Room\t2", "room: not printable text (invalid UTF-8 or control characters)"},
      {"Room \xFF", "room: not printable text (invalid UTF-8 or control characters)"},
  };
  for (const RoomName& n : names)
    EXPECT_EQ(n.reason, checkRoomName(n.given)) << n.given;
  EXPECT_EQ("room: 41 characters; at most 40", ClinicStore::open("/nonexistent/x.db", std::string(41, 'x')).error);
}

// The server's database refused as a file is, one line naming it, and left as it is.
TEST(ClinicServer, RefusedNamingTheServer)
{
  kinora_test::PgServer server;
  const std::string name = "127.0.0.1:" + std::to_string(server.port());
  SqlError error;
  {
    auto newer = openConnection(server.createDatabase("newer"), false, error);
    ASSERT_TRUE(newer) << error.message;
    ASSERT_TRUE(newer->setSchemaVersion(kSchemaVersion + 1).ok());
    auto other = openConnection(server.createDatabase("other"), false, error);
    ASSERT_TRUE(other->execute("CREATE TABLE t(x BIGINT)").ok());
  }
  EXPECT_EQ("clinic database [" + name + "/newer]: written by a newer console (schema version " +
                std::to_string(kSchemaVersion + 1) + ", this console knows up to " + std::to_string(kSchemaVersion) +
                "); left as it is",
            ClinicStore::open(server.url("newer")).error);
  EXPECT_EQ("clinic database [" + name +
                "/other]: not a clinic database (it has tables but no schema version); left as it is",
            ClinicStore::open(server.url("other")).error);
  server.stop();
  const auto gone = ClinicStore::open(server.url());
  const std::string prefix = "cannot reach the database server [" + name + "/kinora]: ";
  EXPECT_EQ(prefix, gone.error.substr(0, prefix.size()));
  EXPECT_EQ(std::string::npos, gone.error.find('\n'));
}
}  // namespace
