// The harness node: its master, the programs it starts and the node handle
// that the clock and the recorder share.
#include "ros_harness.h"

#include <rosgraph_msgs/Clock.h>

#include <stdexcept>

namespace kinora_test
{
const ros::Time Harness::kStartTime(1000.0);

Harness::Harness(bool simTime)
    : simTime_(simTime), tick_(0.01), settleBase_(0.002), settleQuiet_(0.005), now_(kStartTime)
{
  // roscpp cannot be initialised again after a shutdown.
  static bool used = false;
  if (used)
    throw std::logic_error("one Harness per process: run the tests through ctest or one at a time");
  used = true;
  ros::init(ros::M_string(), "kinora_test", ros::init_options::AnonymousName | ros::init_options::NoSigintHandler);
  // The first node handle starts the node; it reads /use_sim_time only then,
  // so the harness keeps wall time while the nodes under test get the clock.
  nh_.reset(new ros::NodeHandle);
  if (simTime_)
  {
    ros::param::set("/use_sim_time", true);
    // Latched, so a node that connects late still learns the current time.
    clockPub_ = nh_->advertise<rosgraph_msgs::Clock>("/clock", 1, true);
    publishClock(now_);
  }
  spinner_.reset(new ros::AsyncSpinner(1, &recordQueue_));
  spinner_->start();
}

Harness::~Harness()
{
  spinner_->stop();
  recorders_.clear();
  senders_.clear();
  clockPub_.shutdown();
  nh_.reset();
  ros::shutdown();
}

std::unique_ptr<Process> Harness::start(const std::string& program, const std::vector<std::string>& args)
{
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), args.begin(), args.end());
  const uint32_t clockListeners = simTime_ ? clockPub_.getNumSubscribers() : 0;
  std::unique_ptr<Process> process(new Process(argv));
  started_.push_back(process->pid());
  // A tick sent before the program listens to /clock would reach it late.
  if (simTime_)
    waitWallFor([&] { return clockPub_.getNumSubscribers() > clockListeners || !process->running(); }, kConnectSeconds);
  return process;
}
}  // namespace kinora_test
