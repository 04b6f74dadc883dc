// report_reader: prints each report on "variancedJoints", the joints that moved
// during a recording, by column index and joint name.
#include <nao_kinora/joint_row.h>

#include <ros/ros.h>
#include <std_msgs/Int32MultiArray.h>

#include <iostream>

using namespace nao_kinora;

namespace
{
class ReportReader
{
public:
  ReportReader() { reportSub_ = nh_.subscribe("variancedJoints", 10, &ReportReader::reportHandle, this); }

private:
  void reportHandle(const std_msgs::Int32MultiArray::ConstPtr& msg)
  {
    ++reports_;
    std::cout << "[report] recording " << reports_ << ": ";
    if (msg->data.empty())
      std::cout << "no joint moved";
    else
      std::cout << msg->data.size() << " joint(s) moved:";
    const char* separator = " ";
    for (int index : msg->data)
    {
      const char* name = jointName(index);
      if (!name)
        ROS_WARN("report %d names joint %d, which does not exist", reports_, index);
      std::cout << separator << index << ' ' << (name ? name : "?");
      separator = ", ";
    }
    std::cout << std::endl;
  }

  ros::NodeHandle nh_;
  ros::Subscriber reportSub_;
  int reports_ = 0;
};
}  // namespace

int main(int argc, char** argv)
{
  ros::init(argc, argv, "report_reader");
  ReportReader reader;
  ros::spin();
  return 0;
}
