// Starting a session at a later recording (~first_recording): the cue schedule
// of each recording's place, the refusals, and the same timeline in nao_kinora_check.
#include "operator_calls.h"
#include "recording_files.h"
#include "ros_harness.h"
#include "run_script.h"

#include <gtest/gtest.h>
#include <ros/master.h>

#include <map>
#include <set>
#include <sstream>

using kinora_test::Harness;
using kinora_test::TempDir;
using namespace run_script;
using namespace operator_calls;

namespace
{
const int kRefused = 1;
}  // namespace

// Started at recording 3 of 4: the greeting, then recordings 3 and 4 with the
// cue schedules and feedback rows of their places, exactly as in a full run,
// and numbered 3 and 4 in the session log. Recording 1 is not needed (here
// it has no row) and not loaded.
TEST(FirstRecording, ThreeOfFourHasTheCueScheduleOfItsPlace)
{
  Harness h;
  TempDir dir;
  const std::string log = dir.write("session.jsonl", "");
  std::vector<Recording> recordings;
  for (int n = 0; n < 4; ++n)
  {
    const std::vector<int> feedback = scheduleFor(n + 2).feedbackRows;
    recordings.push_back(
        makeQuickRecording("r" + std::to_string(n + 1) + ".txt", n + 1, feedback.back() + 10, {n}, feedback));
  }
  recordings[0].durations.clear();
  auto node = startRun(h, dir.path(), "4", recordings, nodeTopics(), {"_first_recording:=3", "_session_log:=" + log});

  Script s;
  s.greeting();
  s.play(recordings[2], scheduleFor(4));
  s.act([&] { ASSERT_TRUE(tell(h, "trackingfinished", 0)); });
  s.play(recordings[3], scheduleFor(5));
  s.cue("bitis.wav");
  ASSERT_TRUE(follow(h, s)) << node->err();
  EXPECT_TRUE(closesAfterPause(h, *node));

  EXPECT_TRUE(ranAsScripted(h, s, recordings));
  EXPECT_EQ(playedLines(recordings[2].rows(), {2}) + "Trackingfinished0\n" + playedLines(recordings[3].rows(), {3}),
            node->out());
  const std::vector<nlohmann::json> events = sessionLog(log);
  const std::vector<nlohmann::json> loaded = eventsNamed(events, "recording loaded");
  const std::vector<nlohmann::json> reports = eventsNamed(events, "report");
  ASSERT_EQ(2u, loaded.size());
  ASSERT_EQ(2u, reports.size());
  EXPECT_EQ(3, loaded[0]["recording"]);
  EXPECT_EQ(4, loaded[1]["recording"]);
  EXPECT_EQ(3, reports[0]["recording"]);
  EXPECT_EQ(4, reports[1]["recording"]);
}

// A first recording that is not one of the session, or not a whole number,
// ends the node with one error naming the parameter and status 1, before it
// advertises anything.
TEST(FirstRecording, RefusedOutsideTheSession)
{
  Harness h(false);
  TempDir dir;
  const std::vector<Recording> recordings = {makeRecording("a.txt", 1, 2, 0.5f, {}),
                                             makeRecording("b.txt", 2, 2, 0.5f, {})};
  writeRecordings(dir.path(), recordings);
  const struct
  {
    std::string value;
    std::string error;
  } cases[] = {
      {"0", "parameter ~first_recording must be a recording of the session, 1 to 2, not the number 0"},
      {"3", "parameter ~first_recording must be a recording of the session, 1 to 2, not the number 3"},
      {"-1", "parameter ~first_recording must be a recording of the session, 1 to 2, not the number -1"},
      {"2.5", "parameter ~first_recording must be a whole number, not the number 2.5"},
      {"two", "parameter ~first_recording must be a whole number, not two"},
  };
  for (const auto& c : cases)
  {
    SCOPED_TRACE(c.value);
    std::vector<std::string> args = commandLine("2", recordings);
    args.push_back("_first_recording:=" + c.value);
    auto node = startNode(h, dir.path(), args);
    ASSERT_TRUE(node->waitExit(kinora_test::kConnectSeconds));
    EXPECT_EQ(kRefused, node->exitStatus());
    EXPECT_EQ("", node->out());
    // One line on standard error, naming the parameter.
    std::istringstream lines(node->err());
    std::vector<std::string> errors;
    for (std::string line; std::getline(lines, line);)
      errors.push_back(line);
    ASSERT_EQ(1u, errors.size()) << node->err();
    EXPECT_NE(std::string::npos, errors[0].find("[ERROR]")) << errors[0];
    EXPECT_NE(std::string::npos, errors[0].find(c.error)) << errors[0];
    ros::master::V_TopicInfo published;
    ASSERT_TRUE(ros::master::getTopics(published));
    for (const ros::master::TopicInfo& t : published)
      EXPECT_NE("/talkerfilename", t.name);
  }
}

