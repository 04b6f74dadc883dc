// nao_kinora_record as a program against a private master under a driven
// /clock: a sample exercise played by the node to the simulated robot and
// recorded from its /joint_states; stopped by SIGINT or killed mid-recording;
// refused before recording.
#include "ros_harness.h"

#include <nao_kinora/recording_check.h>
#include <nao_kinora/joint_limits.h>
#include <nao_kinora/joint_row.h>
#include <sensor_msgs/JointState.h>
#include <std_srvs/Trigger.h>

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>

using namespace nao_kinora;
using kinora_test::Harness;

namespace
{
const double kWall = 10.0;  // wall seconds for a program to answer or end
const float kRadians = 1e-3f;

std::vector<JointRow> loaded(const std::string& path)
{
  std::vector<JointRow> rows;
  const RecordingCheck check = checkRecording(path, &rows);
  EXPECT_TRUE(check.problems.empty()) << path << ": " << check.problems.size() << " problem(s)";
  return rows;
}

// Whether row lies on the way from a to b: every joint at a + f (b - a) for
// one f in [0, 1], within kRadians.
bool between(const JointRow& row, const JointRow& a, const JointRow& b)
{
  int widest = 0;
  for (int j = 0; j < kJointCount; ++j)
    if (std::fabs(b[j] - a[j]) > std::fabs(b[widest] - a[widest]))
      widest = j;
  const float span = b[widest] - a[widest];
  const float f = span == 0 ? 0 : std::min(1.0f, std::max(0.0f, (row[widest] - a[widest]) / span));
  for (int j = 0; j < kJointCount; ++j)
    if (std::fabs(row[j] - (a[j] + f * (b[j] - a[j]))) > kRadians)
      return false;
  return true;
}

// The node plays 05_nao_sits (250 rows, 40 ms each after row 0's 2 s) to the
// simulated robot, which publishes /joint_states at 50 Hz; recorded at 25 Hz.
// The samples hold still for about a second at both ends as part of the
// exercise, so _still:=0 trims only the exact holds: row 0's 2 s and the last
// row after the end. Tolerance: the recorder samples every 40 ms from the
// first joint state, on the 20 ms grid of the joint states; a row sent at the
// instant of a joint state shows in it or only in the next one, whichever of
// the robot's two callbacks runs first. So recorded row i shows sample row i,
// or a point between rows i - 1 and i, or i and i + 1, and never anything
// else; 1e-3 rad is float rounding through double and back, far below the
// smallest change between two rows of the sample.
TEST(Recorder, RecordsTheSimulatedRobotPlayingASample)
{
  kinora_test::TempDir dir;
  const std::string out = dir.path() + "taught.txt";
  Harness h;
  auto robot = h.start(SIM_BIN_DIR "/motion_executor");
  auto recorder = h.start(RECORDER, {out, "_still:=0"});
  h.record("talkerfilename");
  h.record("motionStartStop");
  auto node = h.start(KINORA_NODE, {"1", "05_nao_sits.txt", "_recording_dir:=" SIM_DIR "/exercises/"});
  h.setTick(ros::Duration(0.5));  // the greeting and the opening cue: whole seconds
  ASSERT_TRUE(h.runUntil([&] { return h.count("talkerfilename") == 3; }, ros::Duration(30))) << node->err();
  // Every row and every joint state falls on this grid.
  h.setTick(ros::Duration(0.02));
  const ros::WallTime playing = ros::WallTime::now();
  const auto over = [&] { return h.count("motionStartStop") == 2; };
  ASSERT_TRUE(h.runUntil(over, ros::Duration(30), 300))
      << "at " << h.now() << " after " << (ros::WallTime::now() - playing).toSec() << " s\n"
      << node->err() << robot->err() << recorder->err();
  h.advance(ros::Duration(0.2));

  std_srvs::Trigger stop;
  ASSERT_TRUE(ros::service::waitForService("/nao_kinora_record/stop", static_cast<int>(1000 * kWall)));
  ASSERT_TRUE(ros::service::call("/nao_kinora_record/stop", stop));
  ASSERT_TRUE(recorder->waitExit(kWall));
  ASSERT_EQ(0, recorder->exitStatus()) << recorder->err();
  const std::vector<JointRow> sample = loaded(SIM_DIR "/exercises/05_nao_sits.txt");
  const std::vector<JointRow> rows = loaded(out);
  char line[64];
  std::snprintf(line, sizeof line, ": %zu rows, %.2f s\n", rows.size(), rows.size() / 25.0);
  EXPECT_EQ(out + line, recorder->out());
  ASSERT_LE(std::abs(int(rows.size()) - int(sample.size())), 1) << rows.size() << " rows";
  EXPECT_TRUE(between(rows.front(), sample.front(), sample.front()));
  EXPECT_TRUE(between(rows.back(), sample.back(), sample.back()));
  for (std::size_t i = 1; i + 1 < rows.size(); ++i)
    EXPECT_TRUE(between(rows[i], sample[i - 1], sample[i]) || between(rows[i], sample[i], sample[i + 1]))
        << "recorded row " << i << " is not where sample row " << i << " is";
}

// Joint j at the middle of its range, plus 0.001 k (j + 1) in the k-th
// message: within every joint's range for 26 messages, and at most 1.1 rad/s.
double angle(int j, int k)
{
  return (jointLimit(j).lower + jointLimit(j).upper) / 2 + 0.001 * k * (j + 1);
}

// Joint states stamped every 20 ms, joint j at angle(j, k) in the k-th.
class Recording : public ::testing::Test
{
protected:
  Recording() : out_(dir_.path() + "taught.txt")
  {
    pub_ = nh_.advertise<sensor_msgs::JointState>("/joint_states", 100);
  }

