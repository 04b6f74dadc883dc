// A whole session of the nine samples through the executor and the simulated
// driver, at the speeds 1 and 1.5, on a clock the test moves in lockstep
// with them: while rows play, one tick per row, so that the driver's joint
// state of each tick is where the robot stands at the end of the row before.
// Each joint there is within kArrivalTolerance of that row's angle; no joint
// state is past a joint's range, nor moved faster than the joint can turn;
// every row's commands go out in its own tick, each joint once; and the
// node's session log is the one it writes with the simulated motion executor
// (a reference session on a master of its own, at the same time, under a
// fast simulated clock).
//
// The lockstep. Between exercises the clock moves in coarse ticks of the
// harness, each held until every program has done what it set off. While rows
// play, each tick is published once this process has the row (or the stop
// signal) the node sent in the tick before, the executor's command of every
// joint for it, and word from the simulated driver that it has taken them
// (~commands_taken); so the driver starts each row's motion in the row's tick
// and no program's speed, nor the machine's load, changes what the robot does.
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
#include <sstream>

namespace
{
using kinora_test::Harness;
using kinora_test::Process;
using kinora_test::TempDir;
using nao_kinora::JointAnglesWithSpeed;

// Where a joint may be at its row's end: the fractions' levels let a joint
// arrive up to 4.4 % of the row's time late, and the samples' largest change
// in a row, at 1.5, is 0.086 rad.
const double kArrivalTolerance = 0.005;  // rad
// A state's step over a joint's maximum speed: the float of the command's fraction.
const double kSpeedSlack = 1e-6;
// Cues, signals and waits need no finer tick; the executor is given joint
// states up to 2 s old (~state_timeout), as the driver's come once a tick.
const ros::Duration kBetweenRows(1.0);
const double kWaitSeconds = 20;  // wall seconds a program has to answer a tick
const char* const kSamples[] = {"01_hands_on_waist_left.txt",
                                "02_hands_on_waist_right.txt",
                                "03_arms_to_the_side.txt",
                                "04_seated_elbows.txt",
                                "05_nao_sits.txt",
                                "06_right_knee.txt",
                                "07_left_knee.txt",
                                "08_right_wrist.txt",
                                "09_left_wrist.txt"};

struct Row
{
  ros::Time tick;  // the clock when it came
  std::vector<float> data;
};

// The fine ticks of the clock, and what the programs sent, each kept with the
// clock's time when it came.
class Lockstep
{
public:
  explicit Lockstep(ros::Time start) : now_(start), spinner_(1, &queue_)
  {
    ros::NodeHandle nh;
    nh.setCallbackQueue(&queue_);
    clockPub_ = nh.advertise<rosgraph_msgs::Clock>("/clock", 1, true);
    const ros::TransportHints fast = ros::TransportHints().tcpNoDelay();
    subs_.push_back(nh.subscribe<std_msgs::Float32MultiArray>(
        "/jointAngleArray", 1000,
        [this](const std_msgs::Float32MultiArray::ConstPtr& m) {
          keep([&] { rows.push_back({now_, m->data}); });
        },
        ros::VoidConstPtr(), fast));
    subs_.push_back(nh.subscribe<std_msgs::Int32>(
        "/motionStartStop", 10,
        [this](const std_msgs::Int32::ConstPtr& m) {
          keep([&] { signals.push_back({now_, m->data}); });
        },
        ros::VoidConstPtr(), fast));
    subs_.push_back(nh.subscribe<JointAnglesWithSpeed>(
        "/joint_angles", 1000,
        [this](const JointAnglesWithSpeed::ConstPtr& m) { keep([&] { commands.push_back(*m); }); }, ros::VoidConstPtr(),
        fast));
    subs_.push_back(nh.subscribe<sensor_msgs::JointState>(
        "/joint_states", 100,
        [this](const sensor_msgs::JointState::ConstPtr& m) { keep([&] { states.push_back(*m); }); },
        ros::VoidConstPtr(), fast));
    subs_.push_back(nh.subscribe<std_msgs::UInt32>(
        "/sim_driver/commands_taken", 1000,
        [this](const std_msgs::UInt32::ConstPtr& m) { keep([&] { taken = m->data; }); }, ros::VoidConstPtr(), fast));
    spinner_.start();
  }
  ~Lockstep() { spinner_.stop(); }

