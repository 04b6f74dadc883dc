// The model against nao_kinora's table of joint limits, joint by joint, and
// the shape of the model a ROS user relies on: the joints the robot names,
// frames by pure translation, the right hip yaw-pitch following the left,
// and the frames of the hands, soles and head.
#include <nao_kinora/joint_limits.h>
#include <nao_kinora/joint_row.h>
#include <urdf_parser/urdf_parser.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

using namespace nao_kinora;

namespace
{
urdf::ModelInterfaceSharedPtr model()
{
  const urdf::ModelInterfaceSharedPtr parsed = urdf::parseURDFFile(NAO_URDF);
  if (!parsed)
    ADD_FAILURE() << NAO_URDF << " does not parse";
  return parsed;
}

TEST(Model, HoldsTheTableOfLimitsJointByJoint)
{
  const urdf::ModelInterfaceSharedPtr nao = model();
  ASSERT_TRUE(nao);
  for (int column = 0; column < kJointCount; ++column)
  {
    const std::string name = robotJointName(column);
    SCOPED_TRACE(name);
    const urdf::JointConstSharedPtr joint = nao->getJoint(name);
    ASSERT_TRUE(joint);
    EXPECT_EQ(urdf::Joint::REVOLUTE, joint->type);
    ASSERT_TRUE(joint->limits);
    // Both are the decimal written in the same digits: the same double.
    EXPECT_EQ(jointLimit(column).lower, joint->limits->lower);
    EXPECT_EQ(jointLimit(column).upper, joint->limits->upper);
    EXPECT_EQ(jointLimit(column).maxSpeed, joint->limits->velocity);
  }
}

// The 22 joints the robot names and no other movable one, each placed without
// a turn; RHipYawPitch following LHipYawPitch; the frames a user looks for.
TEST(Model, HasTheShapeAUserReliesOn)
{
  const urdf::ModelInterfaceSharedPtr nao = model();
  ASSERT_TRUE(nao);
  std::set<std::string> movable, robots;
  for (const auto& entry : nao->joints_)
  {
    if (entry.second->type != urdf::Joint::FIXED)
      movable.insert(entry.first);
    const urdf::Rotation& turn = entry.second->parent_to_joint_origin_transform.rotation;
    EXPECT_TRUE(turn.x == 0 && turn.y == 0 && turn.z == 0 && turn.w == 1) << entry.first << " is turned";
  }
  for (int column = 0; column < kJointCount; ++column)
    robots.insert(robotJointName(column));
  EXPECT_EQ(robots, movable);

  const urdf::JointConstSharedPtr right = nao->getJoint("RHipYawPitch");
  ASSERT_TRUE(right && right->mimic);
  EXPECT_EQ("LHipYawPitch", right->mimic->joint_name);
  EXPECT_EQ(1.0, right->mimic->multiplier);
  EXPECT_EQ(0.0, right->mimic->offset);
  EXPECT_FALSE(nao->getJoint("LHipYawPitch")->mimic);

  EXPECT_EQ("base_link", nao->getRoot()->name);
  for (const char* frame : {"torso", "Head", "l_wrist", "r_wrist", "l_gripper", "r_gripper", "l_sole", "r_sole"})
    EXPECT_TRUE(nao->getLink(frame)) << frame;
}
}  // namespace
