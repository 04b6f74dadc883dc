// The session log turned into exercise records: a table of short event
// sequences, each read whole and again a few bytes at a time (as a console
// reading a growing log, or one restarted between two reads, would).
#include "clinic_test_util.h"
#include "nao_kinora_console/records/session_ingest.h"
#include "test_util.h"

#include <gtest/gtest.h>

namespace
{
using namespace clinic_test;
using nlohmann::ordered_json;

struct Expected
{
  std::string outcome;
  double playing, paused, wait;
  bool timeout;
  std::vector<double> speeds;
};

struct IngestCase
{
  const char* name;
  std::string log;
  std::string sessionOutcome;
  std::vector<Expected> exercises;
  int resumeAt;
};

const ordered_json kAt1 = {{"recording", 1}, {"row", 3}, {"phase", "in recording 1 at row 3"}};
const ordered_json kAfter1 = {
    {"recording", 1}, {"row", 39}, {"phase", "after recording 1, waiting for person tracking"}};
const std::string kLoad1 = line(10, "recording loaded", {{"recording", 1}, {"path", "/lib/a.txt"}}) +
                           line(11, "start signal", {{"recording", 1}});
const std::string kReport1 =
    line(21, "report", {{"recording", 1}, {"moving joints", {2}}}) + line(21, "stop signal", {{"recording", 1}});
const std::string kClosing = line(40, "cue", {{"kind", "closing"}, {"file", "bitis.wav"}});
const std::string kLastRow = line(21, "last row sent", {{"row", 39}});

ordered_json withSeconds(ordered_json fields, double seconds)
{
  fields["paused seconds"] = seconds;
  return fields;
}

const IngestCase kCases[] = {
    {"PlayedFully",
     kLoad1 + kLastRow + kReport1 + line(24, "trackingfinished") + kClosing,
     "completed",
     {{"played", 10, 0, 3, false, {1}}},
     0},
    {"PausedWhilePlaying",
     kLoad1 + line(13, "pause", kAt1) + line(18, "resume", withSeconds(kAt1, 5)) + kLastRow + kReport1 +
         line(24, "trackingfinished") + kClosing,
     "completed",
     {{"played", 5, 5, 3, false, {1}}},
     0},
    {"PausedInTheWait",
     kLoad1 + kLastRow + kReport1 + line(22, "pause", kAfter1) + line(30, "resume", withSeconds(kAfter1, 8)) +
         line(31, "trackingfinished") + kClosing,
     "completed",
     {{"played", 10, 8, 10, false, {1}}},
     0},
    {"SkippedWhilePlaying",
     kLoad1 + line(15, "skip", kAt1) + kReport1 + line(24, "trackingfinished") + kClosing,
     "completed",
     {{"skipped", 10, 0, 3, false, {1}}},
     0},
    {"MotionEndedEarly",
     kLoad1 + line(16, "early end", {{"value", 1}, {"last row sent", 12}}) + kReport1 + line(24, "trackingfinished") +
         kClosing,
     "completed",
     {{"ended early", 10, 0, 3, false, {1}}},
     0},
    {"TrackingTimeout",
     kLoad1 + kLastRow + kReport1 + line(28.5, "tracking timeout", {{"recording", 1}}) + playedExercise(2, 29),
     "running",
     {{"played", 10, 0, 7.5, true, {1}}, {"played", 10, 0, 3, false, {1}}},
     3},
    {"WaitSkipped",
     kLoad1 + kLastRow + kReport1 + line(26, "skip", kAfter1) + kClosing,
     "completed",
     {{"played", 10, 0, 5, false, {1}}},
     0},
    {"EndedByTheOperator",
     kLoad1 + line(14, "end", kAt1) + kReport1 + kClosing,
     "ended",
     {{"ended early", 10, 0, 19, false, {1}}},
     1},
    {"UnplayableThenPlayed",
     line(5, "recording skipped", {{"recording", 1}, {"path", "/lib/empty.txt"}}) + playedExercise(2, 6),
     "running",
     {{"unplayable", 0, 0, 0, false, {1}}, {"played", 10, 0, 3, false, {1}}},
     3},
    {"SpeedChanges",
     kLoad1 + line(12, "speed", {{"speed", 0.5}}) + line(13, "speed", {{"speed", 0.5}}) +
         line(14, "speed", {{"speed", 1.5}}) + kLastRow + kReport1 + playedExercise(2, 25),
     "running",
     {{"played", 10, 0, 4, false, {1, 0.5, 1.5}}, {"played", 10, 0, 3, false, {1.5}}},
     3},
    {"KilledWhilePaused",
     kLoad1 + line(13, "pause", kAt1) + line(19, "shutdown"),
     "interrupted",
     {{"ended early", 2, 6, 0, false, {1}}},
     1},
    {"UnknownEventsAndBrokenLines",
     "not json\n[1,2]\n" + kLoad1 + line(12, "new kind of event", {{"x", 1}}) + "{\"time\": 13, \"event\"\n" +
         kLastRow + kReport1 + kClosing,
     "completed",
     {{"played", 10, 0, 19, false, {1}}},
     0},
};

// gtest names the case instead of dumping its bytes.
void PrintTo(const IngestCase& c, std::ostream* os)
{
  *os << c.name;
}

class Ingest : public ::testing::TestWithParam<IngestCase>
{
protected:
  kinora_test::TempDir dir;
  std::unique_ptr<ClinicStore> store = openStore(dir.path() + "clinic.db");

