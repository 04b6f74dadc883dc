#include "nao_kinora_robot/robot_executor.h"

#include <nao_kinora/joint_angles_with_speed.h>

#include <nao_kinora/joint_message.h>
#include <nao_kinora/parameters.h>
#include <ros/callback_queue.h>

#include <cstdio>
#include <iostream>

namespace nao_kinora_robot
{
namespace
{
typedef nao_kinora_msgs::SessionStatus Status;

const int kStartSignal = 0;
const int kStopSignal = 1;
// Rows can come hundreds per wall second under a fast simulated clock: keep them all.
const uint32_t kRowQueue = 1000;
// A row is a few commands; the driver takes them as they come.
const uint32_t kCommandQueue = 100;
// Only the newest joint state counts; a few more in case of a burst.
const uint32_t kStateQueue = 10;
// Taking messages about once a millisecond, as the node polls its clock, so
// that under a driven clock a test sees the executor react within the tick.
const ros::WallDuration kPoll(0.001);
// How long a hold sent as the executor ends has to reach the driver.
const ros::WallDuration kHoldWritten(0.2);
// How often the words "the robot is behind" may come.
const double kWarnEvery = 5.0;

std::string fixed(double value, const char* format = "%.2f")
{
  char text[32];
  std::snprintf(text, sizeof text, format, value);
  return text;
}
}  // namespace

RobotExecutor::RobotExecutor()
{
  PlannerOptions options;
  ok_ = readParameters(options);
  if (!ok_)
    return;
  planner_ = MotionPlanner(options);
  commandPub_ = nh_.advertise<nao_kinora::JointAnglesWithSpeed>("joint_angles", kCommandQueue);
  stateSub_ = nh_.subscribe("joint_states", kStateQueue, &RobotExecutor::stateHandle, this);
  // Latched by the node: its phase and speed come as soon as it is there.
  statusSub_ = nh_.subscribe(statusTopic_, 10, &RobotExecutor::statusHandle, this);
  rowSub_ = nh_.subscribe("jointAngleArray", kRowQueue, &RobotExecutor::rowHandle, this);
  startStopSub_ = nh_.subscribe("motionStartStop", 10, &RobotExecutor::startStopHandle, this);
}

bool RobotExecutor::readParameters(PlannerOptions& options)
{
  return nao_kinora::readNumberParam("approach_fraction", options.approachFraction, kSlowestLevel, 1.0,
                                     "a fraction of the joints' maximum speed") &&
         nao_kinora::readNumberParam("arrived_within", options.arrivedWithin, 0.001, 0.5, "radians") &&
         nao_kinora::readNumberParam("state_timeout", options.stateTimeout, 0.02, 10.0, "seconds") &&
         nao_kinora::readTextParam("status_topic", statusTopic_);
}

void RobotExecutor::run(const std::function<bool()>& stopRequested)
{
  while (ros::ok() && !stopRequested())
    ros::getGlobalCallbackQueue()->callAvailable(kPoll);
  if (!ros::ok())
    return;
  hold("the executor is stopped");
  // The publisher's own thread writes the hold out; it is given this long
  // before the connections close.
  kHoldWritten.sleep();
  ros::shutdown();
}

void RobotExecutor::stateHandle(const sensor_msgs::JointState::ConstPtr& msg)
{
  // A driver that leaves the stamp out: the time of receipt.
  const ros::Time stamp = msg->header.stamp.isZero() ? clock_.now() : msg->header.stamp;
  planner_.observe(msg->name, msg->position, stamp.toSec());
}

void RobotExecutor::statusHandle(const nao_kinora_msgs::SessionStatus::ConstPtr& msg)
{
  speed_ = msg->speed;
  const uint8_t before = phase_;
  phase_ = msg->phase;
  if (phase_ == before)
    return;
  if (phase_ == Status::PHASE_PAUSED)
    hold("the session is paused");
  else if (phase_ == Status::PHASE_OVER)
    hold("the session is over");
}

void RobotExecutor::startStopHandle(const std_msgs::Int32::ConstPtr& msg)
{
  if (msg->data == kStartSignal)
  {
    ++recording_;
    row_ = -1;
    refused_ = 0;
    approachSaid_ = false;
    planner_.expectFirstRow();
    std::cout << "[robot] recording " << recording_ << ": start signal" << std::endl;
  }
  else if (msg->data == kStopSignal)
  {
    hold("recording " + std::to_string(recording_) + " is over after " + std::to_string(row_ + 1) + " rows (" +
         std::to_string(refused_) + " not sent)");
    planner_.expectFirstRow();
  }
  else
    ROS_WARN("motionStartStop %d is neither start (0) nor stop (1)", msg->data);
}

void RobotExecutor::rowHandle(const std_msgs::Float32MultiArray::ConstPtr& msg)
{
  ++row_;
  nao_kinora::JointRow row;
  const std::string malformed = nao_kinora::decodeJointMessage(msg->data, row);
  if (!malformed.empty())
  {
    ++refused_;
    ROS_ERROR("recording %d, row %d not sent: a malformed joint message: %s", recording_, row_, malformed.c_str());
    return;
  }
  const ros::Time now = clock_.now();
  const RowPlan plan = planner_.planRow(row, now.toSec(), speed_);
  for (const JointCommand& command : plan.commands)
    send(command, now);
  report(plan);
}

void RobotExecutor::report(const RowPlan& plan)
{
  switch (plan.outcome)
  {
    case RowPlan::kRefused:
      ++refused_;
      ROS_ERROR("recording %d, row %d not sent: %s", recording_, row_,
                nao_kinora::describeViolation(plan.fault).c_str());
      break;
    case RowPlan::kNoRobot:
      ++refused_;
      ROS_ERROR_THROTTLE(kWarnEvery, "recording %d, row %d not sent: %s on %s", recording_, row_, plan.missing.c_str(),
                         stateSub_.getTopic().c_str());
      break;
    case RowPlan::kApproach:
      if (!approachSaid_)
        std::cout << "[robot] recording " << recording_ << ": row " << row_ << ", approached at "
                  << plan.commands.front().fraction << " of full speed" << std::endl;
      approachSaid_ = true;
      break;
    case RowPlan::kTracking:
      if (approachSaid_)
        std::cout << "[robot] recording " << recording_ << ": at the first row's pose by row " << row_
                  << ": following the rows" << std::endl;
      approachSaid_ = false;
      if (plan.neededMost > 1)
        ROS_WARN_THROTTLE(kWarnEvery,
                          "recording %d, row %d: %s would need %s of its maximum speed to arrive in "
                          "time: the robot is behind, and it moves at its maximum",
                          recording_, row_, nao_kinora::robotJointName(plan.neededMostJoint),
                          fixed(plan.neededMost).c_str());
      break;
    case RowPlan::kStill:
      break;
  }
}

void RobotExecutor::hold(const std::string& why)
{
  const ros::Time now = clock_.now();
  const JointCommand command = planner_.holdWhereItIs(now.toSec());
  send(command, now);
  std::cout << "[robot] " << why << ": the robot stops where it is"
            << (command.relative ? " (its joint states are missing: a relative command of zeros)" : "") << std::endl;
}

void RobotExecutor::send(const JointCommand& command, const ros::Time& stamp)
{
  nao_kinora::JointAnglesWithSpeed msg;
  msg.header.stamp = stamp;
  for (std::size_t k = 0; k < command.joints.size(); ++k)
  {
    msg.joint_names.push_back(nao_kinora::robotJointName(command.joints[k]));
    msg.joint_angles.push_back(static_cast<float>(command.angles[k]));
  }
  msg.speed = static_cast<float>(command.fraction);
  msg.relative = command.relative ? 1 : 0;
  commandPub_.publish(msg);
}
}  // namespace nao_kinora_robot
