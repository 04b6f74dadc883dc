// Test harness for running nao_kinora against a real ROS master.
//
// Each test process gets its own master on a free loopback port, its own ROS
// node (the "harness node") and, in simulated-time mode, owns the clock: time
// moves only when the test advances it, so multi-second pauses of the node
// under test cost milliseconds of wall time.
//
// Typical use in a gtest (one Harness per test process, as roscpp cannot be
// initialised twice; ctest runs each TEST in its own process):
//
//   kinora_test::Harness h;                          // master + /use_sim_time + /clock
//   auto node = h.start(KINORA_NODE, {"1", "a.txt"}); // returns once it has the clock
//   h.record("talkerfilename");
//   ASSERT_TRUE(h.waitForPublisher("talkerfilename"));
//   ASSERT_TRUE(h.runUntil([&] { return h.count("talkerfilename") == 2; }, ros::Duration(20)));
//   auto cues = h.eventsOn("talkerfilename");
//   EXPECT_EQ(ros::Duration(5), cues[1].stamp - cues[0].stamp);
//
// Recording after start() means the node has its clock before it sees a
// subscriber; recording before is fine too, but a node that reacts to the
// subscriber before its first /clock message reads time 0.
//
// Stamps. Each message is stamped with the simulated time of the tick during
// which it arrived. After publishing a tick the harness holds it open (Linux
// /proc) until the main thread of every program started with start() has run
// twice (it polls the clock about once a millisecond) since any other thread
// of that program last ran (one of them takes the tick in), no thread of those
// programs or of the harness is runnable, and, once something arrived, the
// recorded topics have been quiet for the quiet window; so a node's reaction
// to a tick is stamped with that tick even on a loaded machine. advance() and
// runUntil() do the same once before their first tick, so what the test set
// off in wall time (a connection, a message sent) is stamped with the current
// time. A tick costs about 2 ms of wall time when nothing happens.
//
// Order. Every recorded topic has a connection of its own, and roscpp's poll
// thread reads them as their data comes in (epoll reports sockets in the order
// they became readable) and queues each message on the one recording queue,
// which one thread serves in that order. Event::seq numbers the messages as
// they come off that queue, so a test sees the order of receipt across topics.
// The node hands each publish to its connections before its next one, so that
// is the order it published in, with one exception: the poll thread takes
// every whole message waiting on a connection before it turns to the next
// one, so of messages sent at one instant as A1, B, A2 on two topics, A2 may
// come before B (a cue sent inside a burst of rows came after the whole
// burst, every time).
//
// Every wait has a wall-clock deadline, so a hung node fails a test instead of
// hanging it.
#ifndef NAO_KINORA_TEST_HARNESS_ROS_HARNESS_H
#define NAO_KINORA_TEST_HARNESS_ROS_HARNESS_H

#include <ros/ros.h>
#include <ros/callback_queue.h>