  // A session over the log, read in pieces of step bytes (0: whole); a
  // patient of its own, as one left running would refuse another session.
  SessionSummary run(const std::string& log, std::size_t step, const std::string& name)
  {
    const std::string path = dir.write(name, "{\"event\": \"from an earlier session\", \"time\": 1}\n");
    const int64_t patient = store->addPatient("P-" + name, "").value;
    const int64_t id = store->beginSession({patient, 0, 1, path, 0, 100}).value;
    for (std::size_t at = 0; at < log.size(); at += step ? step : log.size())
    {
      append(path, log.substr(at, step ? step : log.size()));
      EXPECT_TRUE(store->ingestLog(id).ok());
    }
    return store->ingestLog(id).value;
  }
};

TEST_P(Ingest, RecordsAsTheLogTells)
{
  const IngestCase& c = GetParam();
  for (const std::size_t step : {std::size_t(0), std::size_t(7)})
  {
    SCOPED_TRACE(step ? "read 7 bytes at a time" : "read whole");
    const SessionSummary s = run(c.log, step, "log" + std::to_string(step));
    EXPECT_EQ(c.sessionOutcome, s.outcome);
    EXPECT_EQ(c.resumeAt, s.resumeAt);
    const std::vector<ExerciseRecord> got = store->exercises(s.id).value;
    ASSERT_EQ(c.exercises.size(), got.size());
    for (std::size_t i = 0; i < got.size(); ++i)
    {
      EXPECT_EQ(c.exercises[i].outcome, got[i].outcome) << i;
      EXPECT_DOUBLE_EQ(c.exercises[i].playing, got[i].playingTime) << i;
      EXPECT_DOUBLE_EQ(c.exercises[i].paused, got[i].pausedTime) << i;
      EXPECT_DOUBLE_EQ(c.exercises[i].wait, got[i].trackingWait) << i;
      EXPECT_EQ(c.exercises[i].timeout, got[i].timeoutFired) << i;
      std::vector<double> speeds;
      for (const SpeedAt& at : got[i].speeds)
        speeds.push_back(at.speed);
      EXPECT_EQ(c.exercises[i].speeds, speeds) << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Events, Ingest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<IngestCase>& i) { return std::string(i.param.name); });

// The report's joints and variances, the file name without its folder, and
// the session's end in wall time: its start plus the log's span.
TEST(IngestDetail, ReportAndTimes)
{
  kinora_test::TempDir dir;
  auto store = openStore(dir.path() + "clinic.db");
  const int64_t patient = store->addPatient("P-2", "").value;
  const std::string log = dir.write("log", "");
  const int64_t id = store->beginSession({patient, 0, 4, log, 0.75, 1000}).value;
  append(log, playedExercise(4, 50) + line(70, "cue", {{"kind", "closing"}}));
  const SessionSummary s = store->ingestLog(id).value;
  EXPECT_DOUBLE_EQ(1020, s.ended);
  EXPECT_EQ(1, s.exercisesPlayed);
  const ExerciseRecord e = store->exercises(id).value.at(0);
  EXPECT_EQ("04_exercise.txt", e.recording);
  EXPECT_EQ(4, e.position);
  EXPECT_EQ((std::vector<int>{1, 4, 17}), e.movingJoints);
  EXPECT_EQ(std::vector<double>(22, 0.25), e.variances);
  EXPECT_EQ((std::vector<SpeedAt>{{0.75, 0}}), e.speeds);
}
// A log edited by hand, or written by another program, may hold any type in
// any field: each line is folded without an exception, a field of the wrong
// type read as absent, and the lines around it still count.
TEST(IngestDetail, FieldsOfTheWrongTypeReadAsAbsent)
{
  const std::vector<std::string> odd = {
      R"({"time": 12, "event": 5})",
      R"({"time": 12, "event": ["report"]})",
      R"({"time": 12, "event": "recording loaded", "recording": 1e300, "path": 7})",
      R"({"time": 12, "event": "report", "recording": 1, "moving joints": "2", "variances": {"a": 1}})",
      R"({"time": 12, "event": "report", "recording": 1, "moving joints": [2, "x", null], "variances": [0.5, true]})",
      R"({"time": 12, "event": "cue", "kind": 3})",
      R"({"time": "12", "event": "speed", "speed": "fast"})",
      R"({"time": 12, "event": "tracking result", "recording": 1, "file": 9})",
      R"({"time": 12, "event": "tracking result", "recording": -4, "joints": [1, {"joint": 2}]})",
      R"([1, 2, 3])",
      R"("event")",
  };
  for (const std::string& text : odd)
  {
    SessionFold fold;
    applyEvent(fold, nlohmann::json::parse(line(10, "recording loaded", {{"recording", 1}, {"path", "/lib/a.txt"}})));
    applyEvent(fold, nlohmann::json::parse(line(11, "start signal", {{"recording", 1}})));
    EXPECT_NO_THROW(applyEvent(fold, nlohmann::json::parse(text))) << text;
    applyEvent(fold, nlohmann::json::parse(line(40, "cue", {{"kind", "closing"}})));
    EXPECT_EQ("completed", fold.outcome) << text;
    ASSERT_FALSE(fold.exercises.empty()) << text;
    EXPECT_EQ("a.txt", fold.exercises.front().recording) << text;
  }
  // What was of the right type in a line that also held the wrong one is kept.
  SessionFold fold;
  applyEvent(fold, nlohmann::json::parse(line(10, "recording loaded", {{"recording", 1}, {"path", "/lib/a.txt"}})));
  applyEvent(fold, nlohmann::json::parse(odd[4]));
  EXPECT_EQ((std::vector<int>{2}), fold.exercises.at(0).movingJoints);
  EXPECT_EQ((std::vector<double>{0.5}), fold.exercises.at(0).variances);
}
}  // namespace
