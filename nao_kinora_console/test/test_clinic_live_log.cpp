// A real session log: the node plays three short recordings (the first rows
// of three sample exercises) to the simulated peers on a private master,
// under a clock the test drives; the operator pauses recording 2 for 3 s and
// skips recording 3. The store reads the log as it grows, a few times during
// the run, and its records match the log and what the operator did.
#include "clinic_test_util.h"
#include "nao_kinora_console/records/session_ingest.h"
#include "ros_harness.h"

#include <std_srvs/SetBool.h>
#include <std_srvs/Trigger.h>

#include <gtest/gtest.h>

#include <fstream>

namespace
{
using namespace clinic_test;
using kinora_test::readFile;

const double kTick = 0.25;         // simulated seconds per clock tick
const double kWallSeconds = 240;   // for each stretch of the run, on a loaded machine
const double kTrackingWait = 2.0;  // the simulated tracking node's wait after a stop signal

using clinic_test::shortRecording;

bool logHas(const std::string& log, const std::string& text)
{
  return readFile(log).find(text) != std::string::npos;
}

std::vector<nlohmann::json> reports(const std::string& log)
{
  std::vector<nlohmann::json> found;
  std::ifstream in(log);
  for (std::string line; std::getline(in, line);)
  {
    const nlohmann::json e = nlohmann::json::parse(line, nullptr, false);
    if (e.is_object() && e.value("event", "") == "report")
      found.push_back(e);
  }
  return found;
}

// The time of the log's first event named so for recording k.
double eventTime(const std::string& log, const std::string& event, int k)
{
  std::ifstream in(log);
  for (std::string line; std::getline(in, line);)
  {
    const nlohmann::json e = nlohmann::json::parse(line, nullptr, false);
    if (e.is_object() && e.value("event", "") == event && e.value("recording", 0) == k)
      return e["time"].get<double>();
  }
  ADD_FAILURE() << "no " << event << " of recording " << k << " in " << log;
  return -1;
}

TEST(ClinicLiveLog, SessionOfTheNodeAsItRuns)
{
  kinora_test::Harness h;
  h.setTick(ros::Duration(kTick));
  kinora_test::TempDir dir;
  const char* samples[] = {"01_hands_on_waist_left.txt", "03_arms_to_the_side.txt", "08_right_wrist.txt"};
  for (int k = 0; k < 3; ++k)
    shortRecording(samples[k], dir.path() + samples[k], 10 + 2 * k);
  const std::string log = dir.path() + "session.jsonl";
  std::vector<std::unique_ptr<kinora_test::Process>> peers;
  for (const char* peer : {"audio_player", "motion_executor", "tracking_node", "report_reader"})
    peers.push_back(h.start(std::string(SIM_BIN_DIR) + "/" + peer, {"_player:=none"}));
  auto store = openStore(dir.path() + "clinic.db");
  const int64_t patient = store->addPatient("P-LIVE", "").value;
  const int64_t session = store->beginSession({patient, 0, 1, log}).value;
  auto node = h.start(
      KINORA_NODE, {"3", samples[0], samples[1], samples[2], "_recording_dir:=" + dir.path(), "_session_log:=" + log});
  const ros::Duration most(300);

  ASSERT_TRUE(h.runUntil([&] { return logHas(log, "\"start signal\",\"recording\":2"); }, most, kWallSeconds))
      << node->err();
  // The node writes its log on one thread, in order: what came before the
  // start of recording 2 is there too (a line still being written is not read).
  EXPECT_EQ(2, store->ingestLog(session).value.exercisesTotal);  // 1 done, 2 loaded
  EXPECT_EQ("played", store->exercises(session).value.at(0).outcome);
  std_srvs::SetBool pause;
  pause.request.data = true;
  ASSERT_TRUE(ros::service::call("/nao_kinora/pause_playback", pause) && pause.response.success);
  h.advance(ros::Duration(3));
  pause.request.data = false;
  ASSERT_TRUE(ros::service::call("/nao_kinora/pause_playback", pause) && pause.response.success);
  ASSERT_TRUE(h.runUntil([&] { return logHas(log, "\"start signal\",\"recording\":3"); }, most, kWallSeconds))
      << node->err() << readFile(log);
  EXPECT_EQ("running", store->ingestLog(session).value.outcome);
  std_srvs::Trigger skip;
  ASSERT_TRUE(ros::service::call("/nao_kinora/skip_exercise", skip) && skip.response.success);
  ASSERT_TRUE(h.runUntil([&] { return !node->running(); }, most, kWallSeconds)) << node->err();

  const SessionSummary s = store->ingestLog(session).value;
  EXPECT_EQ("completed", s.outcome);
  EXPECT_EQ(2, s.exercisesPlayed);
  const std::vector<ExerciseRecord> got = store->exercises(session).value;
  const std::vector<nlohmann::json> reported = reports(log);
  ASSERT_EQ(3u, got.size());
  ASSERT_EQ(3u, reported.size());
  const char* outcomes[] = {"played", "played", "skipped"};
  for (int k = 0; k < 3; ++k)
  {
    EXPECT_EQ(k + 1, got[k].position);
    EXPECT_EQ(samples[k], got[k].recording);
    EXPECT_EQ(outcomes[k], got[k].outcome) << k;
    EXPECT_EQ(reported[k]["moving joints"].get<std::vector<int>>(), got[k].movingJoints) << k;
    EXPECT_EQ(reported[k]["variances"].get<std::vector<double>>(), got[k].variances) << k;
    EXPECT_FALSE(got[k].timeoutFired);
  }
  // Skipped as it began: played from its start signal to its report, as the
  // log stamps them (the skip may land a tick after the start on a loaded
  // machine), not from when it was loaded.
  EXPECT_DOUBLE_EQ(reported[2]["time"].get<double>() - eventTime(log, "start signal", 3), got[2].playingTime);
  EXPECT_GT(got[0].playingTime, 0);
  EXPECT_GT(got[1].playingTime, 0);
  EXPECT_NEAR(3.0, got[1].pausedTime, kTick + 1e-6);
  EXPECT_EQ(0.0, got[0].pausedTime);
  for (int k = 0; k < 2; ++k)
    EXPECT_NEAR(kTrackingWait, got[k].trackingWait, kTick + 1e-6) << k;

  // Read whole in one go, the same log gives the same records.
  const std::string copy = dir.write("copy.jsonl", "");
  const int64_t again = store->beginSession({patient, 0, 1, copy}).value;
  append(copy, readFile(log));
  EXPECT_EQ("completed", store->ingestLog(again).value.outcome);
  const std::vector<ExerciseRecord> whole = store->exercises(again).value;
  ASSERT_EQ(got.size(), whole.size());
  for (std::size_t k = 0; k < got.size(); ++k)
    EXPECT_EQ(exerciseToJson(got[k]), exerciseToJson(whole[k])) << k;
}
}  // namespace
