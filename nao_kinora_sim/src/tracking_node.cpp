// tracking_node: the simulated person tracker. After each motion-over signal
// (1 on "motionStartStop") it waits, in ROS time, and then publishes
// "trackingfinished", which lets the node go on with the next recording.
//
// Parameters: ~wait (ROS seconds from the signal to trackingfinished, default 2).
#include <nao_kinora/parameters.h>
#include <ros/callback_queue.h>
#include <ros/ros.h>
#include <std_msgs/Int32.h>

#include <cstdio>
#include <iostream>

namespace
{
const int kStopSignal = 1;
// How often the loop looks whether the wait is over. A ros::Timer would do it
// on a thread of its own that, under a simulated clock, wakes every
// millisecond for as long as the program lives, long after its one shot.
const ros::WallDuration kPoll(0.001);

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

  // ros::spin, with trackingfinished published when the wait is over.
  void run()
  {
    while (ros::ok())
    {
      ros::getGlobalCallbackQueue()->callAvailable(kPoll);
      if (!done_.isZero() && ros::Time::now() >= done_)
        finish();
    }
  }

private:
  void startStopHandle(const std_msgs::Int32::ConstPtr& msg)
  {
    if (msg->data != kStopSignal)
      return;
    ++motions_;
    char line[120];
    std::snprintf(line, sizeof line, "[tracking] motion %d over: tracking for %.2f s", motions_, wait_);
    std::cout << line << std::endl;
    // In ROS time, so the wait follows the simulated clock; a new signal
    // starts the wait again.
    done_ = ros::Time::now() + ros::Duration(wait_);
    if (done_.isZero())
      done_ = ros::Time(0, 1);
  }

  void finish()
  {
    done_ = ros::Time();
    std_msgs::Int32 done;
    done.data = motions_;
    finishedPub_.publish(done);
    std::cout << "[tracking] motion " << motions_ << ": trackingfinished" << std::endl;
  }

  ros::NodeHandle nh_;
  ros::Publisher finishedPub_;
  ros::Subscriber startStopSub_;
  ros::Time done_;  // when trackingfinished is due; zero: not waiting
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
  tracker.run();
  return 0;
}
