#include "joint_states.h"

#include <nao_kinora/joint_row.h>

namespace
{
const double kStateRate = 50.0;  // Hz of ROS time, as robot bridges publish
const uint32_t kStateQueue = 10;
}  // namespace

JointStates::JointStates(ros::NodeHandle& nh)
{
  for (int j = 0; j < nao_kinora::kJointCount; ++j)
    state_.name.push_back(nao_kinora::robotJointName(j));
  state_.position.resize(nao_kinora::kJointCount);
  // Relative, as the executor's other topics: a namespace moves the whole robot.
  statePub_ = nh.advertise<sensor_msgs::JointState>("joint_states", kStateQueue);
}

void JointStates::hold(const nao_kinora::JointRow& row)
{
  for (int j = 0; j < nao_kinora::kJointCount; ++j)
    state_.position[j] = row[j];
  holding_ = true;
}

void JointStates::publishWhenDue()
{
  const ros::Time now = ros::Time::now();
  if (!holding_ || now.isZero() || now < next_)
    return;
  state_.header.stamp = now;
  ++state_.header.seq;
  statePub_.publish(state_);
  // Due times from one anchor, so late polls do not add up; after a clock
  // jump (or a stall) the count starts again from now.
  const ros::Duration period(1.0 / kStateRate);
  next_ = next_.isZero() ? now + period : next_ + period;
  if (next_ <= now)
    next_ = now + period;
}
