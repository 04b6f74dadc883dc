// The clinical record holds: a session keeps the plan it was started with
// (items, name, speed) through edits and deletes, Resume plays that plan at
// the speed it last ran at and only from the last link of a chain, ids and a
// session's files are never another's, check-ins only for what was played and
// never wiped by an empty answer, speeds kept per exercise with their times,
// the timeline at the plan's speed, wall-time stamps, codes without case.
#include "clinic_api_fixture.h"

#include "nao_kinora_console/clinic/clinic_follower.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <dirent.h>
#include <nao_kinora/command_line.h>
#include <nao_kinora/timeline.h>

#include <algorithm>
#include <regex>
#include <unistd.h>

namespace
{
using namespace clinic_test;
using kinora_test::readFile;
using nlohmann::json;

// A stand-in for the node: writes its arguments to LOGNAME.args in the
// folder above the logs' (whole, by a rename), then exits 1 when told to refuse, 0 once told to
// stop (files "refuse" and "stop" in the folder above the logs' folder).
const char* const kNodeScript = R"(#!/bin/sh
for a in "$@"; do case "$a" in _session_log:=*) log=${a#_session_log:=};; esac; done
here=$(dirname "$log")/..
args=$here/$(basename "$log").args
printf '%s\n' "$@" > "$args.tmp" && mv "$args.tmp" "$args"
[ -e "$here/refuse" ] && exit 1
while [ ! -e "$here/stop" ]; do sleep 0.05; done
exit 0
)";

struct NodeRig
{
  NodeRig() : rig(program()), follower(*rig.store, *rig.launcher, *rig.api, nullptr, nullptr) {}
  ~NodeRig()
  {
    // Every stand-in ends, and its keeper is reaped, before the folder goes.
    rig.dir.write("stop", "");
    kinora_test::waitWallFor([&] { return !rig.launcher->busy(); }, 30, 0.01);
  }
  // The stand-ins launched here have all ended (their keepers wrote how).
  void waitExits()
  {
    ASSERT_TRUE(kinora_test::waitWallFor([&] { return !rig.launcher->busy(); }, 30, 0.01));
  }
  static std::string program()
  {
    static kinora_test::TempDir bin;
    const std::string path = bin.write("node.sh", kNodeScript);
    chmod(path.c_str(), 0700);
    return path;
  }
  // Starts through the API once the robot is free (every stand-in before
  // ended); waits until the new stand-in has written its arguments.
  json start(const std::string& path, int status = 201)
  {
    waitExits();
    const ApiReply r = rig.ask("POST", path, "{}");
    EXPECT_EQ(status, r.status) << r.body.dump();
    if (r.status == 201)
    {
      const int64_t id = r.body["session"];
      started.push_back(id);
      const std::string args = argsFile(id);
      EXPECT_TRUE(kinora_test::waitWallFor([&] { return !readFile(args).empty(); }, 30, 0.01));
    }
    return r.body;
  }
  std::string argsFile(int64_t id)
  {
    const std::string log = rig.store->sessionLog(id).value;
    return rig.dir.path() + log.substr(log.find_last_of('/') + 1) + ".args";
  }
  std::string args(int64_t id) { return readFile(argsFile(id)); }
  std::vector<std::string> sessionFiles()
  {
    std::vector<std::string> names;
    DIR* d = opendir((rig.dir.path() + "sessions").c_str());
    while (dirent* e = d ? readdir(d) : nullptr)
      if (e->d_name[0] != '.')
        names.push_back(e->d_name);
    if (d)
      closedir(d);
    std::sort(names.begin(), names.end());
    return names;
  }

  ApiRig rig;
  ClinicFollower follower;
  std::vector<int64_t> started;
};

int64_t addPatient(ApiRig& rig, const std::string& code)
{
  return rig.ask("POST", "/patients", json({{"code", code}}).dump()).body["id"];
}

int64_t addPlan(ApiRig& rig, int64_t patient, double speed, const std::vector<std::string>& items)
{
  const json plan = {{"name", "week 1"}, {"speed", speed}, {"items", items}};
  return rig.ask("POST", "/patients/" + std::to_string(patient) + "/plans", plan.dump()).body["id"];
}

std::string S(int64_t id)
{
  return "/sessions/" + std::to_string(id);
}

