// A whole session of the nine samples through the executor and the simulated
// driver, at the speeds 1 and 1.5, on a clock the test moves in lockstep with
// them: while rows play, one tick per row, so that the driver's joint state of
// each tick is where the robot stands at the end of the row before. Each joint
// there is within kArrivalTolerance of that row's angle; no joint state is past
// a joint's range, nor moved faster than the joint can turn; every row's
// commands go out in its own tick, each joint once, none above 1; and the
// node's session log is the one it writes with the simulated motion executor
// (a reference session on a master of its own, at the same time).
//
// The lockstep. Between exercises the clock moves in the harness's coarse
// ticks, each held until every program has done what it set off. While rows
// play, each tick is published once this process has the row (or the stop
// signal) of the tick before, the executor's command of every joint for it,
// and word from the simulated driver that it has taken them
// (~commands_taken): the driver starts each row's motion in the row's tick,
// whatever the machine's load.
#include "operator_calls.h"
#include "ros_harness.h"

#include <nao_kinora/joint_angles_with_speed.h>
#include <nao_kinora/joint_limits.h>
#include <rosgraph_msgs/Clock.h>
#include <sensor_msgs/JointState.h>
#include <std_msgs/Float32MultiArray.h>
#include <std_msgs/Int32.h>
#include <std_msgs/UInt32.h>

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <map>

namespace
{
using kinora_test::Harness;
using kinora_test::Process;
using nao_kinora::JointAnglesWithSpeed;

// The fractions' levels let a joint arrive up to 4.4 % of the row's time
// late; the samples' largest change in a row, at 1.5, is 0.086 rad.
const double kArrivalTolerance = 0.005;  // rad
const double kSpeedSlack = 1e-6;         // the float of a command's fraction
// Between exercises; the executor is given joint states up to 2 s old, as the
// driver's come once a tick.
const ros::Duration kBetweenRows(1.0);
const double kWaitSeconds = 20;  // wall seconds the programs have to answer a tick
const int kJoints = nao_kinora::kJointCount;

struct Row
{
  ros::Time tick;  // the clock when it came
  std::vector<float> data;
};

// The fine ticks, and what the programs send, each kept with the clock's time.
class Lockstep
{
public:
  explicit Lockstep(ros::Time start) : now(start), spinner_(1, &queue_)
  {
    ros::NodeHandle nh;
    nh.setCallbackQueue(&queue_);
    clockPub_ = nh.advertise<rosgraph_msgs::Clock>("/clock", 1, true);
    keep<std_msgs::Float32MultiArray>(nh, "/jointAngleArray", [this](auto m) { rows.push_back({now, m->data}); });
    keep<std_msgs::Int32>(nh, "/motionStartStop", [this](auto m) { signals.push_back({now, m->data}); });
    keep<JointAnglesWithSpeed>(nh, "/joint_angles", [this](auto m) { commands.push_back(*m); });
    keep<sensor_msgs::JointState>(nh, "/joint_states", [this](auto m) { states.push_back(*m); });
    keep<std_msgs::UInt32>(nh, "/sim_driver/commands_taken", [this](auto m) { taken = m->data; });
    spinner_.start();
  }
  ~Lockstep() { spinner_.stop(); }

  // The time of the next tick, which the harness publishes.
  void willBe(ros::Time t)
  {
    read([&] { return now = t; });
  }
  void tick(ros::Duration d)
  {
    read([&] { return now += d; });
    rosgraph_msgs::Clock clock;
    clock.clock = read([&] { return now; });
    clockPub_.publish(clock);
  }
  template <class F>
  auto read(F f) -> decltype(f())
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return f();
  }
  // Waits in wall time until cond, called under the lock, holds.
  bool wait(const std::function<bool()>& cond)
  {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(kWaitSeconds), cond);
  }
  bool connected() const
  {
    for (const ros::Subscriber& sub : subs_)
      if (sub.getTopic() != "/jointAngleArray" && sub.getTopic() != "/motionStartStop" && !sub.getNumPublishers())
        return false;
    return true;
  }

  // Under the lock (in wait's and read's functions), or once nothing runs any more.
  ros::Time now;
  std::vector<Row> rows;
  std::vector<std::pair<ros::Time, int>> signals;  // the clock when it came, the signal
  std::vector<JointAnglesWithSpeed> commands;
  std::vector<sensor_msgs::JointState> states;
  uint32_t taken = 0;  // commands the driver has taken

