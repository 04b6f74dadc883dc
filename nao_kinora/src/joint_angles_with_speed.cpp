#include "nao_kinora/joint_angles_with_speed.h"

namespace nao_kinora
{
const std::string& jointAnglesDefinition()
{
  // As genmsg writes it: the message's text, then the header's under a rule.
  static const std::string definition =
      std::string(
          "Header header\n"
          "string[] joint_names\n"
          "float32[] joint_angles\n"
          "float32 speed\n"
          "uint8 relative\n"
          "\n"
          "================================================================================\n"
          "MSG: std_msgs/Header\n") +
      ros::message_traits::Definition<std_msgs::Header>::value();
  return definition;
}
}  // namespace nao_kinora
