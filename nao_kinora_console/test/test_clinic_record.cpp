// The clinical record holds: a session keeps the plan it was started with
// (items, name, speed) through edits and deletes, Resume plays that plan at
// the speed it last ran at and only from the last link of a chain, ids and a
// session's files are never another's, speeds kept per exercise with their
// times, wall-time stamps, codes without case.
#include "clinic_record_rig.h"

#include <gtest/gtest.h>

#include <nao_kinora/command_line.h>
#include <nao_kinora/timeline.h>

#include <algorithm>
#include <regex>
#include <unistd.h>

namespace
{
using namespace clinic_test;
// Three recordings with no cues of their own: none are said (the places'
// cues belong to the samples' places, not to another plan's).
const std::string kNoCues3 = R"([{"feedback":[],"introduction":[]},{"feedback":[],"introduction":[]},)"
                             R"({"feedback":[],"introduction":[]}])";

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
  EXPECT_EQ("3\na.txt\nb.txt\nc.txt\n_recording_dir:=" + n.rig.dir.path() +
                "library/\n_session_log:=" + n.rig.store->sessionLog(second).value +
                "\n_joint_limits:=true\n_first_recording:=2\n_speed:=1.25\n_cues:=" + kNoCues3 + "\n",
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
}  // namespace