TEST(ClinicRecord, AReportKeepsThePlanAsItWasStarted)
{
  NodeRig n;
  n.rig.dir.write("stop", "");
  const int64_t plan = addPlan(n.rig, addPatient(n.rig, "P-0001"), 0.75, {"a.txt", "b.txt", "c.txt"});
  const int64_t s = n.start("/plans/" + std::to_string(plan) + "/start")["session"];
  const std::vector<std::string> played{"a.txt", "b.txt", "c.txt"};

  ASSERT_EQ(
      200, n.rig.ask("PUT", "/plans/" + std::to_string(plan), R"({"name": "week 2", "speed": 1.5, "items": ["c.txt"]})")
               .status);
  for (const char* after : {"an edit of the plan", "the plan deleted"})
  {
    const json report = n.rig.ask("GET", S(s)).body;
    EXPECT_EQ(played, report["planItems"].get<std::vector<std::string>>()) << after;
    EXPECT_EQ("week 1", report["session"]["planName"]) << after;
    EXPECT_EQ(0.75, report["session"]["planSpeed"]) << after;
    EXPECT_EQ("start", report["session"]["planKept"]) << after;
    n.rig.ask("DELETE", "/plans/" + std::to_string(plan));
  }
  EXPECT_EQ(404, n.rig.ask("GET", "/plans/" + std::to_string(plan)).status);
}

// Exercise 1 played, the speed set to 1.25 in exercise 2, then ended there.
void playedThenEndedIn2(ApiRig& rig, int64_t session)
{
  const std::string log = rig.store->sessionLog(session).value;
  append(log, line(0, "speed", {{"speed", 0.75}, {"recording", 0}, {"row", 0}}) + playedExercise(1, 10) +
                  line(30, "recording loaded", {{"recording", 2}, {"path", "/lib/b.txt"}}) +
                  line(31, "start signal", {{"recording", 2}}) +
                  line(33, "speed", {{"speed", 1.25}, {"recording", 2}, {"row", 4}}) + line(35, "end") +
                  line(36, "cue", {{"kind", "closing"}}));
  rig.store->ingestLog(session);
}

TEST(ClinicRecord, ResumePlaysTheSessionsPlanAtTheSpeedItLastRanAt)
{
  NodeRig n;
  n.rig.dir.write("stop", "");
  const int64_t plan = addPlan(n.rig, addPatient(n.rig, "P-0002"), 0.75, {"a.txt", "b.txt", "c.txt"});
  const int64_t first = n.start("/plans/" + std::to_string(plan) + "/start")["session"];
  playedThenEndedIn2(n.rig, first);
  ASSERT_EQ(
      200, n.rig.ask("PUT", "/plans/" + std::to_string(plan), R"({"name": "week 2", "speed": 1.0, "items": ["c.txt"]})")
               .status);

  const json resumed = n.start(S(first) + "/resume");
  const int64_t second = resumed["session"];
  EXPECT_EQ("3\na.txt\nb.txt\nc.txt\n_recording_dir:=" + n.rig.dir.path() + "library/\n_session_log:=" +
                n.rig.store->sessionLog(second).value + "\n_joint_limits:=true\n_first_recording:=2\n_speed:=1.25\n",
            n.args(second));
  EXPECT_EQ(2, resumed["timeline"]["first"]);
  EXPECT_EQ("b.txt", resumed["timeline"]["exercises"][0]["name"]);
  const json report = n.rig.ask("GET", S(second)).body;
  EXPECT_EQ((std::vector<std::string>{"a.txt", "b.txt", "c.txt"}), report["planItems"]);
  EXPECT_EQ("week 1", report["session"]["planName"]);
  EXPECT_EQ(1.25, report["session"]["planSpeed"]);
}

