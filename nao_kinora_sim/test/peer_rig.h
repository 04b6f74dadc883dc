// The test side of the simulated peers: each peer started as a program
// against the test process's master, and the test node's ends of their
// topics; the test owns /clock where ROS time matters.
#ifndef NAO_KINORA_SIM_TEST_PEER_RIG_H
#define NAO_KINORA_SIM_TEST_PEER_RIG_H

#include "processes.h"
#include "test_util.h"

#include <ros/ros.h>
#include <rosgraph_msgs/Clock.h>
#include <std_msgs/Float32MultiArray.h>
#include <std_msgs/Int32.h>
#include <std_msgs/Int32MultiArray.h>
#include <std_msgs/String.h>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace peer_test
{
inline const std::string kPeers = SIM_BIN_DIR;
const double kDeadline = 10.0;  // wall seconds for anything to happen
// Wall time for a message to reach a peer after its clock has moved, and for
// a peer to show that it did nothing.
const double kSettle = 0.3;

using kinora_test::Process;
using kinora_test::readFile;

// Polls cond in wall time, serving this node's callbacks, until it holds.
inline bool waitFor(const std::function<bool()>& cond, double seconds = kDeadline)
{
  return kinora_test::waitWallFor(
      [&]
      {
        ros::spinOnce();
        return cond();
      },
      seconds, 0.01);
}

inline void settle()
{
  waitFor([] { return false; }, kSettle);
}

// A simulated peer started by the test.
inline std::unique_ptr<Process> peer(const std::string& name, std::vector<std::string> args)
{
  args.insert(args.begin(), kPeers + "/" + name);
  return std::unique_ptr<Process>(new Process(args));
}

// How often the threads of a program other than its main thread have been
// given a CPU, from the kernel's counts.
inline long threadRunsBesidesMain(pid_t pid)
{
  long sum = 0;
  std::error_code gone;
  for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", gone))
  {
    if (task.path().filename() == std::to_string(pid))
      continue;
    long onCpu = 0, waiting = 0, runs = 0;
    std::ifstream(task.path() / "schedstat") >> onCpu >> waiting >> runs;
    sum += runs;
  }
  return sum;
}

inline bool printed(const Process& p, const std::string& text)
{
  return kinora_test::contains(p.out(), text);
}

inline bool warned(const Process& p, const std::string& text)
{
  return kinora_test::contains(p.err(), text);
}

// The test node's side of the peers' topics.
class Wire
{
public:
  Wire() { clockPub_ = nh_.advertise<rosgraph_msgs::Clock>("/clock", 1, true); }

  template <class M>
  ros::Publisher& to(const std::string& topic)
  {
    ros::Publisher& pub = pubs_[topic];
    if (!pub)
      pub = nh_.advertise<M>(topic, 100);
    return pub;
  }

  // Publishes once the topic has a subscriber.
  template <class M>
  bool send(const std::string& topic, const M& msg)
  {
    ros::Publisher& pub = to<M>(topic);
    if (!waitFor([&] { return pub.getNumSubscribers() > 0; }))
      return false;
    pub.publish(msg);
    return true;
  }

  void setClock(double seconds)
  {
    rosgraph_msgs::Clock clock;
    clock.clock = ros::Time(seconds);
    clockPub_.publish(clock);
    settle();
  }

  // Keeps the std_msgs/Int32 values that arrive on topic.
  std::vector<int>& listen(const std::string& topic)
  {
    std::vector<int>& values = values_[topic];
    subs_.push_back(nh_.subscribe<std_msgs::Int32>(
        topic, 10, [&values](const std_msgs::Int32::ConstPtr& m) { values.push_back(m->data); }));
    return values;
  }

  bool connected(const std::string& topic)
  {
    for (const ros::Subscriber& sub : subs_)
      if (sub.getTopic() == ros::names::resolve(topic))
        return waitFor([&] { return sub.getNumPublishers() > 0; });
    return false;
  }

private:
  ros::NodeHandle nh_;
  ros::Publisher clockPub_;
  std::map<std::string, ros::Publisher> pubs_;
  std::map<std::string, std::vector<int>> values_;
  std::vector<ros::Subscriber> subs_;
};

inline std_msgs::String text(const std::string& s)
{
  std_msgs::String msg;
  msg.data = s;
  return msg;
}

inline std_msgs::Int32 number(int value)
{
  std_msgs::Int32 msg;
  msg.data = value;
  return msg;
}

inline std_msgs::Float32MultiArray jointMessage(float marker, float duration, std::size_t size = 24)
{
  std_msgs::Float32MultiArray msg;
  msg.data.assign(size, 0.25f);
  msg.data.front() = marker;
  msg.data.back() = duration;
  return msg;
}
}  // namespace peer_test

#endif  // NAO_KINORA_SIM_TEST_PEER_RIG_H