namespace
{
std::string runCheck(const std::vector<std::string>& args, int& status)
{
  std::vector<std::string> argv = {KINORA_CHECK};
  argv.insert(argv.end(), args.begin(), args.end());
  kinora_test::Process check(argv);
  EXPECT_TRUE(check.waitExit(kinora_test::kConnectSeconds));
  status = check.exitStatus();
  return check.out() + check.err();
}

// The lines of one recording's block, without the session-time column: the
// same in a full session and in one that starts at it.
std::vector<std::string> recordingBlock(const std::string& text, int k, int count)
{
  std::istringstream in(text);
  std::vector<std::string> block;
  std::string line;
  bool inside = false;
  while (std::getline(in, line))
  {
    if (line.rfind("recording ", 0) == 0)
      inside = line.rfind("recording " + std::to_string(k) + " of " + std::to_string(count) + ":", 0) == 0;
    else if (line.empty())
      inside = false;
    if (inside)
      block.push_back(line.size() > 14 && line[0] == ' ' && line[13] == ' ' ? line.substr(14) : line);
  }
  return block;
}
}  // namespace

// nao_kinora_check with _first_recording:=3 shows recordings 3 and 4 as in the
// full session, after the greeting, and refuses a recording beyond the count.
TEST(FirstRecording, CheckToolShowsTheSameTimeline)
{
  TempDir dir;
  std::vector<Recording> recordings;
  for (int n = 0; n < 4; ++n)
    recordings.push_back(makeRecording("r" + std::to_string(n + 1) + ".txt", n + 1, 1000, 0.04f, {n}));
  writeRecordings(dir.path(), recordings);
  std::vector<std::string> args = commandLine("4", recordings);
  args.push_back("_recording_dir:=" + dir.path());

  int status = -1;
  const std::string full = runCheck(args, status);
  ASSERT_EQ(0, status) << full;
  args.push_back("_first_recording:=3");
  const std::string resumed = runCheck(args, status);
  ASSERT_EQ(0, status) << resumed;

  EXPECT_NE(std::string::npos, resumed.find("starting at recording 3 of 4")) << resumed;
  EXPECT_TRUE(recordingBlock(resumed, 1, 4).empty()) << resumed;
  EXPECT_TRUE(recordingBlock(resumed, 2, 4).empty()) << resumed;
  for (int k : {3, 4})
  {
    const std::vector<std::string> block = recordingBlock(resumed, k, 4);
    EXPECT_GT(block.size(), 5u) << resumed;
    EXPECT_EQ(recordingBlock(full, k, 4), block);
  }
  // The greeting, then 3 (5 s, 2 s, 999 rows of 40 ms) and 4 (15 s, 2 s, the same), then the closing.
  EXPECT_NE(std::string::npos, resumed.find("      10.000      +0.000  start signal 0 on motionStartStop")) << resumed;
  EXPECT_NE(std::string::npos, resumed.find("session length 118.920 s")) << resumed;

  args.back() = "_first_recording:=5";
  const std::string beyond = runCheck(args, status);
  EXPECT_EQ(kRefused, status);
  EXPECT_NE(std::string::npos,
            beyond.find("parameter ~first_recording must be a recording of the session, 1 to 4, not the number 5"))
      << beyond;
}
