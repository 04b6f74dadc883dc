// The clinic's store on files in a temporary folder: the files it refuses
// and leaves untouched, the modes it creates, what it accepts, unknown ids,
// plans edited at once by two connections, a delete that leaves no trace,
// and the exports.
#include "clinic_backends.h"
#include "clinic_test_util.h"
#include "start_line.h"
#include "test_util.h"

#include "nao_kinora_console/records/clinic_rules.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <thread>

namespace
{
using namespace clinic_test;
using kinora_test::readFile;

void sql(const std::string& path, const std::string& text)
{
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, text.c_str(), nullptr, nullptr, nullptr)) << sqlite3_errmsg(db);
  sqlite3_close(db);
}

// A store with 300 patients, closed (so all of it is in the main file).
void filledStore(const std::string& path)
{
  auto store = openStore(path);
  for (int i = 0; i < 300; ++i)
    store->addPatient("P-" + std::to_string(i), std::string(200, 'n'));
}

struct RefusalCase
{
  const char* name;
  std::function<void(const std::string& path)> make;
  std::string reason;  // after "clinic database [path]: "
};

const RefusalCase kRefusals[] = {
    {"NewerSchema",
     [](const std::string& p)
     {
       openStore(p);
       sql(p, "PRAGMA user_version=" + std::to_string(kSchemaVersion + 1));
     },
     "written by a newer console (schema version " + std::to_string(kSchemaVersion + 1) +
         ", this console knows up to " + std::to_string(kSchemaVersion) + "); left as it is"},
    {"Garbage", [](const std::string& p) { std::ofstream(p) << std::string(8192, 'x'); },
     "unreadable or corrupt (file is not a database); left as it is"},
    {"Truncated",
     [](const std::string& p)
     {
       filledStore(p);
       ASSERT_EQ(0, truncate(p.c_str(), 8192));
     },
     "unreadable or corrupt (database disk image is malformed); left as it is"},
    {"DamagedPage",
     [](const std::string& p)
     {
       filledStore(p);
       std::fstream f(p, std::ios::in | std::ios::out | std::ios::binary);
       f.seekp(3 * 4096);
       f << std::string(4096, 'x');
     },
     "corrupt ("},
    {"SomeOtherDatabase", [](const std::string& p) { sql(p, "CREATE TABLE t(x)"); },
     "not a clinic database (it has tables but no schema version); left as it is"},
    {"Directory", [](const std::string& p) { mkdir(p.c_str(), 0700); }, "it is not a regular file"},
};

// gtest names the case instead of dumping its bytes.
void PrintTo(const RefusalCase& c, std::ostream* os)
{
  *os << c.name;
}

class Refusal : public ::testing::TestWithParam<RefusalCase>
{
};

// One line naming the file and why; the file's bytes as they were.
TEST_P(Refusal, NamesTheFileAndLeavesItAlone)
{
  kinora_test::TempDir dir;
  const std::string path = dir.path() + "clinic.db";
  GetParam().make(path);
  const std::string before = readFile(path);
  const auto opened = ClinicStore::open(path);
  ASSERT_FALSE(opened.ok());
  const std::string prefix = "clinic database [" + path + "]: " + GetParam().reason;
  EXPECT_EQ(prefix, opened.error.substr(0, prefix.size())) << opened.error;
  EXPECT_EQ(std::string::npos, opened.error.find('\n'));
  EXPECT_EQ(before, readFile(path));
}

INSTANTIATE_TEST_SUITE_P(Files, Refusal, ::testing::ValuesIn(kRefusals),
                         [](const ::testing::TestParamInfo<RefusalCase>& i) { return std::string(i.param.name); });

