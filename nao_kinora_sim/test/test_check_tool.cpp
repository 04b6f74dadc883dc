// nao_kinora_check run as a program: the timeline of the sample session (also
// at another speed), of recordings with faults, the robot's joint limits, the
// plots, and the exit status.
#include "processes.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

using kinora_test::TempDir;

namespace
{
const std::string kExercises = SIM_DIR "/exercises";
const std::vector<std::string> kSamples = {
    "01_hands_on_waist_left.txt",
    "02_hands_on_waist_right.txt",
    "03_arms_to_the_side.txt",
    "04_seated_elbows.txt",
    "05_nao_sits.txt",
    "06_right_knee.txt",
    "07_left_knee.txt",
    "08_right_wrist.txt",
    "09_left_wrist.txt",
};
const int kRefused = 1;
const double kRunWallSeconds = 60.0;

struct Outcome
{
  int status;
  std::string out;
  std::string err;
};

// Runs nao_kinora_check with args and waits for it to end.
Outcome check(std::vector<std::string> args)
{
  args.insert(args.begin(), KINORA_CHECK);
  kinora_test::Process tool(args);
  const bool ended = tool.waitExit(kRunWallSeconds);
  return {ended ? tool.exitStatus() : -1, tool.out(), tool.err()};
}

// Holds when every line of expected is a whole line of text, in this order.
::testing::AssertionResult hasLinesInOrder(const std::string& text, const std::vector<std::string>& expected)
{
  std::istringstream lines(text);
  std::string line;
  std::size_t found = 0;
  while (found < expected.size() && std::getline(lines, line))
    if (line == expected[found])
      ++found;
  if (found == expected.size())
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "no line [" << expected[found] << "] (after the ones before it) in:\n"
                                       << text;
}

// A row of 22 joint angles, all a, and its duration.
std::string row(double a, double duration)
{
  std::ostringstream line;
  for (int j = 0; j < 22; ++j)
    line << a << ' ';
  line << duration << '\n';
  return line.str();
}

std::vector<std::string> withDir(std::vector<std::string> args, const std::string& dir)
{
  args.push_back("_recording_dir:=" + dir);
  return args;
}

TEST(CheckTool, PrintsTheSampleSessionTimeline)
{
  std::vector<std::string> args = {"9"};
  args.insert(args.end(), kSamples.begin(), kSamples.end());
  const Outcome run = check(withDir(args, kExercises));  // no final slash: added as the node adds it

  EXPECT_EQ(0, run.status) << run.err;
  EXPECT_TRUE(hasLinesInOrder(
      run.out,
      {
          "session of 9 recording(s) from " + kExercises + "/",
          "       0.000              merhaba.wav (greeting), pause 5.000 s",
          "       5.000              aciklama.wav (greeting), pause 5.000 s",
          "recording 1 of 9: 01_hands_on_waist_left.txt (argument 2)",
          "  900 rows, playing time 37.960 s (row 0 held 2.000 s)",
          "      10.000      +0.000  start signal 0 on motionStartStop",
          "      10.000      +0.000  ellerbeldesol.wav (opening), pause 5.000 s",
          "      15.000      +5.000  row 0, held 2.000 s",
          "      20.720     +10.720  1feed.wav (feedback) before row 94",
          "      35.760     +25.760  2feed.wav (feedback) before row 470",
          "      50.240     +40.240  3feed.wav (feedback) before row 832",
          "      52.960     +42.960  motion over after row 899: report, then 1 on motionStartStop",
          "  moving joints (variance >= 0.01): 11 lefthiproll, 15 leftankleroll, 17 righthiproll, 21 rightankleroll",
          "recording 3 of 9: 03_arms_to_the_side.txt (argument 4)",
          "  960 rows, playing time 40.360 s (row 0 held 2.000 s)",
          "     139.640     +43.720  5feed.wav (feedback) before row 919",
          "  moving joints (variance >= 0.01): 3 leftshoulderroll, 7 rightshoulderroll",
          "recording 4 of 9: 04_seated_elbows.txt (argument 5)",
          "  780 rows, playing time 33.160 s (row 0 held 2.000 s)",
          "     141.280      +0.000  oturabilirsiniz.wav (opening), pause 10.000 s",
          "     151.280     +10.000  dirsekler.wav (opening), pause 5.000 s",
          "     156.280     +15.000  row 0, held 2.000 s",
          "     163.440     +22.160  1feed.wav (feedback) before row 130",
          "     187.080     +45.800  5feed.wav (feedback) before row 721",
          "     189.440     +48.160  motion over after row 779: report, then 1 on motionStartStop",
          "recording 5 of 9: 05_nao_sits.txt (argument 6)",
          "     189.440      +0.000  naooturacak.wav (opening), pause 3.000 s",
          "     192.440      +3.000  row 0, held 2.000 s",
          "     204.400     +14.960  motion over after row 249: report, then 1 on motionStartStop",
          "  moving joints (variance >= 0.01): 2 leftshoulderpitch, 6 rightshoulderpitch, 12 lefthippitch, "
          "13 leftkneepitch, 18 righthippitch, 19 rightkneepitch",
          "recording 9 of 9: 09_left_wrist.txt (argument 10)",
          "     297.280      +0.000  solbilek.wav (opening), pause 5.000 s",
          "     328.240     +30.960  motion over after row 599: report, then 1 on motionStartStop",
          "  moving joints (variance >= 0.01): 4 leftelbowyaw",
          "     328.240              bitis.wav (closing), pause 5.000 s",
          "session length 333.240 s (5 min 33.240 s) with greeting and closing, without the waits for the "
          "tracking node",
      }));
  EXPECT_EQ(std::string::npos, run.out.find("never played"));
  EXPECT_EQ(std::string::npos, run.out.find("warning"));
}

// At _speed:=2 every pause but row 0's is halved; the samples keep the robot's
// joint limits at that speed, and each says the highest speed it allows.
TEST(CheckTool, PrintsTheSampleSessionAtASpeedWithTheHighestEachAllows)
{
  std::vector<std::string> args = {"9"};
  args.insert(args.end(), kSamples.begin(), kSamples.end());
  args.push_back("_speed:=2");
  const Outcome run = check(withDir(args, kExercises));

  EXPECT_EQ(0, run.status) << run.err;
  EXPECT_TRUE(hasLinesInOrder(
      run.out, {
                   "at speed 2 (_speed:=2): each row's pause but row 0's is its duration divided by 2",
                   "recording 1 of 9: 01_hands_on_waist_left.txt (argument 2)",
                   "  900 rows, playing time 19.980 s at speed 2 (row 0 held 2.000 s)",
                   "      15.000      +5.000  row 0, held 2.000 s",
                   "      18.860      +8.860  1feed.wav (feedback) before row 94",
                   "      34.980     +24.980  motion over after row 899: report, then 1 on motionStartStop",
                   "  joint limits: none broken at speed 2",
                   "  highest safe speed 11.8 (LHipRoll at row 404)",
                   "recording 2 of 9: 02_hands_on_waist_right.txt (argument 3)",
                   "      34.980      +0.000  start signal 0 on motionStartStop",
                   "  highest safe speed 12.33 (RAnkleRoll at row 287)",
                   "  highest safe speed 7.39 (LShoulderRoll at row 44)",
                   "  highest safe speed 8.29 (LElbowRoll at row 507)",
                   "  highest safe speed 32.41 (LKneePitch at row 108)",
                   "  highest safe speed 3.97 (RKneePitch at row 93)",
                   "  highest safe speed 3.87 (LKneePitch at row 373)",
                   "  highest safe speed 4.73 (RElbowYaw at row 456)",
                   "  highest safe speed 4.78 (LElbowYaw at row 143)",
                   "session length 209.620 s (3 min 29.620 s) with greeting and closing, without the waits for the "
                   "tracking node",
               }));
  EXPECT_EQ(std::string::npos, run.out.find("refuse")) << run.out;
}

// Every fault is listed whatever _joint_limits says; with it true, as the node
// then does, they refuse the session.
TEST(CheckTool, ListsEveryJointLimitFaultAndRefusesWithThemInForce)
{
  TempDir dir;
  // The elbows bent a little (straight, they are past their range), and
  // LShoulderRoll (column 3) at shoulderRoll.
  const auto line = [](const char* shoulderRoll)
  {
    std::string text;
    for (int j = 0; j < 22; ++j)
      text += j == 3 ? std::string(shoulderRoll) + " " : j == 5 ? "-0.5 " : j == 9 ? "0.5 " : "0 ";
    return text + "0.04\n";
  };
  dir.write("fault.txt", line("0") + line("1.5") + line("0"));
  const std::vector<std::string> faults = {
      "  joint limits: 3 fault(s) at speed 1:",
      "    line 2, row 1: LShoulderRoll at 1.5 rad is above its upper limit 1.3264 rad",
      "    line 2, row 1: LShoulderRoll moves 1.5 rad in 0.04 s at speed 1: 37.5 rad/s, above its maximum 7.194 rad/s",
      "    line 3, row 2: LShoulderRoll moves 1.5 rad in 0.04 s at speed 1: 37.5 rad/s, above its maximum 7.194 rad/s",
      "  highest safe speed 0.19 (LShoulderRoll at row 1)",
  };
  const std::string breaks = " recording 1 (" + dir.path() + "fault.txt) breaks the robot's joint limits at speed 1";

  const Outcome listed = check(withDir({"1", "fault.txt"}, dir.path()));
  EXPECT_EQ(0, listed.status) << listed.err;
  std::vector<std::string> expected = faults;
  expected.push_back("with _joint_limits:=true the node would refuse:" + breaks);
  EXPECT_TRUE(hasLinesInOrder(listed.out, expected));

  const Outcome refused = check(withDir({"1", "fault.txt", "_joint_limits:=true"}, dir.path()));
  EXPECT_EQ(kRefused, refused.status);
  expected.back() = "the node would refuse to start:" + breaks;
  EXPECT_TRUE(hasLinesInOrder(refused.out, expected));

  for (const auto& bad : std::vector<std::pair<std::string, std::string>>{
           {"_speed:=3", "parameter ~speed must be from 0.25 (slowest) to 2 (fastest), not 3"},
           {"_speed:=fast", "parameter ~speed must be a number, not fast"},
           {"_joint_limits:=yes", "parameter ~joint_limits must be true or false, not yes"}})
  {
    const Outcome wrong = check(withDir({"1", "fault.txt", bad.first}, dir.path()));
    EXPECT_EQ(kRefused, wrong.status) << bad.first;
    EXPECT_EQ("", wrong.out);
    EXPECT_NE(std::string::npos, wrong.err.find(bad.second)) << wrong.err;
  }
}

TEST(CheckTool, ShowsUnplayedFeedbackUnheldRowsAndWarningsYetStarts)
{
  TempDir dir;
  std::string text;
  for (int r = 0; r < 100; ++r)
    text += row(0.1, r == 50 ? -1.0 : 0.04);  // row 50 (line 51) is not held
  text += "oops\n" + row(0.1, 0.04) + row(0.1, 0.04);
  const std::string name = "short.txt";
  dir.write(name, text);

  const Outcome run = check(withDir({"1", name, "__ns:=/robot"}, dir.path()));

  EXPECT_EQ(0, run.status) << run.err;
  EXPECT_TRUE(hasLinesInOrder(
      run.out,
      {
          "recording 1 of 1: short.txt (argument 2)",
          "  100 rows, playing time 5.920 s (row 0 held 2.000 s)",
          "      15.000      +5.000  row 0, held 2.000 s",
          "      20.680     +10.680  1feed.wav (feedback) before row 94",
          "      20.920     +10.920  motion over after row 99: report, then 1 on motionStartStop",
          "  never played: 2feed.wav at row 470, past the last row (99)",
          "  never played: 3feed.wav at row 832, past the last row (99)",
          "  moving joints (variance >= 0.01): none",
          "      20.920              bitis.wav (closing), pause 5.000 s",
          "session length 25.920 s (0 min 25.920 s) with greeting and closing, without the waits for the tracking node",
      }));
  const std::string where = dir.path() + "short.txt:";
  EXPECT_NE(std::string::npos, run.out.find("  warning: " + where + "51: duration -1 s"));
  EXPECT_NE(std::string::npos, run.out.find("  warning: " + where + "101: loading stops here"));
}

TEST(CheckTool, GivesEveryRecordingAfterTheNinthNoCue)
{
  TempDir dir;
  const std::string name = "one.txt";
  dir.write(name, row(0.0, 0.04));
  const Outcome run = check(withDir({"10", name, name, name, name, name, name, name, name, name, name}, dir.path()));

  EXPECT_EQ(0, run.status) << run.err;
  // Each recording: its opening pauses (53 s for the first nine) and row 0 held 2 s.
  EXPECT_TRUE(hasLinesInOrder(
      run.out,
      {
          "recording 10 of 10: one.txt (argument 11)",
          "  1 rows, playing time 2.000 s (row 0 held 2.000 s)",
          "      81.000      +0.000  start signal 0 on motionStartStop",
          "      81.000      +0.000  row 0, held 2.000 s",
          "      83.000      +2.000  motion over after row 0: report, then 1 on motionStartStop",
          "      83.000              bitis.wav (closing), pause 5.000 s",
          "session length 88.000 s (1 min 28.000 s) with greeting and closing, without the waits for the tracking node",
      }));
}

TEST(CheckTool, RefusesWhereTheNodeWould)
{
  TempDir dir;
  const std::string empty = "empty.txt";
  const std::string good = "good.txt";
  dir.write(empty, "");
  dir.write(good, row(0.0, 0.04) + row(0.0, 0.04));

  const Outcome missing = check(withDir({"3", good, "missing.txt", empty}, dir.path()));
  EXPECT_EQ(kRefused, missing.status);
  EXPECT_TRUE(hasLinesInOrder(
      missing.out, {
                       "recording 1 of 3: good.txt (argument 2)",
                       "  2 rows, playing time 2.040 s (row 0 held 2.000 s)",
                       "recording 2 of 3: missing.txt (argument 3)",
                       "  cannot be played: " + dir.path() + "missing.txt: cannot be opened",
                       "recording 3 of 3: empty.txt (argument 4)",
                       "the node would refuse to start: recording 2 (" + dir.path() + "missing.txt) has no row to play",
                       "the node would refuse to start: recording 3 (" + dir.path() + "empty.txt) has no row to play",
                   }));
  EXPECT_EQ(std::string::npos, missing.out.find("session length")) << missing.out;

  const std::string recordingDir = "_recording_dir:=" + dir.path();
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {recordingDir}, {"3", good, good, recordingDir}, {"1", good, recordingDir, "--plot"}})
  {
    const Outcome bad = check(args);
    EXPECT_EQ(kRefused, bad.status) << bad.out;
    EXPECT_EQ("", bad.out);
    EXPECT_NE(std::string::npos, bad.err.find("--plot DIR")) << bad.err;
  }
}