  // The time of the next tick, which the harness publishes.
  void willBe(ros::Time t)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    now_ = t;
  }
  void tick(ros::Duration d)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    now_ += d;
    rosgraph_msgs::Clock clock;
    clock.clock = now_;
    clockPub_.publish(clock);
  }
  // f's value, called under the lock.
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
  // The executor's commands, the driver's states and its word come here.
  bool connected() const
  {
    return subs_[2].getNumPublishers() > 0 && subs_[3].getNumPublishers() > 0 && subs_[4].getNumPublishers() > 0;
  }

  // Under the lock (in wait's cond), or once nothing runs any more.
  ros::Time now_;
  std::vector<Row> rows;
  std::vector<std::pair<ros::Time, int>> signals;  // the clock when it came, the signal
  std::vector<JointAnglesWithSpeed> commands;
  std::vector<sensor_msgs::JointState> states;
  uint32_t taken = 0;  // commands the driver has taken

private:
  void keep(const std::function<void()>& what)
  {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      what();
    }
    changed_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  ros::CallbackQueue queue_;
  ros::AsyncSpinner spinner_;
  ros::Publisher clockPub_;
  std::vector<ros::Subscriber> subs_;
};

int freePort()
{
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
  close(s);
  return ntohs(address.sin_port);
}

// The session with the simulated motion executor, as the demo plays it, on a
// master of its own (roslaunch starts it) under a fast simulated clock.
std::unique_ptr<Process> startReference(const TempDir& dir, const std::string& speed, const std::string& log)
{
  const std::string port = std::to_string(freePort());
  return std::unique_ptr<Process>(new Process(
      {"roslaunch", "--skip-log-check", "--no-summary", REFERENCE_LAUNCH, "speed:=" + speed, "session_log:=" + log},
      {"ROS_MASTER_URI=http://localhost:" + port, "ROS_HOME=" + dir.path(), "ROS_LOG_DIR=" + dir.path() + "log"}));
}

std::vector<nlohmann::json> withoutTimes(const std::vector<nlohmann::json>& events)
{
  std::vector<nlohmann::json> out;
  for (nlohmann::json e : events)
  {
    e.erase("time");
    out.push_back(e);
  }
  return out;
}

double percentile(std::vector<double> values, double p)
{
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[std::min(values.size() - 1, static_cast<std::size_t>(p * values.size()))];
}

// Joint names the commands stamped t give, each as often as named.
int namedAt(const std::vector<JointAnglesWithSpeed>& commands, const ros::Time& t)
{
  int named = 0;
  for (auto c = commands.rbegin(); c != commands.rend() && c->header.stamp >= t; ++c)
    if (c->header.stamp == t)
      named += static_cast<int>(c->joint_names.size());
  return named;
}

// " at T: N joints named; rows at T1 T2 T3; commands at T (joints) ...", for a failure.
std::string lastSeen(const Lockstep& clock)
{
  std::ostringstream text;
  text << " at " << clock.now_ << ": " << namedAt(clock.commands, clock.now_) << " joints named; rows at";
  for (std::size_t k = clock.rows.size() > 3 ? clock.rows.size() - 3 : 0; k < clock.rows.size(); ++k)
    text << " " << clock.rows[k].tick;
  text << "; commands at";
  for (std::size_t k = clock.commands.size() > 6 ? clock.commands.size() - 6 : 0; k < clock.commands.size(); ++k)
    text << " " << clock.commands[k].header.stamp << " (" << clock.commands[k].joint_names.size() << ")";
  return text.str();
}