private:
  template <class M, class F>
  void keep(ros::NodeHandle& nh, const std::string& topic, F f)
  {
    subs_.push_back(nh.subscribe<M>(
        topic, 1000,
        [this, f](const typename M::ConstPtr& m)
        {
          read([&] { return f(m), 0; });
          changed_.notify_all();
        },
        ros::VoidConstPtr(), ros::TransportHints().tcpNoDelay()));
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  ros::CallbackQueue queue_;
  ros::AsyncSpinner spinner_;
  ros::Publisher clockPub_;
  std::vector<ros::Subscriber> subs_;
};

// Joint names in the commands stamped t, each as often as named.
int namedAt(const std::vector<JointAnglesWithSpeed>& commands, const ros::Time& t)
{
  int named = 0;
  for (auto c = commands.rbegin(); c != commands.rend() && c->header.stamp >= t; ++c)
    named += c->header.stamp == t ? static_cast<int>(c->joint_names.size()) : 0;
  return named;
}

// Coarse ticks until an exercise's row 0, its 2 s too, then one tick per row
// up to its stop signal.
void playInLockstep(Harness& h, Lockstep& clock, Process& node, ros::Duration rowTick)
{
  const auto count = [&](const auto& list) { return clock.read([&] { return list.size(); }); };
  // Every joint commanded in this tick (a row's commands, or the hold at a stop
  // signal), taken by the driver, and its state of the tick published.
  const auto commanded = [&](const char* what)
  {
    ASSERT_TRUE(clock.wait([&] { return namedAt(clock.commands, clock.now) == kJoints; }))
        << what << " at " << count(clock.rows) << " rows";
    ASSERT_TRUE(clock.wait([&] { return clock.taken == clock.commands.size(); })) << "the driver's word";
    ASSERT_TRUE(clock.wait([&] { return !clock.states.empty() && clock.states.back().header.stamp == clock.now; }));
  };
  h.setTick(kBetweenRows);
  const auto coarseUntil = [&](const std::function<bool()>& done)
  {
    const ros::Duration behind = clock.read([&] { return clock.now; }) - h.now();
    if (behind > ros::Duration(0))
      h.jump(behind);
    while (!done())
    {
      ASSERT_TRUE(node.running()) << "the node ended early";
      clock.willBe(h.now() + kBetweenRows);
      h.advance(kBetweenRows);
      ASSERT_TRUE(clock.wait([&] { return !clock.states.empty() && clock.states.back().header.stamp == clock.now; }));
    }
  };
  for (int exercise = 1; exercise <= 9; ++exercise)
  {
    SCOPED_TRACE("exercise " + std::to_string(exercise));
    const std::size_t before = count(clock.rows);
    ASSERT_NO_FATAL_FAILURE(coarseUntil([&] { return count(clock.rows) > before; }));
    ASSERT_NO_FATAL_FAILURE(commanded("row 0's approach"));
    ASSERT_NO_FATAL_FAILURE(coarseUntil([&] { return count(clock.rows) > before + 1; }));
    ASSERT_NO_FATAL_FAILURE(commanded("row 1's commands"));
    for (;;)
    {
      const std::size_t rows = count(clock.rows), signals = count(clock.signals);
      clock.tick(rowTick);
      ASSERT_TRUE(clock.wait([&] { return clock.rows.size() > rows || clock.signals.size() > signals; }))
          << "no row and no stop signal after " << rows << " rows";
      const bool over = count(clock.signals) > signals;
      ASSERT_EQ(rows + (over ? 0 : 1), count(clock.rows)) << "rows in one tick";
      ASSERT_NO_FATAL_FAILURE(commanded(over ? "the hold at the stop signal" : "the row's commands"));
      if (over)
        break;
    }
  }
  ASSERT_NO_FATAL_FAILURE(coarseUntil([&] { return !node.running(); }));
}