#include "processes.h"
#include "test_util.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kinora_test
{
// One message received by the harness on a recorded topic.
struct Event
{
  std::string topic;          // the name given to Harness::record
  uint64_t seq = 0;           // place in the order of receipt over every recorded topic, from 0
  ros::Time stamp;            // simulated time of the tick during which it arrived (wall time without sim time)
  std::string text;           // std_msgs/String data
  int value = 0;              // std_msgs/Int32 data
  std::vector<float> floats;  // std_msgs/Float32MultiArray data
  std::vector<int> ints;      // std_msgs/Int32MultiArray data
  uint32_t layoutDims = 0;    // layout.dim.size() of the multi-array types
  uint32_t dataOffset = 0;    // layout.data_offset of the multi-array types
};

// Master, harness node, clock, recorder and sender for one test process. The
// clock and its settling are in driven_clock.cpp, the recorder and the sender
// in recorder.cpp.
class Harness
{
public:
  // simTime: set /use_sim_time and publish /clock, starting at kStartTime.
  // The harness node itself keeps wall time.
  explicit Harness(bool simTime = true);
  ~Harness();
  Harness(const Harness&) = delete;
  Harness& operator=(const Harness&) = delete;

  static const ros::Time kStartTime;

  // Starts a program under test; it inherits the master's environment. In
  // simulated-time mode, returns once it listens to /clock (or has exited);
  // from then on every tick waits for it (see Stamps above).
  std::unique_ptr<Process> start(const std::string& program, const std::vector<std::string>& args = {});

  // --- Simulated time (simTime only; the others throw std::logic_error) ---
  ros::Time now() const;  // the simulated time last published on /clock
  void setTick(ros::Duration tick) { tick_ = tick; }
  // The least wall time a tick lasts (default 2 ms), and how long the recorded
  // topics must have been quiet before the next tick when something arrived
  // (default 5 ms).
  void setSettle(double baseWallSeconds, double quietWallSeconds);
  // Advances the clock by d, tick by tick, letting the node react after each tick.
  void advance(ros::Duration d);
  // Moves the clock by d in one tick, forward or back (a simulator reset).
  void jump(ros::Duration d);
  // Advances tick by tick until cond holds (checked before the first tick and
  // after each one) or maxSim / maxWallSeconds is used up; returns cond().
  bool runUntil(const std::function<bool()>& cond, ros::Duration maxSim, double maxWallSeconds = 60);

  // Waits in wall time, without advancing the clock; returns cond().
  bool waitWall(const std::function<bool()>& cond, double wallSeconds);

  // Returns once what the test set off in wall time (a message it sent) has
  // played out in the programs under test: every thread it woke has run and
  // gone back to sleep, as before a tick. advance(), jump() and runUntil() do
  // this first themselves.
  void settleNow() const { settleBeforeTicks(); }

  // --- Recording ---
  // Subscribes (once) to a topic of the node under test. The type is chosen by
  // the last name component: "jointAngleArray", "talkerfilename",
  // "motionStartStop" or "variancedJoints"; so "/robot1/talkerfilename" works
  // too. Throws std::invalid_argument for any other name.
  void record(const std::string& topic);
  // Waits until every publisher of the recorded topic has accepted the
  // harness's subscription, so nothing they publish from then on is missed.
  bool waitForPublisher(const std::string& topic, double wallSeconds = kConnectSeconds);
  std::vector<Event> events() const;  // every recorded message, by seq
  std::vector<Event> eventsOn(const std::string& topic) const;
  std::size_t count(const std::string& topic) const;

  // --- Sending (std_msgs/Int32 and std_msgs/String) ---
  // Each waits until the node under test has subscribed (false when it has
  // not within kConnectSeconds), then publishes one message.
  bool publish(const std::string& topic, int value);
  bool publishText(const std::string& topic, const std::string& text);

private:
  template <class M>
  bool send(const std::string& topic, const M& msg);
  template <class M, class Fill>
  ros::Subscriber subscribe(const std::string& topic, Fill fill);
  void store(Event event);
  void requireSimTime() const;
  void publishClock(ros::Time t);
  void step(ros::Duration d);
  void settle(ros::WallTime tickStart, std::vector<long> runs, std::vector<long> othersBefore) const;
  void settleBeforeTicks() const;
  bool busy() const;
  std::vector<long> mainThreadRuns() const;
  std::vector<long> otherThreadRuns() const;
  bool ranEnoughSince(const std::vector<long>& runs) const;

  Master master_;
  bool simTime_;
  std::unique_ptr<ros::NodeHandle> nh_;
  ros::Publisher clockPub_;
  ros::Duration tick_;
  ros::WallDuration settleBase_;
  ros::WallDuration settleQuiet_;

  ros::CallbackQueue recordQueue_;
  std::unique_ptr<ros::AsyncSpinner> spinner_;
  std::map<std::string, ros::Subscriber> recorders_;
  std::map<std::string, ros::Publisher> senders_;
  std::vector<pid_t> started_;

  mutable std::mutex mutex_;  // guards the members below, shared with the spinner thread
  ros::Time now_;
  ros::WallTime lastArrival_;
  std::vector<Event> events_;
};

}  // namespace kinora_test

#endif  // NAO_KINORA_TEST_HARNESS_ROS_HARNESS_H
