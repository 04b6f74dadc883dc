// tracking_node: the simulated person tracker. After each motion-over signal
// (1 on "motionStartStop") it waits, in ROS time, and then publishes
// "trackingfinished", which lets the node go on with the next recording.
//
// Parameters: ~wait (ROS seconds from the signal to trackingfinished, default 2).
#include <nao_kinora/parameters.h>
#include <ros/ros.h>
#include <std_msgs/Int32.h>

#include <cstdio>
#include <iostream>

namespace
{
const int kStopSignal = 1;

class TrackingNode
{
public:
  TrackingNode()
  {
    ok_ = nao_kinora::readSecondsParam("wait", wait_);
    if (!ok_)
      return;

    finishedPub_ = nh_.advertise<std_msgs::Int32>("trackingfinished", 1);
    startStopSub_ = nh_.subscribe("motionStartStop", 10, &TrackingNode::startStopHandle, this);
  }

  // False when a parameter was refused: the program then ends with status 1.
  bool ok() const { return ok_; }

private:
  void startStopHandle(const std_msgs::Int32::ConstPtr& msg)
  {
    if (msg->data != kStopSignal)
      return;
    ++motions_;
    char line[120];
    std::snprintf(line, sizeof line, "[tracking] motion %d over: tracking for %.2f s", motions_, wait_);
    std::cout << line << std::endl;
    // A one-shot timer in ROS time, so the wait follows the simulated clock.
    doneTimer_ = nh_.createTimer(ros::Duration(wait_), &TrackingNode::doneHandle, this, true);
  }

  void doneHandle(const ros::TimerEvent&)
  {
    std_msgs::Int32 done;
    done.data = motions_;
    finishedPub_.publish(done);
    std::cout << "[tracking] motion " << motions_ << ": trackingfinished" << std::endl;
  }

  ros::NodeHandle nh_;
  ros::Publisher finishedPub_;
  ros::Subscriber startStopSub_;
  ros::Timer doneTimer_;
  bool ok_ = true;
  double wait_ = 2.0;
  int motions_ = 0;
};
}  // namespace

int main(int argc, char** argv)
{
  ros::init(argc, argv, "tracking_node");
  TrackingNode tracker;
  if (!tracker.ok())
    return 1;
  ros::spin();
  return 0;
}