// The session with the simulated motion executor, as the demo plays it, on a
// master of its own that roslaunch starts on a free port.
std::unique_ptr<Process> startReference(const std::string& dir, const std::string& speed)
{
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
  close(s);
  return std::unique_ptr<Process>(
      // In the workspace's environment, whatever the shell that runs the tests
      // sourced: roslaunch finds the packages and their programs through it.
      new Process({"bash", "-c",
                   "source " DEVEL_SETUP " && exec roslaunch --skip-log-check --no-summary " REFERENCE_LAUNCH
                   " speed:=" + speed + " session_log:=" + dir + "reference.jsonl"},
                  {"ROS_MASTER_URI=http://localhost:" + std::to_string(ntohs(address.sin_port)), "ROS_HOME=" + dir,
                   "ROS_LOG_DIR=" + dir + "log"}));
}

// The session log's events without their times.
std::vector<nlohmann::json> events(const std::string& path)
{
  std::vector<nlohmann::json> out = operator_calls::sessionLog(path);
  for (nlohmann::json& e : out)
    e.erase("time");
  return out;
}

double percentile(std::vector<double> values, double p)
{
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[std::min(values.size() - 1, static_cast<std::size_t>(p * values.size()))];
}

class RobotSession : public ::testing::TestWithParam<const char*>
{
};