  // joints: how many of the robot's joints each message names, from column 0;
  // at message jumpAt, if given, joint 3 jumps by jump.
  void play(int messages, const std::string& param = "_still:=0.01", int joints = kJointCount, int jumpAt = -1,
            double jump = 0)
  {
    recorder_ = h_.start(RECORDER, {out_, param});
    ASSERT_TRUE(kinora_test::waitWallFor([&] { return pub_.getNumSubscribers() > 0; }, kWall));
    sensor_msgs::JointState state;
    for (int j = 0; j < joints; ++j)
      state.name.push_back(robotJointName(j));
    for (int k = 0; k < messages; ++k)
    {
      state.header.stamp = h_.now();
      state.position.clear();
      for (int j = 0; j < joints; ++j)
        state.position.push_back(angle(j, k) + (j == 3 && k >= jumpAt && jumpAt >= 0 ? jump : 0.0));
      pub_.publish(state);
      h_.advance(ros::Duration(0.02));
    }
  }

  kinora_test::TempDir dir_;
  const std::string out_;
  Harness h_;
  ros::NodeHandle nh_;
  ros::Publisher pub_;
  std::unique_ptr<kinora_test::Process> recorder_;
};

TEST_F(Recording, SigintWritesTheWholeRecording)
{
  play(26);  // 0.5 s: rows at 0, 40, ... 480 ms
  recorder_->interrupt();
  ASSERT_TRUE(recorder_->waitExit(kWall));
  ASSERT_EQ(0, recorder_->exitStatus()) << recorder_->err();
  EXPECT_EQ(out_ + ": 13 rows, 0.52 s\n", recorder_->out());
  const std::vector<JointRow> rows = loaded(out_);
  ASSERT_EQ(13u, rows.size());
  for (int r = 0; r < 13; ++r)
    for (int j = 0; j < kJointCount; ++j)
      EXPECT_NEAR(angle(j, 2 * r), rows[r][j], 1e-6) << "row " << r << " joint " << j;
}

// From the first message's receipt, in ROS time: the message stamped 200 ms
// after it comes once the recorder has seen that time, and is not taken.
TEST_F(Recording, DurationEndsIt)
{
  play(26, "_duration:=0.2");
  ASSERT_TRUE(recorder_->waitExit(kWall));
  ASSERT_EQ(0, recorder_->exitStatus()) << recorder_->err();
  EXPECT_EQ(out_ + ": 5 rows, 0.20 s\n", recorder_->out());
}

// A recording that cannot be written, and what the recorder says of it.
struct Refused
{
  const char* name;
  int joints;  // play()'s
  int jumpAt;
  double jump;
  std::string says;
};

void PrintTo(const Refused& c, std::ostream* os)
{
  *os << c.name;
}

class RefusedRecording : public Recording, public ::testing::WithParamInterface<Refused>
{
};

// Stopped by Ctrl-C, as the documentation says, a recording that cannot be
// written is refused with its reason on standard error, whatever ROS is doing
// by then, and nothing is written.
TEST_P(RefusedRecording, SaysWhyWhenStoppedByCtrlC)
{
  const Refused& c = GetParam();
  play(26, "_still:=0.01", c.joints, c.jumpAt, c.jump);
  recorder_->interrupt();
  ASSERT_TRUE(recorder_->waitExit(kWall));
  EXPECT_EQ(2, recorder_->exitStatus());
  EXPECT_TRUE(kinora_test::contains(recorder_->err(), c.says)) << recorder_->err();
  EXPECT_EQ("", recorder_->out());
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path())) << "a file under " << dir_.path();
}

