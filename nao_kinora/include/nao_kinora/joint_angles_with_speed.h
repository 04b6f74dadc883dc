// The robot driver's joint command, naoqi_bridge_msgs/JointAnglesWithSpeed,
// spoken by its published definition and checksum: roscpp's message traits
// and serializer for a struct of our own, so that neither the executor nor the
// simulated driver needs the driver's package to build. A subscriber of that
// type (C++ or Python) takes these messages as its own.
//
//   Header header
//   string[] joint_names
//   float32[] joint_angles
//   float32 speed       # a fraction (0, 1] of each joint's own maximum speed
//   uint8 relative      # 1: the angles are added to where the joints are
//
//   ros::Publisher pub = nh.advertise<nao_kinora::JointAnglesWithSpeed>("joint_angles", 100);
#ifndef NAO_KINORA_JOINT_ANGLES_WITH_SPEED_H
#define NAO_KINORA_JOINT_ANGLES_WITH_SPEED_H

#include <ros/message_traits.h>
#include <ros/serialization.h>
#include <std_msgs/Header.h>

#include <boost/shared_ptr.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace nao_kinora
{
struct JointAnglesWithSpeed
{
  typedef boost::shared_ptr<JointAnglesWithSpeed> Ptr;
  typedef boost::shared_ptr<const JointAnglesWithSpeed> ConstPtr;

  std_msgs::Header header;
  std::vector<std::string> joint_names;
  std::vector<float> joint_angles;  // in the order of joint_names, rad
  float speed = 0.0f;
  uint8_t relative = 0;
};

// The driver's own name of the type and its MD5 sum, as its subscribers check them.
const char kJointAnglesType[] = "naoqi_bridge_msgs/JointAnglesWithSpeed";
const char kJointAnglesMd5[] = "052ca11f74a00ad6745dfff6ebc2b4d8";

// The full definition a publisher gives in its connection header: the
// message's own text, then each message it uses.
const std::string& jointAnglesDefinition();
}  // namespace nao_kinora

namespace ros
{
namespace message_traits
{
template <>
struct IsMessage<nao_kinora::JointAnglesWithSpeed> : TrueType
{
};
template <>
struct IsMessage<const nao_kinora::JointAnglesWithSpeed> : TrueType
{
};
template <>
struct IsFixedSize<nao_kinora::JointAnglesWithSpeed> : FalseType
{
};
template <>
struct IsFixedSize<const nao_kinora::JointAnglesWithSpeed> : FalseType
{
};
template <>
struct HasHeader<nao_kinora::JointAnglesWithSpeed> : TrueType
{
};
template <>
struct HasHeader<const nao_kinora::JointAnglesWithSpeed> : TrueType
{
};

template <>
struct MD5Sum<nao_kinora::JointAnglesWithSpeed>
{
  static const char* value() { return nao_kinora::kJointAnglesMd5; }
  static const char* value(const nao_kinora::JointAnglesWithSpeed&) { return value(); }
  static const uint64_t static_value1 = 0x052ca11f74a00ad6ULL;
  static const uint64_t static_value2 = 0x745dfff6ebc2b4d8ULL;
};

template <>
struct DataType<nao_kinora::JointAnglesWithSpeed>
{
  static const char* value() { return nao_kinora::kJointAnglesType; }
  static const char* value(const nao_kinora::JointAnglesWithSpeed&) { return value(); }
};

template <>
struct Definition<nao_kinora::JointAnglesWithSpeed>
{
  static const char* value() { return nao_kinora::jointAnglesDefinition().c_str(); }
  static const char* value(const nao_kinora::JointAnglesWithSpeed&) { return value(); }
};
}  // namespace message_traits

namespace serialization
{
// The fields in the order of the definition, as ROS lays them out: the
// header, each array as a uint32 length and its elements, the scalars.
template <>
struct Serializer<nao_kinora::JointAnglesWithSpeed>
{
  template <typename Stream, typename M>
  inline static void allInOne(Stream& stream, M m)
  {
    stream.next(m.header);
    stream.next(m.joint_names);
    stream.next(m.joint_angles);
    stream.next(m.speed);
    stream.next(m.relative);
  }

  ROS_DECLARE_ALLINONE_SERIALIZER
};
}  // namespace serialization
}  // namespace ros

#endif  // NAO_KINORA_JOINT_ANGLES_WITH_SPEED_H