TEST_P(RobotSession, EveryJointOnItsRowsTimeNothingPastTheLimits)
{
  const std::string speed = GetParam();
  // The row's time as the node sends it: the recorded 0.04 s divided by the speed, a float.
  const ros::Duration rowTick(static_cast<double>(static_cast<float>(0.04f / std::stod(speed))));

  Harness h;  // the master, ROS here, the programs, and the coarse ticks
  Lockstep clock(Harness::kStartTime);
  h.record("jointAngleArray");  // for waitForPublisher: the lockstep shares its connection
  h.record("motionStartStop");
  kinora_test::TempDir dir;
  auto reference = startReference(dir.path(), speed);
  auto driver = h.start(SIM_DRIVER);
  auto executor = h.start(ROBOT_EXECUTOR, {"_state_timeout:=2"});
  auto audio = h.start(SIM_BIN "/audio_player", {"_player:=none"});
  auto tracking = h.start(SIM_BIN "/tracking_node");
  ASSERT_TRUE(kinora_test::waitWallFor([&] { return clock.connected(); }, kinora_test::kConnectSeconds));
  auto node = h.start(
      KINORA_NODE, {"9", "01_hands_on_waist_left.txt", "02_hands_on_waist_right.txt", "03_arms_to_the_side.txt",
                    "04_seated_elbows.txt", "05_nao_sits.txt", "06_right_knee.txt", "07_left_knee.txt",
                    "08_right_wrist.txt", "09_left_wrist.txt", "_recording_dir:=" SAMPLES_DIR "/", "_speed:=" + speed,
                    "_joint_limits:=true", "_session_log:=" + dir.path() + "session.jsonl"});
  ASSERT_TRUE(h.waitForPublisher("jointAngleArray") && h.waitForPublisher("motionStartStop"));
  playInLockstep(h, clock, *node, rowTick);
  ASSERT_FALSE(HasFatalFailure()) << kinora_test::lastLines(executor->err(), 10);
  EXPECT_EQ(255, node->exitStatus());
  driver->interrupt();
  executor->interrupt();
  ASSERT_TRUE(driver->waitExit(10) && executor->waitExit(10));  // nothing comes any more

  // --- The robot at each row's end: the driver's state of the tick that ends the row.
  std::map<ros::Time, const sensor_msgs::JointState*> stateAt;
  for (const sensor_msgs::JointState& s : clock.states)
    stateAt[s.header.stamp] = &s;
  std::vector<double> errors;
  int late = 0;  // joints not at their row at its end: the first ten are named
  std::size_t next = 0;
  for (const auto& signal : clock.signals)
  {
    std::vector<const Row*> rows;
    for (; signal.second == 1 && next < clock.rows.size() && clock.rows[next].tick < signal.first; ++next)
      rows.push_back(&clock.rows[next]);
    for (std::size_t r = 0; r < rows.size(); ++r)
    {
      // A row ends when the next one comes, the last when the stop signal does.
      const ros::Time end = r + 1 < rows.size() ? rows[r + 1]->tick : signal.first;
      ASSERT_EQ(1u, stateAt.count(end)) << "no joint state at " << end;
      for (int j = 0; j < kJoints; ++j)
      {
        errors.push_back(std::fabs(stateAt[end]->position[j] - rows[r]->data[1 + j]));
        if (errors.back() > kArrivalTolerance && ++late <= 10)
          ADD_FAILURE() << nao_kinora::robotJointName(j) << " at " << stateAt[end]->position[j] << " rad at " << end
                        << ", the end of the row that came at " << rows[r]->tick << ", not at its "
                        << rows[r]->data[1 + j];
      }
    }
  }
  ASSERT_EQ(6190u * kJoints, errors.size());  // every row of the nine
  std::printf("speed %s: each joint at its row's end off by p50 %.2g, p99 %.2g, at most %.2g rad\n", speed.c_str(),
              percentile(errors, 0.5), percentile(errors, 0.99), percentile(errors, 1));

  // --- No joint state past a joint's range, nor a joint faster than it can turn.
  for (std::size_t k = 0; k < clock.states.size(); ++k)
    for (int j = 0; j < kJoints; ++j)
    {
      const sensor_msgs::JointState& s = clock.states[k];
      const nao_kinora::JointLimit& limit = nao_kinora::jointLimit(j);
      ASSERT_EQ(nao_kinora::robotJointName(j), s.name[j]);
      EXPECT_TRUE(s.position[j] >= limit.lower && s.position[j] <= limit.upper)
          << s.name[j] << " at " << s.header.stamp;
      if (k > 0)
      {
        EXPECT_LE(
            std::fabs(s.position[j] - clock.states[k - 1].position[j]),
            limit.maxSpeed * (s.header.stamp - clock.states[k - 1].header.stamp).toSec() * (1 + kSpeedSlack) + 1e-9)
            << s.name[j] << " at " << s.header.stamp;
      }
    }

  // --- Every row's commands in its own tick, each joint once, no fraction above 1.
  for (const JointAnglesWithSpeed& c : clock.commands)
    EXPECT_TRUE(c.speed > 0.0f && c.speed <= 1.0f) << c.speed;
  for (const Row& row : clock.rows)
    EXPECT_EQ(kJoints, namedAt(clock.commands, row.tick)) << "row at " << row.tick;
  EXPECT_FALSE(kinora_test::contains(executor->err(), "[ERROR]")) << executor->err();
  EXPECT_FALSE(kinora_test::contains(driver->err(), "[ERROR]")) << driver->err();

  // --- The node's session log, as with the simulated motion executor.
  ASSERT_TRUE(reference->waitExit(120)) << kinora_test::lastLines(reference->out(), 20);
  EXPECT_EQ(events(dir.path() + "reference.jsonl"), events(dir.path() + "session.jsonl"))
      << "the reference session: " << kinora_test::lastLines(reference->out() + reference->err(), 20);
}

INSTANTIATE_TEST_SUITE_P(Speeds, RobotSession, ::testing::Values("1", "1.5"),
                         [](const ::testing::TestParamInfo<const char*>& info)
                         { return std::string(info.param) == "1" ? "AtSpeed1" : "AtSpeed1_5"; });
}  // namespace