TEST(ClinicRecord, AChainOffersResumeOnlyOnItsLastUnfinishedLink)
{
  NodeRig n;
  n.rig.dir.write("stop", "");
  const int64_t plan = addPlan(n.rig, addPatient(n.rig, "P-0003"), 1.0, {"a.txt", "b.txt", "c.txt"});
  const int64_t first = n.start("/plans/" + std::to_string(plan) + "/start")["session"];
  playedThenEndedIn2(n.rig, first);
  const int64_t second = n.start(S(first) + "/resume")["session"];
  append(n.rig.store->sessionLog(second).value,
         playedExercise(2, 10) + line(30, "recording loaded", {{"recording", 3}, {"path", "/lib/c.txt"}}) +
             line(31, "end") + line(32, "cue", {{"kind", "closing"}}));
  n.rig.store->ingestLog(second);

  const ApiReply again = n.rig.ask("POST", S(first) + "/resume", "{}");
  EXPECT_EQ(409, again.status);
  EXPECT_EQ("This session was already resumed (session " + std::to_string(second) +
                "): resume the last session of the chain instead.",
            again.body.value("message", ""));
  const json a = n.rig.ask("GET", S(first)).body["session"];
  const json b = n.rig.ask("GET", S(second)).body["session"];
  EXPECT_EQ(0, a["resumeAt"]);
  EXPECT_EQ(second, a["resumedIn"]);
  EXPECT_EQ(0, a["resumes"]);
  EXPECT_EQ(3, b["resumeAt"]);
  EXPECT_EQ(first, b["resumes"]);
  EXPECT_EQ(0, b["resumedIn"]);
  const json page = n.rig.ask("GET", "/patients/" + std::to_string(a["patient"].get<int64_t>())).body;
  EXPECT_EQ(0, page["sessions"][0]["resumeAt"]);
  EXPECT_EQ(3, page["sessions"][1]["resumeAt"]);
  EXPECT_EQ(3, n.start(S(second) + "/resume")["first"]);
}

TEST(ClinicRecord, ADeletedPatientsFilesAreNeverTakenForANewSessions)
{
  NodeRig n;
  n.rig.dir.write("stop", "");
  const int64_t gone = addPatient(n.rig, "P-0004");
  const int64_t old = n.start("/plans/" + std::to_string(addPlan(n.rig, gone, 1.0, {"a.txt"})) + "/start")["session"];
  n.waitExits();
  n.follower.round();
  ASSERT_EQ(200, n.rig.ask("DELETE", "/patients/" + std::to_string(gone), R"({"confirm": "P-0004"})").status);
  EXPECT_EQ(std::vector<std::string>{}, n.sessionFiles());  // logs, exit, pid, error files: all theirs

  unlink((n.rig.dir.path() + "stop").c_str());
  const int64_t next = addPatient(n.rig, "P-0005");
  const int64_t s = n.start("/plans/" + std::to_string(addPlan(n.rig, next, 1.0, {"a.txt"})) + "/start")["session"];
  EXPECT_NE(old, s);
  EXPECT_NE(gone, next);
  n.follower.round();
  EXPECT_EQ("running", n.rig.ask("GET", S(s)).body["session"]["outcome"]);
}

TEST(ClinicRecord, ARefusedStartNeverLosesTheNextSession)
{
  NodeRig n;
  const int64_t plan = addPlan(n.rig, addPatient(n.rig, "P-0006"), 1.0, {"a.txt"});
  n.rig.dir.write("refuse", "");
  const int64_t refused = n.start("/plans/" + std::to_string(plan) + "/start")["session"];
  n.waitExits();
  n.follower.round();
  EXPECT_EQ(404, n.rig.ask("GET", S(refused)).status);  // nothing played: no trace kept

  unlink((n.rig.dir.path() + "refuse").c_str());
  const int64_t s = n.start("/plans/" + std::to_string(plan) + "/start")["session"];
  EXPECT_NE(refused, s);
  n.follower.round();
  const ApiReply report = n.rig.ask("GET", S(s));
  EXPECT_EQ(200, report.status) << report.body.dump();
  EXPECT_EQ("running", report.body["session"]["outcome"]);
}

struct CheckinCase
{
  const char* name;
  std::string body;
  int status;
  std::string says;
  json stored;  // exercise 1's answers afterwards
};

void PrintTo(const CheckinCase& c, std::ostream* out)
{
  *out << c.name;
}

const json kFirstAnswer = {{"effort", 3}, {"pain", 1}, {"note", "fine"}};