// Joint 3 is LShoulderRoll (upper limit 1.3264, at most 7.194 rad/s);
// message 12 is the sampled row 6, and row 5 has it at 0.5461.
INSTANTIATE_TEST_SUITE_P(
    Refusals, RefusedRecording,
    ::testing::Values(
        Refused{"AJointNeverCame", kJointCount - 1, -1, 0, "joint(s) in no message: RAnkleRoll: nothing written to"},
        Refused{"OutOfRange", kJointCount, 12, 0.9,
                "breaks the robot's joint limits at row 6: LShoulderRoll at 1.4541 rad is above its upper limit "
                "1.3264 rad"},
        Refused{"TooFast", kJointCount, 12, 0.4,
                "breaks the robot's joint limits at row 6: LShoulderRoll moves 0.408 rad in 0.04 s at speed 1: "
                "10.2 rad/s, above its maximum 7.194 rad/s"}),
    [](const ::testing::TestParamInfo<Refused>& info) { return std::string(info.param.name); });

TEST_F(Recording, SigkillLeavesNoFile)
{
  play(26);
  kill(recorder_->pid(), SIGKILL);
  ASSERT_TRUE(recorder_->waitExit(kWall));
  EXPECT_EQ(128 + SIGKILL, recorder_->exitStatus());
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path())) << "a file, whole or not, under " << dir_.path();
}

// Refused before recording, with one line naming what is wrong, the file untouched.
TEST(RecorderRefuses, ExistingOutputAndBadParameters)
{
  kinora_test::TempDir dir;
  const std::string out = dir.write("taught.txt", "kept\n");
  Harness h(false);
  const std::vector<std::vector<std::string>> refusals = {
      {out, "exists: give _overwrite:=true"},
      {out, "_overwrite:=yes", "~overwrite must be true or false"},
      {dir.path() + "new.txt", "_rate:=0", "~rate must be a number of rows per second"},
      {dir.path() + "new.txt", "_still:=-1", "~still must be a number of radians"},
      {dir.path() + "new.txt", "_duration:=soon", "~duration must be a number of seconds"},
      {dir.path() + "no/new.txt", "cannot write into the folder"},
  };
  for (std::vector<std::string> args : refusals)
  {
    ros::param::del("/nao_kinora_record");  // what the last one typed stays on the master
    const std::string says = args.back();
    args.pop_back();
    kinora_test::Process recorder(
        [&]
        {
          args.insert(args.begin(), RECORDER);
          return args;
        }());
    ASSERT_TRUE(recorder.waitExit(kWall)) << says;
    EXPECT_EQ(1, recorder.exitStatus()) << says;
    EXPECT_TRUE(kinora_test::contains(recorder.err(), says)) << recorder.err();
    EXPECT_EQ("", recorder.out());
  }
  EXPECT_EQ("kept\n", kinora_test::readFile(out));
}
}  // namespace
