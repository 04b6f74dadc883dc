// The robot driver's joint command as roscpp lays it on the wire: its name,
// checksum and definition, and every field in order, to the byte.
#include "nao_kinora/joint_angles_with_speed.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
using nao_kinora::JointAnglesWithSpeed;

// Little-endian, as ROS writes: a uint32, a float32, a string (its length first).
template <class T>
void put(std::vector<uint8_t>& bytes, T value)
{
  const uint8_t* p = reinterpret_cast<const uint8_t*>(&value);
  bytes.insert(bytes.end(), p, p + sizeof value);
}
void put(std::vector<uint8_t>& bytes, const std::string& text)
{
  put(bytes, static_cast<uint32_t>(text.size()));
  bytes.insert(bytes.end(), text.begin(), text.end());
}

TEST(DriverMessage, NameChecksumAndDefinitionAreTheDrivers)
{
  namespace mt = ros::message_traits;
  EXPECT_STREQ("naoqi_bridge_msgs/JointAnglesWithSpeed", mt::datatype<JointAnglesWithSpeed>());
  EXPECT_STREQ("052ca11f74a00ad6745dfff6ebc2b4d8", mt::md5sum<JointAnglesWithSpeed>());
  // The published definition, then the header's.
  const std::string definition = mt::definition<JointAnglesWithSpeed>();
  EXPECT_EQ(0u, definition.find("Header header\nstring[] joint_names\nfloat32[] joint_angles\nfloat32 speed\n"
                                "uint8 relative\n\n====="))
      << definition;
  EXPECT_NE(std::string::npos, definition.find("\nMSG: std_msgs/Header\n")) << definition;
}

TEST(DriverMessage, FieldsInTheDefinitionsOrderToTheByte)
{
  JointAnglesWithSpeed msg;
  msg.header.seq = 7;
  msg.header.stamp = ros::Time(12, 345);
  msg.header.frame_id = "f";
  msg.joint_names = {"HeadYaw", "LHand"};
  msg.joint_angles = {0.5f, -1.25f};
  msg.speed = 0.25f;
  msg.relative = 1;

  std::vector<uint8_t> expected;
  for (uint32_t header : {7u, 12u, 345u})
    put(expected, header);
  put(expected, std::string("f"));
  put(expected, 2u);
  put(expected, std::string("HeadYaw"));
  put(expected, std::string("LHand"));
  put(expected, 2u);
  for (float value : {0.5f, -1.25f, 0.25f})
    put(expected, value);
  expected.push_back(1);

  ASSERT_EQ(expected.size(), ros::serialization::serializationLength(msg));
  std::vector<uint8_t> bytes(expected.size());
  ros::serialization::OStream out(bytes.data(), static_cast<uint32_t>(bytes.size()));
  ros::serialization::serialize(out, msg);
  EXPECT_EQ(expected, bytes);

  JointAnglesWithSpeed back;
  ros::serialization::IStream in(bytes.data(), static_cast<uint32_t>(bytes.size()));
  ros::serialization::deserialize(in, back);
  EXPECT_EQ(msg.header.stamp, back.header.stamp);
  EXPECT_EQ(msg.joint_names, back.joint_names);
  EXPECT_EQ(msg.joint_angles, back.joint_angles);
  EXPECT_EQ(msg.speed, back.speed);
  EXPECT_EQ(msg.relative, back.relative);
}
}  // namespace
