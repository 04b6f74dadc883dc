// sim_patient: a simulated patient in front of the robot. Follows the rows
// the node streams on "jointAngleArray" (from each start signal on
// "motionStartStop") and publishes the landmarks of a human skeleton in that
// pose on "person_pose" at a steady rate of ROS time.
//
// Parameters: ~amplitude (of the robot's excursion about the exercise's first
// pose, default 0.6), ~delay (ROS seconds behind the robot, default 0.5),
// ~noise (degrees of noise on every angle, default 1), ~swap_sides (follows
// with the wrong side, default false), ~still (stands still, default false),
// ~in_view (false: nobody in view, default true), ~mirror (faces the robot,
// default true), ~rate (frames per ROS second, default 30).
#include <nao_kinora/joint_row.h>
#include <nao_kinora/parameters.h>
#include <nao_kinora_msgs/PersonPose.h>
#include <nao_kinora_tracker/patient_motion.h>
#include <ros/callback_queue.h>
#include <ros/ros.h>
#include <std_msgs/Float32MultiArray.h>
#include <std_msgs/Int32.h>

#include <cstdio>
#include <iostream>

namespace
{
using nao_kinora_tracker::PatientMotion;
using nao_kinora_tracker::PatientStyle;

const int kStartSignal = 0;
const int kStopSignal = 1;
const size_t kRowValues = 1 + nao_kinora::kRowColumns;
const ros::WallDuration kPoll(0.001);

PatientStyle readStyle(bool& ok, double& rate, bool& inView)
{
  PatientStyle s;
  s.amplitude = 0.6;
  s.delaySeconds = 0.5;
  s.noiseDegrees = 1.0;
  ok = nao_kinora::readNumberParam("amplitude", s.amplitude, 0.0, 2.0, "a fraction of the robot's range") &&
       nao_kinora::readSecondsParam("delay", s.delaySeconds) &&
       nao_kinora::readNumberParam("noise", s.noiseDegrees, 0.0, 30.0, "degrees") &&
       nao_kinora::readTruthParam("swap_sides", s.swapSides) && nao_kinora::readTruthParam("still", s.still) &&
       nao_kinora::readTruthParam("in_view", inView) && nao_kinora::readTruthParam("mirror", s.mirror) &&
       nao_kinora::readNumberParam("rate", rate, 1.0, 120.0, "frames per second");
  return s;
}

class SimPatient
{
public:
  SimPatient() : motion_(readStyle(ok_, rate_, inView_))
  {
    if (!ok_)
      return;
    posePub_ = nh_.advertise<nao_kinora_msgs::PersonPose>("person_pose", 10);
    startStopSub_ = nh_.subscribe("motionStartStop", 10, &SimPatient::onStartStop, this);
    rowSub_ = nh_.subscribe("jointAngleArray", 100, &SimPatient::onRow, this);
  }

  bool ok() const { return ok_; }

  void run()
  {
    ros::Time next;
    while (ros::ok())
    {
      ros::getGlobalCallbackQueue()->callAvailable(kPoll);
      const ros::Time now = ros::Time::now();
      if (now.isZero() || now < next)
        continue;
      publishFrame(now);
      // Frames keep their pace; after a stall the next one is a whole period on.
      next = std::max(next + ros::Duration(1.0 / rate_), now);
    }
  }

private:
  void onStartStop(const std_msgs::Int32::ConstPtr& msg)
  {
    if (msg->data == kStartSignal)
    {
      ++exercises_;
      motion_.startExercise();
    }
    else if (msg->data == kStopSignal && exercises_ > 0)
    {
      char line[120];
      std::snprintf(line, sizeof line, "[patient] recording %d: last move at %.3f", exercises_, motion_.lastMoveAt());
      std::cout << line << std::endl;
    }
  }

  void onRow(const std_msgs::Float32MultiArray::ConstPtr& msg)
  {
    if (msg->data.size() != kRowValues)
      return;
    nao_kinora::JointRow row;
    std::copy(msg->data.begin() + 1, msg->data.end(), row.begin());
    motion_.addRobotRow(ros::Time::now().toSec(), row);
  }

  void publishFrame(const ros::Time& now)
  {
    nao_kinora_msgs::PersonPose pose;
    pose.header.stamp = now;
    pose.header.frame_id = "person";
    pose.source = "simulated patient";
    pose.in_view = inView_;
    if (inView_)
    {
      const nao_kinora_tracker::Skeleton s = nao_kinora_tracker::humanSkeleton(motion_.poseAt(now.toSec()));
      pose.landmarks.resize(nao_kinora_tracker::kLandmarkCount);
      for (int i = 0; i < nao_kinora_tracker::kLandmarkCount; ++i)
      {
        pose.landmarks[i].x = s.points[i].x;
        pose.landmarks[i].y = s.points[i].y;
        pose.landmarks[i].z = s.points[i].z;
        pose.landmarks[i].visibility = s.visibility[i];
      }
    }
    posePub_.publish(pose);
  }

  bool ok_ = true;
  double rate_ = 30.0;
  bool inView_ = true;
  PatientMotion motion_;
  ros::NodeHandle nh_;
  ros::Publisher posePub_;
  ros::Subscriber startStopSub_;
  ros::Subscriber rowSub_;
  int exercises_ = 0;
};
}  // namespace

int main(int argc, char** argv)
{
  ros::init(argc, argv, "sim_patient");
  SimPatient patient;
  if (!patient.ok())
    return 1;
  patient.run();
  return 0;
}
