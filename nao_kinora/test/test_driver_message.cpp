// The robot driver's joint command as roscpp lays it on the wire: its name,
// checksum and definition, and every field in order, to the byte.
#include "nao_kinora/joint_angles_with_speed.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace
{
using nao_kinora::JointAnglesWithSpeed;

// Little-endian, as ROS writes.
void put(std::vector<uint8_t>& bytes, const void* value, std::size_t size)
{
  const uint8_t* p = static_cast<const uint8_t*>(value);
  bytes.insert(bytes.end(), p, p + size);
}
void putU32(std::vector<uint8_t>& bytes, uint32_t value)
{
  put(bytes, &value, 4);
}
void putF32(std::vector<uint8_t>& bytes, float value)
{
  put(bytes, &value, 4);
}
void putText(std::vector<uint8_t>& bytes, const std::string& text)
{
  putU32(bytes, static_cast<uint32_t>(text.size()));
  put(bytes, text.data(), text.size());
}

JointAnglesWithSpeed example()
{
  JointAnglesWithSpeed msg;
  msg.header.seq = 7;
  msg.header.stamp = ros::Time(12, 345);
  msg.header.frame_id = "f";
  msg.joint_names = {"HeadYaw", "LHand"};
  msg.joint_angles = {0.5f, -1.25f};
  msg.speed = 0.25f;
  msg.relative = 1;
  return msg;
}

TEST(DriverMessage, NameChecksumAndDefinitionAreTheDrivers)
{
  namespace mt = ros::message_traits;
  EXPECT_STREQ("naoqi_bridge_msgs/JointAnglesWithSpeed", mt::datatype<JointAnglesWithSpeed>());
  EXPECT_STREQ("052ca11f74a00ad6745dfff6ebc2b4d8", mt::md5sum<JointAnglesWithSpeed>());
  const std::string definition = mt::definition<JointAnglesWithSpeed>();
  EXPECT_EQ(0u, definition.find("Header header\nstring[] joint_names\nfloat32[] joint_angles\nfloat32 speed\n"
                                "uint8 relative\n\n====="))
      << definition;
  EXPECT_NE(std::string::npos, definition.find("\nMSG: std_msgs/Header\n")) << definition;
  EXPECT_TRUE(mt::hasHeader<JointAnglesWithSpeed>());
}

TEST(DriverMessage, FieldsInTheDefinitionsOrderToTheByte)
{
  std::vector<uint8_t> expected;
  putU32(expected, 7);
  putU32(expected, 12);
  putU32(expected, 345);
  putText(expected, "f");
  putU32(expected, 2);
  putText(expected, "HeadYaw");
  putText(expected, "LHand");
  putU32(expected, 2);
  putF32(expected, 0.5f);
  putF32(expected, -1.25f);
  putF32(expected, 0.25f);
  expected.push_back(1);

  const JointAnglesWithSpeed msg = example();
  ASSERT_EQ(expected.size(), ros::serialization::serializationLength(msg));
  std::vector<uint8_t> bytes(expected.size());
  ros::serialization::OStream out(bytes.data(), static_cast<uint32_t>(bytes.size()));
  ros::serialization::serialize(out, msg);
  EXPECT_EQ(expected, bytes);

  JointAnglesWithSpeed back;
  ros::serialization::IStream in(bytes.data(), static_cast<uint32_t>(bytes.size()));
  ros::serialization::deserialize(in, back);
  EXPECT_EQ(msg.header.seq, back.header.seq);
  EXPECT_EQ(msg.header.stamp, back.header.stamp);
  EXPECT_EQ(msg.header.frame_id, back.header.frame_id);
  EXPECT_EQ(msg.joint_names, back.joint_names);
  EXPECT_EQ(msg.joint_angles, back.joint_angles);
  EXPECT_EQ(msg.speed, back.speed);
  EXPECT_EQ(msg.relative, back.relative);
}
}  // namespace