const CheckinCase kCheckins[] = {
    {"beyond the plan", R"({"position": 9, "effort": 5})", 400, "position: 9; this session's plan has 2 exercises",
     kFirstAnswer},
    {"just beyond the plan", R"({"position": 3, "pain": 5})", 400, "position: 3; this session's plan has 2 exercises",
     kFirstAnswer},
    {"not played yet", R"({"position": 2, "effort": 5})", 409,
     "Exercise 2 has not been played in this session: it cannot be rated yet.", kFirstAnswer},
    {"empty answer", R"({"position": 1, "effort": null, "pain": null, "note": ""})", 200,
     "Nothing was answered: the check-in stays as it was.", kFirstAnswer},
    {"pain only", R"({"position": 1, "pain": 4})", 201, "", {{"effort", 3}, {"pain", 4}, {"note", "fine"}}},
    {"note only", R"({"position": 1, "note": "sore"})", 201, "", {{"effort", 3}, {"pain", 1}, {"note", "sore"}}},
};

class ClinicRecordCheckins : public ::testing::TestWithParam<CheckinCase>
{
};

TEST_P(ClinicRecordCheckins, OnlyWhatWasPlayedIsRatedAndNothingIsWiped)
{
  const CheckinCase& c = GetParam();
  ApiRig rig;
  const int64_t patient = rig.store->addPatient("P-0007", "").value;
  const int64_t plan = rig.store->savePlan(patient, "w", 1.0, {"a.txt", "b.txt"}).value;
  const std::string log = rig.dir.path() + "sessions/s.jsonl";
  const int64_t s = rig.store->beginSession({patient, plan, 1, log}).value;
  append(log, playedExercise(1, 10));
  rig.store->ingestLog(s);
  ASSERT_EQ(201,
            rig.ask("POST", S(s) + "/checkins", R"({"position": 1, "effort": 3, "pain": 1, "note": "fine"})").status);

  const ApiReply r = rig.ask("POST", S(s) + "/checkins", c.body);
  EXPECT_EQ(c.status, r.status) << r.body.dump();
  EXPECT_EQ(c.says, r.body.value("message", "")) << r.body.dump();
  const json report = rig.ask("GET", S(s)).body;
  EXPECT_EQ(c.stored, report["exercises"][0]["checkin"]) << report.dump();
  ASSERT_EQ(1u, report["checkins"].size());
  EXPECT_EQ(3.0, rig.store->session(s).value.meanEffort);
  // The running page reads what is answered from the server, not from itself.
  const json now = rig.ask("GET", "/now").body["running"][0];
  EXPECT_EQ(c.stored, now["answers"]["1"]) << now.dump();
  EXPECT_FALSE(now["answers"].contains("2"));
}

INSTANTIATE_TEST_SUITE_P(Table, ClinicRecordCheckins, ::testing::ValuesIn(kCheckins),
                         [](const ::testing::TestParamInfo<CheckinCase>& info)
                         {
                           std::string name = info.param.name;
                           for (char& ch : name)
                             if (!isalnum(static_cast<unsigned char>(ch)))
                               ch = '_';
                           return name;
                         });

TEST(ClinicRecord, EachExerciseKeepsItsSpeedsWithTheirTimes)
{
  ApiRig rig;
  const int64_t patient = rig.store->addPatient("P-0008", "").value;
  const int64_t plan = rig.store->savePlan(patient, "w", 0.75, {"a.txt", "b.txt"}).value;
  const std::string log = rig.dir.path() + "sessions/s.jsonl";
  const int64_t s = rig.store->beginSession({patient, plan, 1, log}).value;
  // The start-up speed, then 1.25 set while exercise 1 plays.
  append(log, line(100, "speed", {{"speed", 0.75}, {"recording", 0}, {"row", 0}}) +
                  line(110, "recording loaded", {{"recording", 1}, {"path", "/lib/a.txt"}}) +
                  line(111, "start signal", {{"recording", 1}}) +
                  line(142, "speed", {{"speed", 1.25}, {"recording", 1}, {"row", 9}}) +
                  line(150, "last row sent", {{"row", 39}}) + line(150, "report", {{"recording", 1}}) +
                  playedExercise(2, 160));
  rig.store->ingestLog(s);

  const json report = rig.ask("GET", S(s)).body;
  const json both = json::array({{{"speed", 0.75}, {"at", 10.0}}, {{"speed", 1.25}, {"at", 42.0}}});
  EXPECT_EQ(both, report["exercises"][0]["speeds"]);
  EXPECT_EQ(json::array({{{"speed", 1.25}, {"at", 60.0}}}), report["exercises"][1]["speeds"]);
  ASSERT_EQ(1u, report["events"].size()) << report["events"].dump();  // the plan's own speed is no action
  EXPECT_EQ(json({{"event", "speed"}, {"time", 42.0}, {"from", 0.75}, {"speed", 1.25}}),
            json({{"event", report["events"][0]["event"]},
                  {"time", report["events"][0]["time"]},
                  {"from", report["events"][0]["from"]},
                  {"speed", report["events"][0]["speed"]}}));
  const json whole = json::parse(rig.store->exportJson(patient).value);
  EXPECT_EQ(both, whole["sessions"][0]["exercises"][0]["speeds"]);
  const std::string csv = rig.store->exportCsv(patient, nullptr).value;
  EXPECT_NE(std::string::npos, csv.find(",0.75 from 0:10; 1.25 from 0:42,")) << csv;
}

