// Files written by an older console are brought up to date: sessions get
// their plan as it stands (or none, and say so), and codes that differ only
// in case are refused, naming both.
#include "clinic_api_fixture.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

namespace
{
using namespace clinic_test;
using kinora_test::readFile;
using nlohmann::json;

// A file as the console wrote it before sessions kept their own plan.
const char* const kFirstSchema = R"(
  CREATE TABLE patients(id INTEGER PRIMARY KEY, code TEXT NOT NULL UNIQUE, note TEXT NOT NULL DEFAULT '',
    created REAL NOT NULL);
  CREATE TABLE plans(id INTEGER PRIMARY KEY, patient_id INTEGER NOT NULL REFERENCES patients(id) ON DELETE CASCADE,
    name TEXT NOT NULL, speed REAL NOT NULL CHECK (speed BETWEEN 0.25 AND 2.0), updated REAL NOT NULL,
    UNIQUE (patient_id, name));
  CREATE TABLE plan_items(plan_id INTEGER NOT NULL REFERENCES plans(id) ON DELETE CASCADE,
    position INTEGER NOT NULL, recording TEXT NOT NULL, PRIMARY KEY (plan_id, position));
  CREATE TABLE sessions(id INTEGER PRIMARY KEY, patient_id INTEGER NOT NULL REFERENCES patients(id) ON DELETE CASCADE,
    plan_id INTEGER REFERENCES plans(id) ON DELETE SET NULL, plan_name TEXT NOT NULL DEFAULT '',
    first_exercise INTEGER NOT NULL, speed REAL NOT NULL, started REAL NOT NULL, ended REAL,
    outcome TEXT NOT NULL CHECK (outcome IN ('running', 'completed', 'ended', 'interrupted')),
    log_path TEXT NOT NULL, log_offset INTEGER NOT NULL, fold_state TEXT);
  CREATE INDEX sessions_of_patient ON sessions(patient_id, started);
  CREATE TABLE session_exercises(session_id INTEGER NOT NULL REFERENCES sessions(id) ON DELETE CASCADE,
    seq INTEGER NOT NULL, position INTEGER NOT NULL, recording TEXT NOT NULL,
    outcome TEXT NOT NULL CHECK (outcome IN ('playing', 'played', 'skipped', 'ended early', 'unplayable')),
    playing_time REAL NOT NULL, paused_time REAL NOT NULL, tracking_wait REAL NOT NULL,
    timeout_fired INTEGER NOT NULL, speeds TEXT NOT NULL, moving_joints TEXT NOT NULL, variances TEXT NOT NULL,
    PRIMARY KEY (session_id, seq)) WITHOUT ROWID;
  CREATE TABLE checkins(session_id INTEGER NOT NULL REFERENCES sessions(id) ON DELETE CASCADE,
    position INTEGER NOT NULL, effort INTEGER CHECK (effort BETWEEN 0 AND 10),
    pain INTEGER CHECK (pain BETWEEN 0 AND 10), note TEXT NOT NULL DEFAULT '', recorded REAL NOT NULL,
    PRIMARY KEY (session_id, position)) WITHOUT ROWID;
  PRAGMA user_version = 1;)";

void oldFile(const std::string& path, const std::string& rows)
{
  sqlite3* db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &db));
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, (kFirstSchema + rows).c_str(), nullptr, nullptr, nullptr))
      << sqlite3_errmsg(db);
  sqlite3_close(db);
}

