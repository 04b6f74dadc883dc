// The simulated robot under its driver's commands, as a table: each named
// joint toward its target at the fraction of its maximum speed, relative
// targets, targets clamped to the range, a new command replacing the last,
// the hip yaw-pitch pair, the joints it reports but does not move, and the
// commands the robot refuses whole.
#include "../src/driver_joints.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace
{
const int kHeadYaw = 0;
const int kLShoulderPitch = 2;
const int kLShoulderRoll = 3;
const int kLElbowRoll = 5;
const int kRElbowRoll = 9;
const int kLHipYawPitch = 10;
const int kRHipYawPitch = 16;
const int kLWristYaw = 22;

struct Command
{
  double at;
  std::vector<std::string> names;
  std::vector<float> angles;
  double speed;
  bool relative;
};

struct Case
{
  const char* name;
  std::vector<Command> commands;
  double at;  // when the joint is read
  int joint;  // index in DriverJoints::names()
  double position;
};

const Case kCases[] = {
    {"standing still at first", {}, 5.0, kLShoulderPitch, 0.0},
    {"an elbow at the end of its range nearest 0", {}, 5.0, kLElbowRoll, -0.0349},
    {"the other elbow", {}, 5.0, kRElbowRoll, 0.0349},
    // Half of 8.268 rad/s: 0.4134 rad after 0.1 s, there after 0.2419 s.
    {"on its way at half its maximum", {{1.0, {"LShoulderPitch"}, {1.0f}, 0.5, false}}, 1.1, kLShoulderPitch, 0.4134},
    {"there, then still", {{1.0, {"LShoulderPitch"}, {1.0f}, 0.5, false}}, 1.5, kLShoulderPitch, 1.0},
    {"a new target from where it is",
     {{1.0, {"LShoulderPitch"}, {1.0f}, 0.5, false}, {1.1, {"LShoulderPitch"}, {-0.5f}, 1.0, false}},
     1.15,
     kLShoulderPitch,
     0.4134 - 0.4134},
    {"relative: added to where it is",
     {{1.0, {"LShoulderPitch"}, {1.0f}, 0.5, false}, {1.1, {"LShoulderPitch"}, {0.1f}, 0.5, true}},
     3.0,
     kLShoulderPitch,
     0.5134},
    {"a target past the range: clamped", {{1.0, {"LShoulderRoll"}, {2.0f}, 1.0, false}}, 2.0, kLShoulderRoll, 1.3264},
    {"other joints of the command each at their own maximum",
     {{1.0, {"LShoulderPitch", "HeadYaw"}, {1.0f, -1.0f}, 0.1, false}},
     1.5,
     kHeadYaw,
     -0.4134},
    {"RHipYawPitch follows LHipYawPitch", {{1.0, {"LHipYawPitch"}, {0.3f}, 1.0, false}}, 2.0, kRHipYawPitch, 0.3},
    {"RHipYawPitch alone does not move", {{1.0, {"RHipYawPitch"}, {0.3f}, 1.0, false}}, 2.0, kRHipYawPitch, 0.0},
    {"a wrist is reported, not moved", {{1.0, {"LWristYaw"}, {1.0f}, 1.0, false}}, 2.0, kLWristYaw, 0.0},
    {"a name no joint has: nothing of the command moves",
     {{1.0, {"LShoulderPitch", "LKnee"}, {1.0f, 1.0f}, 1.0, false}},
     2.0,
     kLShoulderPitch,
     0.0},
    {"speed 0 refused", {{1.0, {"LShoulderPitch"}, {1.0f}, 0.0, false}}, 2.0, kLShoulderPitch, 0.0},
    {"speed above 1 refused", {{1.0, {"LShoulderPitch"}, {1.0f}, 1.5, false}}, 2.0, kLShoulderPitch, 0.0},
    {"an angle per name", {{1.0, {"LShoulderPitch", "HeadYaw"}, {1.0f}, 1.0, false}}, 2.0, kLShoulderPitch, 0.0},
    {"an angle that is not a number", {{1.0, {"LShoulderPitch"}, {NAN}, 1.0, false}}, 2.0, kLShoulderPitch, 0.0},
};

TEST(DriverJoints, MoveAsTheRobotDoes)
{
  for (const Case& c : kCases)
  {
    SCOPED_TRACE(c.name);
    DriverJoints joints;
    for (const Command& command : c.commands)
      joints.apply(command.names, command.angles, command.speed, command.relative, command.at);
    const std::vector<double> positions = joints.positions(c.at);
    ASSERT_EQ(DriverJoints::names().size(), positions.size());
    EXPECT_NEAR(c.position, positions[c.joint], 1e-6) << DriverJoints::names()[c.joint];
  }
}

TEST(DriverJoints, SaysWhatItRefusesAndWhatItDoesNotMove)
{
  DriverJoints joints;
  std::vector<std::string> still;
  EXPECT_EQ("", joints.apply({"LHipYawPitch", "RHipYawPitch", "RHand"}, {0.1f, 0.1f, 0.5f}, 1.0, false, 0, &still));
  EXPECT_EQ((std::vector<std::string>{"RHipYawPitch", "RHand"}), still);
  EXPECT_EQ("no joint is named [LKnee]", joints.apply({"LKnee"}, {1.0f}, 1.0, false, 0));
  EXPECT_EQ("2 joint names but 1 angles", joints.apply({"HeadYaw", "LHand"}, {1.0f}, 1.0, false, 0));
  EXPECT_EQ(26u, DriverJoints::names().size());
  EXPECT_EQ("RAnkleRoll", DriverJoints::names()[21]);
  EXPECT_EQ("RHand", DriverJoints::names()[25]);
}
}  // namespace