TEST(CheckTool, SaysAnIdleSessionPlaysNothing)
{
  const Outcome run = check({"0"});
  EXPECT_EQ(0, run.status);
  EXPECT_TRUE(
      hasLinesInOrder(run.out, {
                                   "       5.000              aciklama.wav (greeting), pause 5.000 s",
                                   "no recording is played: after the greeting the node idles until it is shut down",
                               }));
  EXPECT_EQ(std::string::npos, run.out.find("bitis.wav"));
}

// Width and height from a PNG's header chunk, 0 when it is no PNG.
void pngSize(const std::string& png, unsigned& width, unsigned& height)
{
  const std::string signature = "\x89PNG\r\n\x1a\n";
  width = height = 0;
  if (png.size() < 24 || png.compare(0, signature.size(), signature) != 0)
    return;
  auto word = [&](std::size_t at)
  {
    unsigned value = 0;
    for (std::size_t k = 0; k < 4; ++k)
      value = value << 8 | static_cast<unsigned char>(png[at + k]);
    return value;
  };
  width = word(16);
  height = word(20);
}

TEST(CheckTool, PlotsEachPlayableRecording)
{
  TempDir dir;
  const std::string plots = dir.path() + "plots";
  const Outcome run = check(withDir({"--plot", plots, "2", kSamples[0], kSamples[4]}, kExercises));

  EXPECT_EQ(0, run.status) << run.err;
  const std::vector<std::string> files = {plots + "/recording_1_01_hands_on_waist_left.png",
                                          plots + "/recording_2_05_nao_sits.png"};
  EXPECT_TRUE(hasLinesInOrder(run.out, {"plot: " + files[0], "plot: " + files[1]}));
  for (const std::string& file : files)
  {
    unsigned width, height;
    pngSize(kinora_test::readFile(file), width, height);
    EXPECT_EQ(1600u, width) << file;
    EXPECT_EQ(900u, height) << file;
  }
}
}  // namespace