// Plays the session in lockstep: a coarse tick until an exercise's row 0,
// its 2 s in one tick, then one tick per row up to its stop signal; each tick
// once the driver has published its state of the tick before.
void playInLockstep(Harness& h, Lockstep& clock, Process& node, ros::Duration rowTick)
{
  const auto stateNow = [&] { return !clock.states.empty() && clock.states.back().header.stamp == clock.now_; };
  const auto rowCount = [&] { return clock.read([&] { return clock.rows.size(); }); };
  const auto signalCount = [&] { return clock.read([&] { return clock.signals.size(); }); };
  // Every joint commanded in this tick (a row's commands, or the hold at a
  // stop signal), the commands taken by the driver, and its state of the tick.
  const auto commanded = [&](const char* what)
  {
    ASSERT_TRUE(clock.wait([&] { return namedAt(clock.commands, clock.now_) == nao_kinora::kJointCount; }))
        << what << clock.read([&] { return lastSeen(clock); });
    ASSERT_TRUE(clock.wait([&] { return clock.taken == clock.commands.size(); })) << "the driver has not taken them";
    ASSERT_TRUE(clock.wait(stateNow)) << "no state of the driver's";
  };
  // Coarse ticks are the harness's, which wait until every program has done
  // what the tick set off: the node sends row 0 in the tick it is due.
  h.setTick(kBetweenRows);
  const auto coarseUntil = [&](const std::function<bool()>& done)
  {
    const ros::Duration behind = clock.read([&] { return clock.now_; }) - h.now();
    if (behind > ros::Duration(0))
      h.jump(behind);
    while (!done())
    {
      ASSERT_TRUE(node.running()) << "the node ended early";
      clock.willBe(h.now() + kBetweenRows);
      h.advance(kBetweenRows);
      ASSERT_TRUE(clock.wait(stateNow)) << "no state of the driver's";
    }
  };
  for (int exercise = 1; exercise <= 9; ++exercise)
  {
    SCOPED_TRACE("exercise " + std::to_string(exercise));
    const std::size_t before = rowCount();
    ASSERT_NO_FATAL_FAILURE(coarseUntil([&] { return rowCount() > before; }));
    ASSERT_NO_FATAL_FAILURE(commanded("row 0's approach"));
    // Row 0's 2 s in coarse ticks too.
    ASSERT_NO_FATAL_FAILURE(coarseUntil([&] { return rowCount() > before + 1; }));
    ASSERT_NO_FATAL_FAILURE(commanded("row 1's commands"));
    // Then each tick brings a row, or after the last row the stop signal.
    for (;;)
    {
      const std::size_t rows = rowCount(), signals = signalCount();
      clock.tick(rowTick);
      ASSERT_TRUE(clock.wait([&] { return clock.rows.size() > rows || clock.signals.size() > signals; }))
          << "no row and no stop signal at " << clock.read([&] { return clock.now_; });
      const bool over = signalCount() > signals;
      ASSERT_EQ(rows + (over ? 0 : 1), rowCount()) << "rows in one tick";
      ASSERT_NO_FATAL_FAILURE(commanded(over ? "the hold at the stop signal" : "the row's commands"));
      if (over)
        break;
    }
  }
  ASSERT_NO_FATAL_FAILURE(coarseUntil([&] { return !node.running(); }));
}

class RobotSession : public ::testing::TestWithParam<const char*>
{
};

