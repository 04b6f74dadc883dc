// The tracker's decision latency, in wall time against a running tracker:
// plays an exercise (a sample recording at 4x its speed: its rows on
// "jointAngleArray" between the signals on "motionStartStop") and a simulated
// patient following it 0.5 s late at 0.6 of its range on "person_pose" at 30
// frames per second, until "trackingfinished" comes. For each round it
// prints the time from the patient's last movement to the decision, the
// frames sent meanwhile, and the time from the last frame sent before the
// decision to its arrival here.
//
//   nao_kinora_tracker_bench RECORDING [ROUNDS]
#include "nao_kinora_tracker/patient_motion.h"

#include <nao_kinora_msgs/PersonPose.h>
#include <ros/ros.h>
#include <std_msgs/Float32MultiArray.h>
#include <std_msgs/Int32.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

namespace
{
using namespace nao_kinora_tracker;

const double kSpeed = 4.0;
const double kFirstRowHold = 0.5;  // the node's 2 s, at the same speed
const double kFrame = 1.0 / 30.0;
const double kGiveUp = 30.0;  // seconds after the stop signal

std::vector<nao_kinora::JointRow> readRows(const char* path)
{
  std::vector<nao_kinora::JointRow> rows;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line))
  {
    std::istringstream values(line);
    nao_kinora::JointRow row;
    for (float& v : row)
      values >> v;
    if (!values)
      break;
    rows.push_back(row);
  }
  return rows;
}

nao_kinora_msgs::PersonPose frame(const Skeleton& s)
{
  nao_kinora_msgs::PersonPose pose;
  pose.header.stamp = ros::Time::now();
  pose.source = "benchmark";
  pose.in_view = true;
  pose.landmarks.resize(kLandmarkCount);
  for (int i = 0; i < kLandmarkCount; ++i)
  {
    pose.landmarks[i].x = s.points[i].x;
    pose.landmarks[i].y = s.points[i].y;
    pose.landmarks[i].z = s.points[i].z;
    pose.landmarks[i].visibility = s.visibility[i];
  }
  return pose;
}

std_msgs::Int32 signal(int value)
{
  std_msgs::Int32 m;
  m.data = value;
  return m;
}

ros::WallTime finishedAt;
void onFinished(const std_msgs::Int32::ConstPtr&)
{
  finishedAt = ros::WallTime::now();
}
}  // namespace

int main(int argc, char** argv)
{
  ros::init(argc, argv, "decision_latency_bench");
  if (argc < 2)
  {
    std::fprintf(stderr, "usage: nao_kinora_tracker_bench RECORDING [ROUNDS]\n");
    return 2;
  }
  const std::vector<nao_kinora::JointRow> rows = readRows(argv[1]);
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 10;
  ros::NodeHandle nh;
  ros::Publisher startStop = nh.advertise<std_msgs::Int32>("motionStartStop", 10);
  ros::Publisher rowPub = nh.advertise<std_msgs::Float32MultiArray>("jointAngleArray", 1000);
  ros::Publisher posePub = nh.advertise<nao_kinora_msgs::PersonPose>("person_pose", 100);
  ros::Subscriber finished = nh.subscribe("trackingfinished", 10, onFinished);
  while (ros::ok() && (startStop.getNumSubscribers() == 0 || rowPub.getNumSubscribers() == 0 ||
                       posePub.getNumSubscribers() == 0 || finished.getNumPublishers() == 0))
    ros::WallDuration(0.01).sleep();

  std::printf("round  last move to decision (s)  frames since  last frame to trackingfinished (ms)\n");
  std::vector<double> latencies;
  for (int round = 1; round <= rounds && ros::ok(); ++round)
  {
    PatientStyle style;
    style.amplitude = 0.6;
    style.delaySeconds = 0.5;
    style.noiseDegrees = 1.0;
    style.seed = round;
    PatientMotion patient(style);
    patient.startExercise();
    finishedAt = ros::WallTime();
    startStop.publish(signal(0));
    const ros::WallTime start = ros::WallTime::now();
    size_t next = 0;
    double nextRowAt = 0.0, nextFrameAt = 0.0, stoppedAt = -1.0;
    ros::WallTime lastFrameSent;
    std::vector<double> frameTimes;
    while (ros::ok() && finishedAt.isZero())
    {
      const double t = (ros::WallTime::now() - start).toSec();
      if (next < rows.size() && t >= nextRowAt)
      {
        std_msgs::Float32MultiArray m;
        m.data.push_back(1.0f);
        m.data.insert(m.data.end(), rows[next].begin(), rows[next].end());
        rowPub.publish(m);
        patient.addRobotRow(ros::Time::now().toSec(), rows[next]);
        nextRowAt += next == 0 ? kFirstRowHold : rows[next][nao_kinora::kDurationColumn] / kSpeed;
        ++next;
      }
      else if (next == rows.size() && stoppedAt < 0 && t >= nextRowAt)
      {
        startStop.publish(signal(1));
        stoppedAt = t;
      }
      if (t >= nextFrameAt)
      {
        posePub.publish(frame(humanSkeleton(patient.poseAt(ros::Time::now().toSec()))));
        lastFrameSent = ros::WallTime::now();
        frameTimes.push_back(ros::Time::now().toSec());
        nextFrameAt += kFrame;
      }
      ros::spinOnce();
      if (stoppedAt >= 0 && t - stoppedAt > kGiveUp)
        break;
      ros::WallDuration(0.0005).sleep();
    }
    if (finishedAt.isZero())
    {
      std::printf("%5d  no decision within %g s of the stop signal\n", round, kGiveUp);
      continue;
    }
    const double decidedAt = ros::Time::now().toSec();
    const double lastMove = patient.lastMoveAt();
    const long since = std::count_if(frameTimes.begin(), frameTimes.end(), [&](double f) { return f >= lastMove; });
    const double latency = (finishedAt - lastFrameSent).toSec() * 1000.0;
    latencies.push_back(latency);
    std::printf("%5d  %25.2f  %12ld  %35.2f\n", round, decidedAt - lastMove, since, latency);
    ros::WallDuration(0.5).sleep();  // the tracker's result goes out; the next round starts clean
  }
  std::sort(latencies.begin(), latencies.end());
  if (!latencies.empty())
    std::printf("last frame to trackingfinished: median %.2f ms, max %.2f ms over %zu rounds\n",
                latencies[latencies.size() / 2], latencies.back(), latencies.size());
  return 0;
}