// Missing folders 0700, the file and its journal 0600, whatever the umask;
// the schema's version set; a second open finds what the first wrote.
TEST(ClinicOpen, CreatesPrivateFilesAndKeepsThem)
{
  kinora_test::TempDir dir;
  const std::string path = dir.path() + "a/b/clinic.db";
  const mode_t umaskBefore = umask(0);
  auto store = openStore(path);
  umask(umaskBefore);
  ASSERT_TRUE(store->addPatient("P-7", "").ok());
  struct stat st;
  for (const std::string& folder : {dir.path() + "a", dir.path() + "a/b"})
  {
    ASSERT_EQ(0, stat(folder.c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 0777) << folder;
  }
  for (const std::string& file : {path, path + "-wal"})
  {
    ASSERT_EQ(0, stat(file.c_str(), &st)) << file;
    EXPECT_EQ(0600u, st.st_mode & 0777) << file;
  }
  store.reset();
  store = openStore(path);
  EXPECT_EQ("P-7", store->patients().value.at(0).code);
  const auto file = ClinicStore::open(dir.path() + "a/b/clinic.db/x.db");
  EXPECT_EQ("clinic database [" + dir.path() + "a/b/clinic.db/x.db]: [" + path + "] is not a folder", file.error);
}

class ClinicOn : public ::testing::TestWithParam<Backend>
{
};
INSTANTIATE_TEST_SUITE_P(Backends, ClinicOn, ::testing::ValuesIn(kBackends),
                         [](const ::testing::TestParamInfo<Backend>& info) { return backendName(info.param); });

// The tables, indexes and sequences of a database, as a number.
int64_t schemaObjects(const std::string& where)
{
  SqlError error;
  auto db = openConnection(where, false, error);
  EXPECT_TRUE(db) << error.message;
  if (!db)
    return -1;
  Statement s(*db, db->dialect() == SqlDialect::kSqlite
                       ? "SELECT count(*) FROM sqlite_schema"
                       : "SELECT count(*) FROM pg_class WHERE relnamespace = 'public'::regnamespace");
  return s.step() ? s.integer(0) : -1;
}

// Consoles started together on one new database: one sets it up, the others
// wait for it and use it; it holds one schema, as one console alone makes.
TEST_P(ClinicOn, ManyConsolesOpenOneNewDatabaseAtOnce)
{
  const int kConsoles = 8, kRounds = GetParam() == Backend::kSqlite ? 20 : 5;
  kinora_test::TempDir dir;
  StoreDatabase database(GetParam(), dir.path());
  // A new database each round: another file, or another database of the server.
  auto fresh = [&](const std::string& name)
  { return database.server() ? database.server()->createDatabase(name) : dir.path() + name + ".db"; };
  const std::string alone = fresh("alone");
  openStore(alone);
  const int64_t oneSchema = schemaObjects(alone);
  for (int round = 0; round < kRounds; ++round)
  {
    const std::string where = fresh("clinic" + std::to_string(round));
    kinora_test::StartLine line(kConsoles);
    std::vector<Result<std::unique_ptr<ClinicStore>>> opened(kConsoles);
    std::vector<std::thread> consoles;
    for (int k = 0; k < kConsoles; ++k)
      consoles.emplace_back(
          [&, k]
          {
            line.arrive();
            opened[k] = ClinicStore::open(where);
          });
    for (auto& c : consoles)
      c.join();
    for (const auto& o : opened)
      ASSERT_TRUE(o.ok()) << o.error;
    EXPECT_EQ(oneSchema, schemaObjects(where));
    ASSERT_TRUE(opened[0].value->addPatient("P-1", "").ok());
    EXPECT_EQ("P-1", opened[kConsoles - 1].value->patients().value.at(0).code);
  }
}

struct Rule
{
  std::string given;
  std::string reason;  // "" when accepted
};

TEST(ClinicRules, PatientCodes)
{
  const Rule rules[] = {{"P-0007", ""},
                        {"a_B-9", ""},
                        {std::string(32, 'x'), ""},
                        {"", "patient code: empty; choose a code such as P-0007 (not a name)"},
                        {std::string(33, 'x'), "patient code: 33 characters; at most 32"},
                        {"Ayşe", "patient code: only letters, digits, '-' and '_' (no spaces or other signs)"},
                        {"P 7", "patient code: only letters, digits, '-' and '_' (no spaces or other signs)"},
                        {"P'7", "patient code: only letters, digits, '-' and '_' (no spaces or other signs)"}};
  for (const Rule& r : rules)
    EXPECT_EQ(r.reason, checkPatientCode(r.given)) << r.given;
}

TEST(ClinicRules, SpeedsNamesRecordingsRatingsNotes)
{
  const std::pair<double, std::string> speeds[] = {{0.25, ""},
                                                   {2.0, ""},
                                                   {1, ""},
                                                   {0.24, "speed: 0.24; from 0.25 to 2.0"},
                                                   {2.01, "speed: 2.01; from 0.25 to 2.0"},
                                                   {NAN, "speed: nan; from 0.25 to 2.0"}};
  for (const auto& s : speeds)
    EXPECT_EQ(s.second, checkSpeed(s.first)) << s.first;
  EXPECT_EQ("", checkPlanName("week 1"));
  EXPECT_EQ("plan name: empty; give it a name such as \"week 1\"", checkPlanName(""));
  EXPECT_EQ("plan name: not plain text (invalid UTF-8 or control characters)", checkPlanName("a\nb"));
  EXPECT_EQ("", checkRecordingName("01_a.txt"));
  EXPECT_EQ("recording: [../x] is not a file name of the library (no folder, at most 255 bytes)",
            checkRecordingName("../x"));
  EXPECT_EQ("", checkRating("pain", -1));
  EXPECT_EQ("pain: 11; from 0 to 10, or none", checkRating("pain", 11));
  EXPECT_EQ("effort: -2; from 0 to 10, or none", checkRating("effort", -2));
  EXPECT_EQ("check-in note: not valid UTF-8 text", checkNote("check-in note", "\xff"));
  EXPECT_EQ("patient note: 2001 bytes; at most 2000", checkNote("patient note", std::string(2001, 'a')));
}

// Bad values and unknown ids are refused by the store with the rule's words.
TEST_P(ClinicOn, BadValuesAndUnknownIdsRefused)
{
  kinora_test::TempDir dir;
  StoreDatabase database(GetParam(), dir.path());
  auto store = openStore(database.where());
  const int64_t p = store->addPatient("P-1", "").value;
  const int64_t plan = store->savePlan(p, "week 1", 1, {"a.txt"}).value;
  const std::string GONE = "This patient is not in the records (they may have been deleted).",
                    PLAN = "This plan is not in the records (it may have been deleted).",
                    SESSION = "This session is not in the records (it may have been deleted with its patient).";
  const std::pair<std::string, std::string> cases[] = {
      {store->addPatient("P 1", "").error, checkPatientCode("P 1")},
      {store->addPatient("P-1", "").error, "A patient with the code P-1 already exists."},
      {store->addPatient("p-1", "").error, "A patient with the code P-1 already exists."},
      {store->savePlan(p, "week 2", 3, {}).error, "speed: 3; from 0.25 to 2.0"},
      {store->savePlan(p, "week 1", 1, {}).error,
       "This patient already has a plan called \"week 1\": choose another name."},
      {store->updatePlan(plan, "w", 0.1, {}).error, "speed: 0.1; from 0.25 to 2.0"},
      {store->savePlan(99, "w", 1, {}).error, GONE},
      {store->updatePlan(99, "w", 1, {}).error, PLAN},
      {store->deletePlan(99).error, PLAN},
      {store->plans(99).error, GONE},
      {store->patient(99).error, GONE},
      {store->patientByCode("P-9").error, "No patient has the code P-9."},
      {store->setPatientNote(99, "").error, GONE},
      {store->deletePatient(99, "P-1").error, GONE},
      {store->deletePatient(p, "p-1").error, "To delete this patient, type their code P-1 exactly."},
      {store->sessions(99).error, GONE},
      {store->beginSession({99, 0, 1, "/tmp/x"}).error, GONE},
      {store->beginSession({p, 99, 1, "/tmp/x"}).error, PLAN},
      {store->beginSession({p, plan, 1, "/tmp/x", 5}).error, "speed: 5; from 0.25 to 2.0"},
      {store->beginSession({p, plan, 0, "/tmp/x"}).error, "first exercise: 0; from 1"},
      {store->ingestLog(99).error, SESSION},
      {store->closeSession(99).error, SESSION},
      {store->exercises(99).error, SESSION},
      {store->session(99).error, SESSION},
      {store->addCheckin({99, 1, 3, 2, ""}).error, SESSION},
      {store->addCheckin({1, 1, 11, 2, ""}).error, "effort: 11; from 0 to 10, or none"},
      {store->exportJson(99).error, GONE},
      {store->exportCsv(99, nullptr).error, GONE}};
  for (std::size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
    EXPECT_EQ(cases[i].second, cases[i].first) << "case " << i;
}

// Plans keep their order and repeats; an edit replaces the whole plan; of
// two connections editing one plan at once, each read finds one edit whole.
TEST_P(ClinicOn, PlanEditsAreWholeAndLastWins)
{
  kinora_test::TempDir dir;
  StoreDatabase database(GetParam(), dir.path());
  auto store = openStore(database.where());
  auto other = openStore(database.where());
  const int64_t p = store->addPatient("P-1", "").value;
  const int64_t plan = store->savePlan(p, "week 1", 0.5, {"b.txt", "a.txt", "b.txt"}).value;
  ASSERT_TRUE(store->savePlan(p, "week 2", 1, {"c.txt"}).ok());
  std::vector<Plan> plans = store->plans(p).value;
  ASSERT_EQ(2u, plans.size());
  EXPECT_EQ("week 1", plans[0].name);
  EXPECT_EQ(0.5, plans[0].speed);
  EXPECT_EQ((std::vector<std::string>{"b.txt", "a.txt", "b.txt"}), plans[0].items);
  const std::vector<std::string> a{"a.txt", "b.txt", "c.txt", "d.txt"}, b{"x.txt"};
  std::thread writer(
      [&]
      {
        for (int i = 0; i < 50; ++i)
          EXPECT_EQ("", other->updatePlan(plan, "week 1", 2.0, b).error);
      });
  for (int i = 0; i < 50; ++i)
  {
    EXPECT_EQ("", store->updatePlan(plan, "week 1", 0.25, a).error);
    const Plan seen = store->plans(p).value.at(0);
    EXPECT_TRUE((seen.speed == 0.25 && seen.items == a) || (seen.speed == 2.0 && seen.items == b)) << seen.speed;
  }
  writer.join();
  EXPECT_EQ("", store->updatePlan(plan, "week 1b", 1.25, {"c.txt", "a.txt"}).error);
  plans = store->plans(p).value;
  EXPECT_EQ("week 1b", plans[0].name);
  EXPECT_EQ((std::vector<std::string>{"c.txt", "a.txt"}), plans[0].items);
  EXPECT_EQ("", store->deletePlan(plan).error);
  EXPECT_EQ(1u, store->plans(p).value.size());
}

// A patient with a plan, a session and a check-in, deleted: none of their
// text is left in the file or its journal; the other patient is untouched.
TEST(ClinicDelete, LeavesNoTraceInTheFile)
{
  kinora_test::TempDir dir;
  const std::string path = dir.path() + "clinic.db";
  auto store = openStore(path);
  const int64_t kept = store->addPatient("KEPT-4410", "kept-note-8837").value;
  const int64_t p = store->addPatient("GONE-7731", "gone-note-5521").value;
  const int64_t plan = store->savePlan(p, "gone-plan-9017", 1, {"gone-recording-3319.txt"}).value;
  const std::string log = dir.write("log", "");
  const int64_t s = store->beginSession({p, plan, 1, log}).value;
  append(log, playedExercise(1, 5));
  ASSERT_TRUE(store->ingestLog(s).ok());
  ASSERT_EQ("", store->addCheckin({s, 1, 4, 2, "gone-checkin-6604"}).error);
  const auto bytes = [&] { return readFile(path) + readFile(path + "-wal"); };
  for (const char* text : {"GONE-7731", "gone-note-5521", "gone-plan-9017", "gone-checkin-6604", "01_exercise"})
    ASSERT_NE(std::string::npos, bytes().find(text)) << text;
  EXPECT_EQ(Fault::kConflict, store->deletePatient(p, "GONE-7731").fault);  // while their session runs
  ASSERT_TRUE(store->closeSession(s).ok());
  ASSERT_EQ((std::vector<std::string>{log}), store->deletePatient(p, "GONE-7731").value);
  for (const char* text :
       {"GONE-7731", "gone-note-5521", "gone-plan-9017", "gone-checkin-6604", "01_exercise", log.c_str()})
    EXPECT_EQ(std::string::npos, bytes().find(text)) << text;
  EXPECT_NE(std::string::npos, bytes().find("kept-note-8837"));
  EXPECT_EQ(kept, store->patients().value.at(0).id);
  EXPECT_EQ(1u, store->patients().value.size());
  EXPECT_EQ(Fault::kNotFound, store->session(s).fault);
}

// The whole record as JSON (parsed back) and as CSV (byte for byte), with a
// note that a spreadsheet would otherwise split or run.
TEST_P(ClinicOn, ExportsJsonAndCsv)
{
  kinora_test::TempDir dir;
  StoreDatabase database(GetParam(), dir.path());
  auto store = openStore(database.where());
  const int64_t p = store->addPatient("P-0007", "knee, left").value;
  const int64_t plan = store->savePlan(p, "week 1", 0.5, {"01_exercise.txt", "02_exercise.txt"}).value;
  const std::string log = dir.write("log", "");
  setenv("TZ", "UTC", 1);  // the CSV's times are in the machine's zone
  tzset();
  const int64_t s = store->beginSession({p, plan, 1, log, 0, 1000}).value;
  append(log, playedExercise(1, 5) + line(20, "recording loaded", {{"recording", 2}, {"path", "/l/02_exercise.txt"}}) +
                  line(21, "start signal", {{"recording", 2}}) + line(25, "skip", {{"recording", 2}}) +
                  line(25, "report", {{"recording", 2}}) + line(26, "cue", {{"kind", "closing"}}));
  ASSERT_TRUE(store->ingestLog(s).ok());
  ASSERT_EQ("", store->addCheckin({s, 1, 3, 0, "=said \"fine\""}).error);
  const nlohmann::json j = nlohmann::json::parse(store->exportJson(p).value);
  EXPECT_EQ("P-0007", j["patient"]["code"]);
  EXPECT_EQ("knee, left", j["patient"]["note"]);
  EXPECT_EQ((std::vector<std::string>{"01_exercise.txt", "02_exercise.txt"}), j["plans"][0]["exercises"]);
  EXPECT_EQ("completed", j["sessions"][0]["outcome"]);
  EXPECT_EQ(1021.0, j["sessions"][0]["ended"]);
  EXPECT_EQ(3, j["sessions"][0]["exercises"][0]["checkin"]["effort"]);
  EXPECT_EQ("skipped", j["sessions"][0]["exercises"][1]["outcome"]);
  EXPECT_TRUE(j["sessions"][0]["exercises"][1]["checkin"].is_null());
  EXPECT_EQ(
      "patient,session,session_started,session_outcome,plan,position,recording,outcome,playing_time,"
      "paused_time,tracking_wait,timeout_fired,speeds,moving_joints,effort,pain,checkin_note,tracked_by,seen,follow,"
      "ranges\r\n"
      "P-0007,1,1970-01-01T00:16:40+00:00,completed,week 1,1,01_exercise.txt,played,10.000,0.000,3.000,0,0.5 from "
      "0:00,joint 1; joint 4; joint 17,3,0,\"'=said \"\"fine\"\"\",,,,\r\n"
      "P-0007,1,1970-01-01T00:16:40+00:00,completed,week 1,2,02_exercise.txt,skipped,4.000,0.000,0.000,0,0.5 from "
      "0:15,,,,,,,,\r\n",
      store->exportCsv(p, [](int j) { return "joint " + std::to_string(j); }).value);
}
}  // namespace
