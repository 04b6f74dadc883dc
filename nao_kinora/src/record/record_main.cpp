// nao_kinora_record: teaches an exercise. Records the robot's joints from
// sensor_msgs/JointState, while someone moves its limbs by hand or another
// tool plays a motion, into a recording file that the node plays.
//
//   nao_kinora_record OUTPUT.txt [_topic:=/joint_states] [_rate:=25] [_still:=0.01]
//                     [_duration:=0] [_overwrite:=false]
//
// Records from the first message until SIGINT or SIGTERM, the ~stop service
// (std_srvs/Trigger), ~duration seconds of ROS time (0: until stopped) or
// stamps that go back; then writes OUTPUT and prints one line: the rows
// written and the recording's length.
//
// Exit status: 0 when written; 1 for a bad command line or parameter, or an
// OUTPUT that cannot be written (it exists, its folder is not writable); 2
// when there is nothing to write (no message, a joint in no message, nothing
// moved), the recording breaks the robot's joint limits (joint_limits.h: a
// joint out of its range, or moved faster than it can turn, at the normal
// speed; the first row at fault is named) or the writing failed.
#include "nao_kinora/error_line.h"
#include "nao_kinora/joint_limits.h"
#include "nao_kinora/joint_state_sampler.h"
#include "nao_kinora/parameters.h"
#include "nao_kinora/recording_writer.h"
#include "nao_kinora/session_speed.h"
#include "nao_kinora/stop_signals.h"

#include <ros/callback_queue.h>
#include <ros/ros.h>
#include <sensor_msgs/JointState.h>
#include <std_srvs/Trigger.h>

#include <cstdio>
#include <string>

using namespace nao_kinora;

namespace
{
const int kRefusedStatus = 1;
const int kNothingWrittenStatus = 2;
const uint32_t kStateQueue = 1000;     // a burst of joint states must not be dropped
const ros::WallDuration kPoll(0.001);  // how often the end of ~duration is looked at
const double kMostRate = 1000;         // rows per second
const double kMostStill = 6.2832;      // radians: one turn

struct Options
{
  std::string output;
  std::string topic = "/joint_states";
  double rate = 25;
  double still = 0.01;
  double duration = 0;
  bool overwrite = false;
};

bool readOptions(int argc, char** argv, Options& options)
{
  if (argc != 2)
  {
    ROS_ERROR(
        "usage: nao_kinora_record OUTPUT.txt [_topic:=/joint_states] [_rate:=25] [_still:=0.01] "
        "[_duration:=0] [_overwrite:=false]");
    return false;
  }
  options.output = argv[1];
  return readTextParam("topic", options.topic) &&
         readNumberParam("rate", options.rate, 1, kMostRate, "a number of rows per second") &&
         readNumberParam("still", options.still, 0, kMostStill, "a number of radians") &&
         readSecondsParam("duration", options.duration) && readTruthParam("overwrite", options.overwrite);
}

class Recorder
{
public:
  explicit Recorder(const Options& options) : duration_(options.duration)
  {
    ros::NodeHandle nh;
    ros::NodeHandle pnh("~");
    stateSub_ = nh.subscribe(options.topic, kStateQueue, &Recorder::stateHandle, this);
    stopService_ = pnh.advertiseService("stop", &Recorder::stopHandle, this);
  }

  bool done() const
  {
    const bool timeUp = duration_ > 0 && started_ && ros::Time::now() - firstReceived_ >= ros::Duration(duration_);
    return stopAsked_ || sampler_.ended() || timeUp;
  }

  const JointStateSampler& sampler() const { return sampler_; }

private:
  void stateHandle(const sensor_msgs::JointState::ConstPtr& msg)
  {
    const ros::Time now = ros::Time::now();
    const ros::Time stamp = msg->header.stamp.isZero() ? now : msg->header.stamp;
    if (!started_)
    {
      started_ = true;
      firstReceived_ = now;
      origin_ = stamp;
    }
    const ros::Duration since = stamp - origin_;
    if (sampler_.take(msg->name, msg->position, since.toSec()) == JointStateSampler::kWentBack)
      ROS_WARN(
          "joint state stamped %.3f s went back (the message before was later): the recording ends "
          "at the message before",
          stamp.toSec());
  }

  bool stopHandle(std_srvs::Trigger::Request&, std_srvs::Trigger::Response& res)
  {
    stopAsked_ = true;
    res.success = true;
    res.message = "stopping: writing the recording";
    return true;
  }

  double duration_;
  JointStateSampler sampler_;
  ros::Subscriber stateSub_;
  ros::ServiceServer stopService_;
  ros::Time firstReceived_;
  ros::Time origin_;  // stamps are handed over as seconds from the first one
  bool started_ = false;
  bool stopAsked_ = false;
};

// Runs once recording has stopped, which a signal does by shutting ROS down:
// its errors go through printError.
int writeOut(const Options& options, const JointStateSampler& sampler)
{
  if (sampler.mismatched() > 0)
    printWarning("ignored " + std::to_string(sampler.mismatched()) +
                 " joint state(s) whose names and positions differ in length");
  const SampledRecording recording = sampler.sample(options.rate, options.still);
  const std::string nothingWritten = ": nothing written to [" + options.output + "]";
  if (!recording.refusal.empty())
  {
    printError(recording.refusal + nothingWritten);
    return kNothingWrittenStatus;
  }
  // A recording is played as it is taught: at the normal speed.
  const std::vector<LimitViolation> faults = jointLimitViolations(recording.rows, kNormalSpeed);
  if (!faults.empty())
  {
    printError("the recording breaks the robot's joint limits at " + describeViolations(faults) + nothingWritten);
    return kNothingWrittenStatus;
  }
  const std::string fault = writeRecording(options.output, recording.rows, options.overwrite);
  if (!fault.empty())
  {
    printError(fault);
    return kNothingWrittenStatus;
  }
  std::printf("%s: %zu rows, %.2f s\n", options.output.c_str(), recording.rows.size(),
              recording.rows.size() / options.rate);
  std::fflush(stdout);
  return 0;
}
}  // namespace

int main(int argc, char** argv)
{
  ros::init(argc, argv, "nao_kinora_record", ros::init_options::NoSigintHandler);
  // A signal ends the recording, not the process: what was recorded is written.
  stopThroughRosOnSignals();
  Options options;
  if (!readOptions(argc, argv, options))
    return kRefusedStatus;
  const std::string unwritable = checkWritable(options.output, options.overwrite);
  if (!unwritable.empty())
  {
    ROS_ERROR("%s", unwritable.c_str());
    return kRefusedStatus;
  }

  // Under a simulated clock, a joint state taken before the first /clock
  // would start ~duration at time 0 and end it at the first tick.
  ros::start();
  while (ros::ok() && !ros::Time::isValid())
    kPoll.sleep();
  Recorder recorder(options);
  while (ros::ok() && !recorder.done())
    ros::getGlobalCallbackQueue()->callAvailable(kPoll);
  return writeOut(options, recorder.sampler());
}