TEST_P(RobotSession, EveryJointOnItsRowsTimeNothingPastTheLimits)
{
  const std::string speedText = GetParam();
  // The row's time as the node sends it: the recorded 0.04 s divided by the speed, a float.
  const float rowSeconds = static_cast<float>(0.04f / std::stod(speedText));
  const ros::Duration rowTick(static_cast<double>(rowSeconds));

  Harness h;  // the master, ROS here, and the programs; the clock is the lockstep's
  Lockstep clock(Harness::kStartTime);
  h.record("jointAngleArray");  // for waitForPublisher: the lockstep shares its connection
  h.record("motionStartStop");
  TempDir dir;
  auto reference = startReference(dir, speedText, dir.path() + "reference.jsonl");
  auto driver = h.start(SIM_DRIVER);
  auto executor = h.start(ROBOT_EXECUTOR, {"_state_timeout:=2"});
  auto audio = h.start(SIM_BIN "/audio_player", {"_player:=none"});
  auto tracking = h.start(SIM_BIN "/tracking_node");
  ASSERT_TRUE(kinora_test::waitWallFor([&] { return clock.connected(); }, kinora_test::kConnectSeconds));
  std::vector<std::string> args = {"9"};
  args.insert(args.end(), std::begin(kSamples), std::end(kSamples));
  args.insert(args.end(), {"_recording_dir:=" SAMPLES_DIR "/", "_speed:=" + speedText, "_joint_limits:=true",
                           "_session_log:=" + dir.path() + "session.jsonl"});
  auto node = h.start(KINORA_NODE, args);
  ASSERT_TRUE(h.waitForPublisher("jointAngleArray") && h.waitForPublisher("motionStartStop"));
  playInLockstep(h, clock, *node, rowTick);
  ASSERT_FALSE(HasFatalFailure()) << kinora_test::lastLines(executor->out(), 10)
                                  << kinora_test::lastLines(executor->err(), 10);
  EXPECT_EQ(255, node->exitStatus());
  clock.willBe(h.now() + kBetweenRows);  // the driver's state after the last hold
  h.advance(kBetweenRows);
  ASSERT_TRUE(clock.wait([&] { return clock.states.back().header.stamp == clock.now_; }));
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
    if (signal.second == 0)
      continue;
    std::vector<const Row*> rows;
    for (; next < clock.rows.size() && clock.rows[next].tick < signal.first; ++next)
      rows.push_back(&clock.rows[next]);
    ASSERT_FALSE(rows.empty());
    for (std::size_t r = 0; r < rows.size(); ++r)
    {
      // A row ends when the next one comes, the last when the stop signal does.
      const ros::Time end = r + 1 < rows.size() ? rows[r + 1]->tick : signal.first;
      ASSERT_EQ(1u, stateAt.count(end)) << "no joint state at " << end;
      for (int j = 0; j < nao_kinora::kJointCount; ++j)
      {
        errors.push_back(std::fabs(stateAt[end]->position[j] - rows[r]->data[1 + j]));
        if (errors.back() > kArrivalTolerance && ++late <= 10)
          ADD_FAILURE() << "row " << r << " of the recording before the stop signal at " << signal.first << ": "
                        << nao_kinora::robotJointName(j) << " at " << stateAt[end]->position[j] << " rad at " << end
                        << ", not at the row's " << rows[r]->data[1 + j];
      }
    }
  }
  ASSERT_EQ(9u * 2, clock.signals.size());
  const double most = *std::max_element(errors.begin(), errors.end());
  std::printf("speed %s: %zu rows; each joint at its row's end off by p50 %.2g, p99 %.2g, at most %.2g rad\n",
              speedText.c_str(), clock.rows.size(), percentile(errors, 0.5), percentile(errors, 0.99), most);
  EXPECT_EQ(0, late) << "joints not within " << kArrivalTolerance << " rad of their row at its end";

  // --- No joint state past a joint's range, nor a joint faster than it can turn.
  for (std::size_t k = 0; k < clock.states.size(); ++k)
  {
    const sensor_msgs::JointState& s = clock.states[k];
    for (int j = 0; j < nao_kinora::kJointCount; ++j)
    {
      const nao_kinora::JointLimit& limit = nao_kinora::jointLimit(j);
      ASSERT_EQ(nao_kinora::robotJointName(j), s.name[j]);
      EXPECT_GE(s.position[j], limit.lower) << s.name[j] << " at " << s.header.stamp;
      EXPECT_LE(s.position[j], limit.upper) << s.name[j] << " at " << s.header.stamp;
      if (k > 0)
      {
        const sensor_msgs::JointState& before = clock.states[k - 1];
        const double dt = (s.header.stamp - before.header.stamp).toSec();
        EXPECT_LE(std::fabs(s.position[j] - before.position[j]), limit.maxSpeed * dt * (1 + kSpeedSlack) + 1e-9)
            << s.name[j] << " at " << s.header.stamp;
      }
    }
  }

  // --- Every row's commands stamped with its tick, each joint once; no fraction above 1.
  for (const JointAnglesWithSpeed& c : clock.commands)
  {
    EXPECT_GT(c.speed, 0.0f);
    EXPECT_LE(c.speed, 1.0f);
  }
  for (const Row& row : clock.rows)
    EXPECT_EQ(nao_kinora::kJointCount, namedAt(clock.commands, row.tick)) << "row at " << row.tick;
  EXPECT_FALSE(kinora_test::contains(executor->err(), "[ERROR]")) << executor->err();
  EXPECT_FALSE(kinora_test::contains(driver->err(), "[ERROR]")) << driver->err();

  // --- The node's session log, as with the simulated motion executor.
  ASSERT_TRUE(reference->waitExit(120)) << kinora_test::lastLines(reference->out(), 20);
  const auto played = withoutTimes(operator_calls::sessionLog(dir.path() + "session.jsonl"));
  const auto expected = withoutTimes(operator_calls::sessionLog(dir.path() + "reference.jsonl"));
  ASSERT_EQ(expected.size(), played.size());
  for (std::size_t k = 0; k < expected.size(); ++k)
    EXPECT_EQ(expected[k], played[k]) << "event " << k;
}

INSTANTIATE_TEST_SUITE_P(Speeds, RobotSession, ::testing::Values("1", "1.5"),
                         [](const ::testing::TestParamInfo<const char*>& info)
                         { return std::string(info.param) == "1" ? "AtSpeed1" : "AtSpeed1_5"; });
}  // namespace
