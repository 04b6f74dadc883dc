// The model in tf: robot_state_publisher, given the model and fed joint
// states on /joint_states by this test, places the hands and soles where the
// robot's kinematic facts put them. The expected positions are worked out
// here from those facts, written out, not from the model.
#include "ros_harness.h"

#include <nao_kinora/joint_row.h>
#include <sensor_msgs/JointState.h>
#include <tf2/LinearMath/Quaternion.h>
#include <tf2_ros/buffer.h>
#include <tf2_ros/transform_listener.h>

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>

namespace
{
const double kWall = 30.0;        // seconds for robot_state_publisher to start and answer
const double kMetres = 1e-6;      // rounding in the transforms, far below any offset
const double kFullRoll = 1.3264;  // the left shoulder roll's upper limit: the arm out to the side

// v turned by angle about axis.
tf2::Vector3 turned(const tf2::Vector3& v, const tf2::Vector3& axis, double angle)
{
  return tf2::quatRotate(tf2::Quaternion(axis.normalized(), angle), v);
}

// The robot's facts, in the torso's frame at all angles zero.
const tf2::Vector3 kLeftShoulder(0, 0.098, 0.100), kRightShoulder(0, -0.098, 0.100);
// Shoulder to the left hand's centre, arm stretched forward: to the elbow
// (0.105, 0.015, 0), to the wrist 0.05595, to the hand's centre 0.05775
// forward and 0.0123 down. The right arm has y the other way.
const tf2::Vector3 kLeftArm(0.105 + 0.05595 + 0.05775, 0.015, -0.0123);
const tf2::Vector3 kRightArm(0.105 + 0.05595 + 0.05775, -0.015, -0.0123);
// Hip to sole: thigh 0.100, tibia 0.1029, ankle to sole 0.04519, straight down.
const tf2::Vector3 kLeftHip(0, 0.050, -0.085), kRightHip(0, -0.050, -0.085);
const tf2::Vector3 kLeg(0, 0, -(0.100 + 0.1029 + 0.04519));
const tf2::Vector3 kPitch(0, 1, 0), kRoll(0, 0, 1), kRightHipAxis(0, 0.7071, 0.7071);

struct PoseCase
{
  const char* name;
  std::map<std::string, double> joints;  // the others at 0; every named joint is in the message
  const char* frame;
  tf2::Vector3 expected;  // in the torso's frame
};

const PoseCase kPoses[] = {
    {"all zero: the left hand forward of the shoulder", {}, "l_gripper", kLeftShoulder + kLeftArm},
    {"left arm down", {{"LShoulderPitch", M_PI / 2}}, "l_gripper", kLeftShoulder + turned(kLeftArm, kPitch, M_PI / 2)},
    {"left arm out to the side",
     {{"LShoulderRoll", kFullRoll}},
     "l_gripper",
     kLeftShoulder + turned(kLeftArm, kRoll, kFullRoll)},
    {"right arm out to the side",
     {{"RShoulderRoll", -kFullRoll}},
     "r_gripper",
     kRightShoulder + turned(kRightArm, kRoll, -kFullRoll)},
    {"all zero: the left sole under the hip", {}, "l_sole", kLeftHip + kLeg},
    {"the right hip yaw-pitch follows the left one, which alone is sent",
     {{"LHipYawPitch", -0.6}},
     "r_sole",
     kRightHip + turned(kLeg, kRightHipAxis, -0.6)},
};

class ModelInTf : public ::testing::Test
{
protected:
  ModelInTf() : listener_(buffer_)
  {
    ros::param::set("/robot_description", kinora_test::readFile(NAO_URDF));
    publisher_ = h_.start(ROBOT_STATE_PUBLISHER);
    states_ = nh_.advertise<sensor_msgs::JointState>("/joint_states", 10);
  }

  // Where frame stands in the torso's frame with the joints of c (the joint
  // state that carries them, read at its own stamp). The first messages may
  // go out before every connection is up: each is sent with a stamp of its
  // own until the transform at one of them arrives.
  bool position(const PoseCase& c, tf2::Vector3& at)
  {
    if (!kinora_test::waitWallFor([&] { return states_.getNumSubscribers() > 0; }, kWall))
      return false;
    sensor_msgs::JointState state;
    for (int j = 0; j < nao_kinora::kJointCount; ++j)
    {
      const std::string name = nao_kinora::robotJointName(j);
      const bool given = c.joints.count(name) > 0;
      if (name == "RHipYawPitch" && c.joints.count("LHipYawPitch") > 0)
        continue;  // left to the model's mimic
      state.name.push_back(name);
      state.position.push_back(given ? c.joints.at(name) : 0.0);
    }
    const ros::WallTime deadline = ros::WallTime::now() + ros::WallDuration(kWall);
    while (ros::WallTime::now() < deadline)
    {
      stamp_ += ros::Duration(0.1);  // robot_state_publisher takes a state 20 ms after the last at the earliest
      state.header.stamp = stamp_;
      states_.publish(state);
      if (!buffer_.canTransform("torso", c.frame, stamp_, ros::Duration(0.5)))
        continue;
      const geometry_msgs::Vector3 t = buffer_.lookupTransform("torso", c.frame, stamp_).transform.translation;
      at.setValue(t.x, t.y, t.z);
      return true;
    }
    return false;
  }

  kinora_test::Harness h_{false};
  ros::NodeHandle nh_;
  tf2_ros::Buffer buffer_;
  tf2_ros::TransformListener listener_;
  std::unique_ptr<kinora_test::Process> publisher_;
  ros::Publisher states_;
  ros::Time stamp_ = ros::Time::now();
};

TEST_F(ModelInTf, PlacesHandsAndSolesWhereTheRobotsFactsPutThem)
{
  for (const PoseCase& c : kPoses)
  {
    SCOPED_TRACE(c.name);
    tf2::Vector3 at;
    ASSERT_TRUE(position(c, at)) << "no transform of " << c.frame << "\n" << publisher_->err();
    EXPECT_NEAR(c.expected.x(), at.x(), kMetres);
    EXPECT_NEAR(c.expected.y(), at.y(), kMetres);
    EXPECT_NEAR(c.expected.z(), at.z(), kMetres);
  }
}
}  // namespace
