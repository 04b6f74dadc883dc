// motion_executor: the simulated robot side. Takes the joint rows of each
// recording from "jointAngleArray", checks every message, shows the progress
// of the recording, and can end a recording early through "motionfinished".
//
// Parameters: ~progress_every (ROS seconds between progress lines, default 5),
// ~finish_after_rows (default 0 = never): after that many rows of a recording,
// publish "motionfinished" once.
#include <ros/ros.h>
#include <std_msgs/Float32MultiArray.h>
#include <std_msgs/Int32.h>

#include <cmath>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

namespace
{
// A joint message: the marker 1.0, 22 joint angles, the row's duration.
const std::size_t kJointMessageSize = 24;
const float kMarker = 1.0f;
const int kStartSignal = 0;
const int kStopSignal = 1;
// Rows can come hundreds per wall second at a high clock speed: keep them all.
const uint32_t kRowQueue = 1000;

// What is wrong with a joint message, or "" when nothing is.
std::string jointMessageFault(const std::vector<float>& data)
{
  std::ostringstream fault;
  if (data.size() != kJointMessageSize)
    fault << data.size() << " values instead of " << kJointMessageSize;
  else if (data[0] != kMarker)
    fault << "first value " << data[0] << " instead of " << kMarker;
  else if (!(data.back() >= 0) || !std::isfinite(data.back()))
    fault << "duration " << data.back() << " is negative or not finite";
  else
    for (std::size_t k = 1; k + 1 < data.size(); ++k)
      if (!std::isfinite(data[k]))
      {
        fault << "joint " << k - 1 << " is " << data[k];
        break;
      }
  return fault.str();
}

class MotionExecutor
{
public:
  MotionExecutor()
  {
    ros::NodeHandle pnh("~");
    pnh.param<double>("progress_every", progressEvery_, 5.0);
    pnh.param<int>("finish_after_rows", finishAfterRows_, 0);

    finishedPub_ = nh_.advertise<std_msgs::Int32>("motionfinished", 1);
    rowSub_ = nh_.subscribe("jointAngleArray", kRowQueue, &MotionExecutor::rowHandle, this);
    startStopSub_ = nh_.subscribe("motionStartStop", 10, &MotionExecutor::startStopHandle, this);
  }

private:
  void startStopHandle(const std_msgs::Int32::ConstPtr& msg)
  {
    if (msg->data == kStartSignal)
    {
      ++recording_;
      rows_ = 0;
      malformed_ = 0;
      askedToFinish_ = false;
      playing_ = true;
      std::cout << "[motion] recording " << recording_ << ": start signal" << std::endl;
    }
    else if (msg->data == kStopSignal)
    {
      playing_ = false;
      printLine(ros::Time::now(), "over:");
    }
    else
      ROS_WARN("motionStartStop %d is neither start (0) nor stop (1)", msg->data);
  }

  void rowHandle(const std_msgs::Float32MultiArray::ConstPtr& msg)
  {
    const ros::Time now = ros::Time::now();
    if (!playing_)
      ROS_WARN("joint message outside a recording (no start signal since the last stop)");
    ++rows_;
    const std::string fault = jointMessageFault(msg->data);
    if (!fault.empty())
    {
      ++malformed_;
      ROS_ERROR("recording %d, row %d: malformed joint message: %s", recording_, rows_ - 1, fault.c_str());
    }
    if (rows_ == 1)
    {
      firstRow_ = now;
      lastLine_ = now;
      lastLineRows_ = 0;
    }
    if ((now - lastLine_).toSec() >= progressEvery_)
      printProgress(now);
    if (finishAfterRows_ > 0 && rows_ >= finishAfterRows_ && !askedToFinish_)
      askToFinish();
  }

  void printProgress(const ros::Time& now)
  {
    char rate[64];
    std::snprintf(rate, sizeof rate, ", %.1f rows/s", (rows_ - lastLineRows_) / (now - lastLine_).toSec());
    printLine(now, "", rate);
    lastLine_ = now;
    lastLineRows_ = rows_;
  }

  // "[motion] recording 2: 250 rows, 11.96 s since row 0, 25.0 rows/s"
  void printLine(const ros::Time& now, const char* what, const char* rate = "")
  {
    char line[200];
    const double elapsed = rows_ > 0 ? (now - firstRow_).toSec() : 0.0;
    std::snprintf(line, sizeof line, "[motion] recording %d: %s%s%d rows, %.2f s since row 0%s", recording_, what,
                  *what ? " " : "", rows_, elapsed, rate);
    std::cout << line;
    if (malformed_ > 0)
      std::cout << ", " << malformed_ << " malformed";
    std::cout << std::endl;
  }

  void askToFinish()
  {
    askedToFinish_ = true;
    std_msgs::Int32 finished;
    finished.data = rows_;
    finishedPub_.publish(finished);
    std::cout << "[motion] recording " << recording_ << ": motionfinished after " << rows_ << " rows" << std::endl;
  }

  ros::NodeHandle nh_;
  ros::Publisher finishedPub_;
  ros::Subscriber rowSub_;
  ros::Subscriber startStopSub_;
  double progressEvery_;
  int finishAfterRows_;

  int recording_ = 0;
  int rows_ = 0;
  int malformed_ = 0;
  bool playing_ = false;
  bool askedToFinish_ = false;
  ros::Time firstRow_;
  ros::Time lastLine_;
  int lastLineRows_ = 0;
};
}  // namespace

int main(int argc, char** argv)
{
  ros::init(argc, argv, "motion_executor");
  MotionExecutor executor;
  ros::spin();
  return 0;
}