class ClinicRecordTimeline : public ::testing::TestWithParam<double>
{
};

TEST_P(ClinicRecordTimeline, TheTimelineTakesThePlansSpeed)
{
  const double speed = GetParam();
  ApiRig rig;
  const int64_t patient = rig.store->addPatient("P-0009", "").value;
  const int64_t plan = rig.store->savePlan(patient, "w", speed, {"a.txt", "b.txt", "c.txt"}).value;
  nao_kinora::setRecordingDir(rig.dir.path() + "library/");
  const nao_kinora::SessionTimeline model = nao_kinora::planSession({3, {"a.txt", "b.txt", "c.txt"}, 1});
  const json t = rig.ask("GET", "/plans/" + std::to_string(plan) + "/timeline").body;
  EXPECT_DOUBLE_EQ(model.atSpeed(model.length(), speed), t["length"].get<double>()) << speed;
  EXPECT_DOUBLE_EQ(model.atSpeed(model.starts[2], speed), t["exercises"][2]["start"].get<double>()) << speed;
  if (speed != 1.0)
    EXPECT_NE(model.length(), t["length"].get<double>());
}

INSTANTIATE_TEST_SUITE_P(Speeds, ClinicRecordTimeline, ::testing::Values(0.25, 0.5, 1.0, 2.0));

TEST(ClinicRecord, EndedIsWallTimeUnderASimulatedClock)
{
  ApiRig rig;
  const int64_t patient = rig.store->addPatient("P-0010", "").value;
  const std::string log = rig.dir.path() + "sessions/s.jsonl";
  const int64_t s = rig.store->beginSession({patient, 0, 1, log}).value;
  // A simulated clock ran 5,000 s of session while this test ran.
  append(log, playedExercise(1, 1e6) + line(1e6 + 5000, "cue", {{"kind", "closing"}}));
  rig.store->ingestLog(s);
  const double after = wallNow();
  const SessionSummary done = rig.store->session(s).value;
  EXPECT_EQ("completed", done.outcome);
  EXPECT_LE(done.ended, after);
  EXPECT_GE(done.ended, done.started);
}

TEST(ClinicRecord, CodesCompareWithoutCase)
{
  ApiRig rig;
  addPatient(rig, "P-0001");
  const ApiReply taken = rig.ask("POST", "/patients", R"({"code": "p-0001"})");
  EXPECT_EQ(409, taken.status);
  EXPECT_EQ("A patient with the code P-0001 already exists.", taken.body.value("message", ""));
  EXPECT_EQ("P-0001", rig.store->patientByCode("p-0001").value.code);
}

TEST(ClinicRecord, TheCsvGivesTimesAndJointsInWords)
{
  ApiRig rig;
  const int64_t patient = rig.store->addPatient("P-0011", "").value;
  const std::string log = rig.dir.path() + "sessions/s.jsonl";
  const int64_t s = rig.store->beginSession({patient, 0, 1, log, 1.0, 1765000000.5}).value;
  append(log, playedExercise(1, 10) + line(20, "cue", {{"kind", "closing"}}));
  rig.store->ingestLog(s);
  const std::string csv = rig.ask("GET", "/patients/" + std::to_string(patient) + "/export.csv").text;
  const std::string row = csv.substr(csv.find("\r\n") + 2);
  // Started 2025-12-06 05:46:40.5 UTC, in the machine's zone with its offset.
  EXPECT_TRUE(std::regex_search(row, std::regex(",2025-12-0[56]T\\d\\d:\\d\\d:40[+-]\\d\\d:\\d\\d,"))) << row;
  EXPECT_NE(std::string::npos, row.find(",head pitch; left elbow yaw; right hip roll,")) << row;
}

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
