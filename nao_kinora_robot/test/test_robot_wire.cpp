// The executor on the wire, against a real master, the node (its own joint
// limits check off) and the simulated driver, under the driven clock: a
// listener that knows the driver's message only by name and checksum
// (wire_listener.py, rospy.AnyMsg) gets every command, and its fields read
// from the raw bytes are what the executor sent: each row's angles, every
// joint once. A row out of range and a row too fast are not sent, each named
// in one error line; a pause and the end each hold the robot where it is.
#include "operator_calls.h"
#include "ros_harness.h"

#include <nao_kinora/joint_angles_with_speed.h>
#include <nao_kinora/joint_row.h>
#include <sensor_msgs/JointState.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <sstream>

namespace
{
using kinora_test::Harness;
using kinora_test::Process;
using kinora_test::TempDir;
using nao_kinora::JointAnglesWithSpeed;

const int kRows = 100;
const int kOutOfRangeRow = 60;  // LShoulderRoll 1.5 rad, above 1.3264 + the tolerance
const int kTooFastRow = 70;     // HeadYaw 0.5 rad in 0.04 s: 12.5 rad/s, above 8.268
const int kLShoulderPitch = 2;

// A pose within every joint's range, LShoulderPitch swinging slowly.
std::vector<float> rowAngles(int r)
{
  std::vector<float> angles(nao_kinora::kJointCount, 0.0f);
  angles[5] = -0.5f;  // the elbows: 0 is outside their range
  angles[9] = 0.5f;
  angles[kLShoulderPitch] = static_cast<float>(0.4 * std::sin(r / 10.0));
  if (r == kOutOfRangeRow)
    angles[3] = 1.5f;
  if (r == kTooFastRow)
    angles[0] = 0.5f;
  return angles;
}

std::string recordingText()
{
  std::ostringstream text;
  text.precision(9);
  for (int r = 0; r < kRows; ++r)
  {
    for (float a : rowAngles(r))
      text << a << ' ';
    text << "0.04\n";
  }
  return text.str();
}

// The driver's joint state stamped t, by name.
std::map<std::string, double> stateAt(const std::vector<sensor_msgs::JointState>& states, const ros::Time& t)
{
  std::map<std::string, double> pose;
  for (const auto& s : states)
    if (s.header.stamp == t)
      for (std::size_t k = 0; k < s.name.size(); ++k)
        pose[s.name[k]] = s.position[k];
  return pose;
}

// The largest change of any joint over the states stamped from..to.
double movedBetween(const std::vector<sensor_msgs::JointState>& states, const ros::Time& from, const ros::Time& to)
{
  const sensor_msgs::JointState* first = nullptr;
  double most = 0;
  for (const auto& s : states)
    if (s.header.stamp >= from && s.header.stamp <= to)
    {
      if (!first)
        first = &s;
      for (std::size_t k = 0; k < s.position.size(); ++k)
        most = std::max(most, std::fabs(s.position[k] - first->position[k]));
    }
  return most;
}

TEST(RobotWire, CommandsAsTheDriverTakesThemRefusalsAndHolds)
{
  Harness h;
  h.setSettle(0.0005, 0.001);
  h.record("jointAngleArray");
  h.record("motionStartStop");
  h.record("talkerfilename");
  operator_calls::Received<JointAnglesWithSpeed> commands("/joint_angles");
  operator_calls::Received<sensor_msgs::JointState> states("/joint_states");
  TempDir dir;
  dir.write("wire.txt", recordingText());

  auto driver = h.start(SIM_DRIVER);
  auto executor = h.start(ROBOT_EXECUTOR);
  Process listener({"/usr/bin/python3", WIRE_LISTENER});
  ASSERT_TRUE(kinora_test::waitWallFor([&] { return kinora_test::contains(listener.out(), "connected\n"); },
                                       kinora_test::kConnectSeconds))
      << listener.out() << listener.err();
  ASSERT_TRUE(kinora_test::waitWallFor([&] { return commands.connected() && states.connected(); },
                                       kinora_test::kConnectSeconds));
  auto node = h.start(KINORA_NODE, {"1", "wire.txt", "_recording_dir:=" + dir.path()});
  ASSERT_TRUE(h.waitForPublisher("jointAngleArray"));

  // Ticks of a quarter of a second up to row 0, then of a row (0.04 s).
  // Paused halfway through row 39, resumed 1 s later; ended halfway through row 89.
  h.setTick(ros::Duration(0.25));
  ASSERT_TRUE(h.runUntil([&] { return h.count("jointAngleArray") == 1; }, ros::Duration(30)));
  h.setTick(ros::Duration(0.04));
  ASSERT_TRUE(h.runUntil([&] { return h.count("jointAngleArray") == 40; }, ros::Duration(5)));
  h.advance(ros::Duration(0.02));
  ASSERT_TRUE(operator_calls::pause(true).success);
  const ros::Time paused = h.now();
  h.advance(ros::Duration(1.0));
  ASSERT_TRUE(operator_calls::pause(false).success);
  const ros::Time resumed = h.now();
  h.advance(ros::Duration(0.02));  // the rest of row 39: the rows on the ticks again
  ASSERT_TRUE(h.runUntil([&] { return h.count("jointAngleArray") == 90; }, ros::Duration(10)));
  h.advance(ros::Duration(0.02));
  ASSERT_TRUE(operator_calls::end().success);
  const ros::Time ended = h.now();
  h.setTick(ros::Duration(0.25));
  ASSERT_TRUE(h.runUntil([&] { return !node->running(); }, ros::Duration(20)));
  EXPECT_EQ(255, node->exitStatus());
  h.advance(ros::Duration(0.5));
  // Stopped from outside, the executor holds the robot once more, then ends.
  const std::size_t beforeStop = commands.size();
  executor->interrupt();
  ASSERT_TRUE(executor->waitExit(10));
  EXPECT_EQ(0, executor->exitStatus());
  ASSERT_TRUE(kinora_test::waitWallFor([&] { return commands.size() == beforeStop + 1; }, 10));
  EXPECT_EQ(22u, commands.last().joint_names.size());
  EXPECT_EQ(0.1f, commands.last().speed);
  EXPECT_TRUE(kinora_test::contains(executor->out(), "[robot] the executor is stopped: the robot stops where it is"));

  // --- Every command, as the listener read it from the bytes, is what the executor sent.
  const std::vector<JointAnglesWithSpeed> sent = commands.all();
  ASSERT_TRUE(
      kinora_test::waitWallFor([&] { return kinora_test::linesWith(listener.out(), "{").size() >= sent.size(); }, 10));
  const std::vector<std::string> lines = kinora_test::linesWith(listener.out(), "{");
  ASSERT_EQ(sent.size(), lines.size());
  for (std::size_t k = 0; k < sent.size(); ++k)
  {
    const nlohmann::json got = nlohmann::json::parse(lines[k]);
    SCOPED_TRACE(lines[k]);
    EXPECT_EQ("naoqi_bridge_msgs/JointAnglesWithSpeed", got["type"]);
    EXPECT_EQ("052ca11f74a00ad6745dfff6ebc2b4d8", got["md5sum"]);
    EXPECT_EQ(0, got["left_over"]);
    EXPECT_EQ(sent[k].header.stamp.sec, got["stamp"][0]);
    EXPECT_EQ(sent[k].header.stamp.nsec, got["stamp"][1]);
    EXPECT_EQ(sent[k].joint_names, got["joint_names"].get<std::vector<std::string>>());
    EXPECT_EQ(sent[k].joint_angles, got["joint_angles"].get<std::vector<float>>());
    EXPECT_EQ(sent[k].speed, got["speed"].get<float>());
    EXPECT_EQ(sent[k].relative, got["relative"]);
  }

  // --- Each row: commands stamped at its tick, every joint once at the row's angle; or none.
  const std::vector<kinora_test::Event> rows = h.eventsOn("jointAngleArray");
  ASSERT_EQ(90u, rows.size());
  for (int r = 0; r < 90; ++r)
  {
    SCOPED_TRACE("row " + std::to_string(r));
    std::map<std::string, int> named;
    for (const JointAnglesWithSpeed& c : sent)
      if (c.header.stamp == rows[r].stamp)
      {
        EXPECT_EQ(0, c.relative);
        EXPECT_GT(c.speed, 0.0f);
        EXPECT_LE(c.speed, 1.0f);
        if (r == 0)
        {
          EXPECT_EQ(0.1f, c.speed);  // the first row, approached slowly
        }
        for (std::size_t i = 0; i < c.joint_names.size(); ++i)
        {
          const int j = nao_kinora::robotJointColumn(c.joint_names[i]);
          ASSERT_GE(j, 0);
          EXPECT_EQ(rowAngles(r)[j], c.joint_angles[i]) << c.joint_names[i];
          ++named[c.joint_names[i]];
        }
      }
    if (r == kOutOfRangeRow || r == kTooFastRow)
    {
      EXPECT_TRUE(named.empty());
      continue;
    }
    if (named.size() != 22u)
      for (const JointAnglesWithSpeed& c : sent)
        if (std::fabs((c.header.stamp - rows[r].stamp).toSec()) < 0.1)
          std::printf("row %d at %f: a command at %f of %zu joints\n", r, rows[r].stamp.toSec(), c.header.stamp.toSec(),
                      c.joint_names.size());
    ASSERT_EQ(22u, named.size());
    for (const auto& n : named)
      EXPECT_EQ(1, n.second) << n.first;
  }
  std::vector<std::string> refused;
  std::istringstream errors(executor->err());
  for (std::string line; std::getline(errors, line);)
    if (kinora_test::contains(line, "[ERROR]"))
      refused.push_back(line);
  ASSERT_EQ(2u, refused.size()) << executor->err();
  EXPECT_TRUE(kinora_test::contains(
      refused[0], "recording 1, row 60 not sent: LShoulderRoll at 1.5 rad is above its upper limit 1.3264 rad"))
      << refused[0];
  EXPECT_TRUE(kinora_test::contains(refused[1],
                                    "recording 1, row 70 not sent: HeadYaw moves 0.5 rad in 0.04 s at speed 1: "
                                    "12.5 rad/s, above its maximum 8.268 rad/s"))
      << refused[1];

  // --- The pause and the end: one command of every joint where it stands, at the
  // approach fraction; the robot still from then on until the rows come again.
  const std::vector<sensor_msgs::JointState> poses = states.all();
  for (const ros::Time& at : {paused, ended})
  {
    SCOPED_TRACE(at == paused ? "the pause" : "the end");
    // The last command of its tick (the row that came in that tick went before it).
    const JointAnglesWithSpeed* hold = nullptr;
    for (const JointAnglesWithSpeed& c : sent)
      if (c.header.stamp == at)
        hold = &c;
    ASSERT_TRUE(hold);
    ASSERT_EQ(22u, hold->joint_names.size());
    EXPECT_EQ(0.1f, hold->speed);
    const std::map<std::string, double> pose = stateAt(poses, at);
    for (std::size_t i = 0; i < hold->joint_names.size(); ++i)
      EXPECT_NEAR(pose.at(hold->joint_names[i]), hold->joint_angles[i], 1e-6) << hold->joint_names[i];
  }
  // After the end, only holds (the session's end holds it once more).
  for (const JointAnglesWithSpeed& c : sent)
  {
    EXPECT_FALSE(c.header.stamp > paused && c.header.stamp < resumed) << "a command while paused";
    EXPECT_FALSE(c.header.stamp > ended && (c.joint_names.size() != 22u || c.speed != 0.1f))
        << "a command after the end";
  }
  // Still to the precision of the command's float angles.
  EXPECT_LT(movedBetween(poses, paused, resumed), 1e-6);
  EXPECT_LT(movedBetween(poses, ended, h.now()), 1e-6);
  EXPECT_GT(movedBetween(poses, resumed, ended), 0.1);  // it moved meanwhile
}
}  // namespace