TEST(ClinicRecordUpgrade, SessionsGetTheirPlanAsItStandsOrNoneAndSaySo)
{
  kinora_test::TempDir dir;
  const std::string path = dir.path() + "clinic.db";
  oldFile(path, R"(
    INSERT INTO patients VALUES (1, 'P-1', '', 0), (2, 'P-2', '', 0);
    INSERT INTO plans VALUES (1, 1, 'week 1', 0.5, 0), (2, 1, 'week 2', 1.0, 0);
    INSERT INTO plan_items VALUES (1, 1, 'b.txt'), (1, 2, 'a.txt'), (2, 1, 'c.txt');
    INSERT INTO sessions VALUES (1, 1, 1, 'week 1', 1, 0.5, 10, 20, 'ended', '/l/1.jsonl', 0, NULL),
                                (2, 1, NULL, 'week 0', 1, 1.0, 30, 40, 'completed', '/l/2.jsonl', 0, NULL);
    INSERT INTO session_exercises VALUES (1, 0, 1, 'b.txt', 'played', 5, 0, 1, 0, '[0.5]', '[]', '[]');)");
  auto store = openStore(path);
  const SessionSummary kept = store->session(1).value;
  EXPECT_EQ((std::vector<std::string>{"b.txt", "a.txt"}), kept.planItems);
  EXPECT_EQ(PlanKept::kAtUpgrade, kept.planKept);
  EXPECT_EQ(0.5, kept.planSpeed);
  EXPECT_EQ(2, kept.resumeAt);
  const SessionSummary lost = store->session(2).value;
  EXPECT_EQ(std::vector<std::string>{}, lost.planItems);
  EXPECT_EQ(PlanKept::kNone, lost.planKept);
  EXPECT_EQ("week 0", lost.planName);
  EXPECT_EQ(1u, store->exercises(1).value.size());
  // Plans and sessions of before the person tracker match sides as a mirror;
  // their exercises have no tracker's result.
  EXPECT_TRUE(store->plan(1).value.mirror);
  EXPECT_TRUE(kept.planMirror);
  EXPECT_FALSE(store->exercises(1).value.at(0).tracking.present);
  // Ids are never given again, even the highest after its delete.
  ASSERT_TRUE(store->deletePatient(2, "P-2").ok());
  EXPECT_EQ(3, store->addPatient("P-3", "").value);
}

// Sessions of before rooms are the room of the console that upgrades the
// file; of two left running for one patient, the older is closed.
TEST(ClinicRecordUpgrade, OldSessionsAreTheUpgradingRoomsAndOneRunsPerPatient)
{
  kinora_test::TempDir dir;
  const std::string path = dir.path() + "clinic.db";
  oldFile(path, R"(
    INSERT INTO patients VALUES (1, 'P-1', '', 0), (2, 'P-2', '', 0);
    INSERT INTO sessions VALUES (1, 1, NULL, '', 1, 1.0, 10, NULL, 'running', '/l/1.jsonl', 0, NULL),
                                (2, 1, NULL, '', 1, 1.0, 30, NULL, 'running', '/l/2.jsonl', 0, NULL),
                                (3, 2, NULL, '', 1, 1.0, 20, 25, 'completed', '/l/3.jsonl', 0, NULL);)");
  auto store = openStore(path, "Room 9");
  EXPECT_EQ((std::vector<std::string>{"Room 9", "Room 9", "Room 9"}),
            (std::vector<std::string>{store->session(1).value.room, store->session(2).value.room,
                                      store->session(3).value.room}));
  EXPECT_EQ((std::vector<std::string>{"interrupted", "running"}),
            (std::vector<std::string>{store->session(1).value.outcome, store->session(2).value.outcome}));
  EXPECT_EQ(10, store->session(1).value.ended);
  EXPECT_EQ(std::vector<int64_t>{2}, store->runningSessions().value);
  ASSERT_EQ(1u, store->rooms().value.size());
  EXPECT_EQ("Room 9", store->rooms().value[0].name);
}

TEST(ClinicRecordUpgrade, CodesThatDifferOnlyInCaseAreRefusedNamingBoth)
{
  kinora_test::TempDir dir;
  const std::string path = dir.path() + "clinic.db";
  oldFile(path, "INSERT INTO patients VALUES (1, 'P-0001', '', 0), (2, 'p-0001', '', 0);");
  const std::string before = readFile(path);
  const auto opened = ClinicStore::open(path);
  EXPECT_EQ("clinic database [" + path +
                "]: the patients [P-0001] and [p-0001] have codes that differ only in case, which this console "
                "takes for one patient; left as it is (delete one of them with the console that made the file)",
            opened.error);
  EXPECT_TRUE(before == readFile(path));  // not printed: bytes
}
}  // namespace
