// Receiver for the pacing benchmark. Takes the joint messages of one playback
// (the node's, or rosbag play's) on "jointAngleArray", stamps each on arrival
// with the steady wall clock and prints how far the arrivals lie from the ideal
// schedule: row 0's arrival plus the durations (value 23) of the rows before.
// It also subscribes to "motionStartStop" and "talkerfilename", so that a node
// under test finds its peers. Given the node's pid, it then measures the node's
// CPU use over 10 s of waiting for the tracking node, once the motion is over.
// With KINORA_BENCH_ROWS=FILE it also writes each row's arrival and error there.
//
//   kinora_pacing_receiver LABEL ROWS [NODE_PID]
#include <ros/callback_queue.h>
#include <ros/ros.h>
#include <std_msgs/Float32MultiArray.h>
#include <std_msgs/Int32.h>
#include <std_msgs/String.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{
typedef std::chrono::steady_clock Clock;

const std::size_t kDurationIndex = 23;
const std::size_t kJointMessageSize = 24;
const int kMotionOver = 1;
const double kCpuWindowSeconds = 10.0;
const double kSettleSeconds = 0.5;  // lets the report's publishing pass before measuring
const std::chrono::seconds kGiveUp(300);

struct Arrival
{
  Clock::time_point at;
  double duration;
};

std::vector<Arrival> arrivals;
bool motionOver = false;
bool badMessage = false;

void onJoints(const std_msgs::Float32MultiArray::ConstPtr& msg)
{
  const Clock::time_point at = Clock::now();
  if (msg->data.size() != kJointMessageSize)
  {
    badMessage = true;
    return;
  }
  arrivals.push_back({at, msg->data[kDurationIndex]});
}

void onMotionState(const std_msgs::Int32::ConstPtr& msg)
{
  motionOver = msg->data == kMotionOver;
}

void onCue(const std_msgs::String::ConstPtr&) {}

double seconds(Clock::duration d)
{
  return std::chrono::duration<double>(d).count();
}

// Arrival minus ideal time for rows 1 .. n-1, in seconds.
std::vector<double> scheduleErrors()
{
  std::vector<double> errors;
  double ideal = 0;
  for (std::size_t k = 1; k < arrivals.size(); ++k)
  {
    ideal += arrivals[k - 1].duration;
    errors.push_back(seconds(arrivals[k].at - arrivals[0].at) - ideal);
  }
  return errors;
}

double quantile(std::vector<double> sorted, double q)
{
  const std::size_t index = static_cast<std::size_t>(std::ceil(q * sorted.size())) - 1;
  return sorted[std::min(index, sorted.size() - 1)];
}

void printPacing(const std::string& label)
{
  const std::vector<double> errors = scheduleErrors();
  std::vector<double> magnitudes;
  for (double e : errors)
    magnitudes.push_back(std::fabs(e));
  const std::size_t worstRow = std::max_element(magnitudes.begin(), magnitudes.end()) - magnitudes.begin() + 1;
  std::sort(magnitudes.begin(), magnitudes.end());
  const double ms = 1e3;
  std::printf(
      "%-12s rows %zu  drift %+.3f ms  |error| median %.3f ms  p99 %.3f ms  max %.3f ms (row %zu)  "
      "span %.3f s\n",
      label.c_str(), arrivals.size(), errors.back() * ms, quantile(magnitudes, 0.5) * ms,
      quantile(magnitudes, 0.99) * ms, magnitudes.back() * ms, worstRow,
      seconds(arrivals.back().at - arrivals.front().at));
  // The same errors about their median: row 0 is the errors' origin, and a
  // row 0 that arrived late or early shifts every other row's error by as
  // much; this line shows the rows' scatter without that shift.
  std::vector<double> sorted = errors;
  std::sort(sorted.begin(), sorted.end());
  const double middle = quantile(sorted, 0.5);
  std::vector<double> scatter;
  for (double e : errors)
    scatter.push_back(std::fabs(e - middle));
  std::sort(scatter.begin(), scatter.end());
  std::printf("%-12s about the median error (%+.3f ms): spread p99 %.3f ms  max %.3f ms\n", label.c_str(), middle * ms,
              quantile(scatter, 0.99) * ms, scatter.back() * ms);
  // Each row's arrival on the steady clock and its error, for a closer look
  // at where the tail falls (run_benchmarks.sh --rows DIR).
  const char* rowsFile = std::getenv("KINORA_BENCH_ROWS");
  if (rowsFile && *rowsFile)
  {
    std::ofstream out(rowsFile);
    for (std::size_t k = 1; k < arrivals.size(); ++k)
      out << std::fixed << seconds(arrivals[k].at.time_since_epoch()) << " " << errors[k - 1] * ms << "\n";
  }
  // Both receivers share the steady clock: the script compares the players'
  // phases, since rows of the two players due together compete for the cores.
  std::printf("%-12s row 0 at steady %.6f s\n", label.c_str(), seconds(arrivals.front().at.time_since_epoch()));
}

// utime + stime of a process, in seconds.
double cpuSeconds(pid_t pid)
{
  std::ifstream stat(("/proc/" + std::to_string(pid) + "/stat").c_str());
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // Fields after the command name, which is in parentheses and may hold blanks.
  std::istringstream rest(text.substr(text.rfind(')') + 2));
  std::string field;
  const int kUtimeField = 11;  // 14th field of the line, 12th after the name
  for (int k = 0; k < kUtimeField; ++k)
    rest >> field;
  unsigned long long utime = 0, stime = 0;
  rest >> utime >> stime;
  return static_cast<double>(utime + stime) / sysconf(_SC_CLK_TCK);
}

void printIdleCpu(pid_t pid)
{
  ros::WallDuration(kSettleSeconds).sleep();
  const double before = cpuSeconds(pid);
  const Clock::time_point start = Clock::now();
  ros::WallDuration(kCpuWindowSeconds).sleep();
  const double used = cpuSeconds(pid) - before;
  const double window = seconds(Clock::now() - start);
  std::printf("node waiting for tracking: CPU %.3f s over %.1f s wall = %.2f %% of one core\n", used, window,
              100.0 * used / window);
}

// Serves callbacks until cond holds; false on shutdown or once giveUp has passed.
template <typename Cond>
bool spinUntil(Cond cond, Clock::time_point giveUp)
{
  while (ros::ok() && !cond())
  {
    if (Clock::now() > giveUp)
      return false;
    ros::getGlobalCallbackQueue()->callAvailable(ros::WallDuration(0.1));
  }
  return cond();
}
}  // namespace

int main(int argc, char** argv)
{
  ros::init(argc, argv, "pacing_receiver", ros::init_options::AnonymousName);
  if (argc < 3)
  {
    std::fprintf(stderr, "usage: %s LABEL ROWS [NODE_PID]\n", argv[0]);
    return 2;
  }
  const std::string label = argv[1];
  const std::size_t rows = std::strtoul(argv[2], 0, 10);
  const pid_t node = argc > 3 ? static_cast<pid_t>(std::atol(argv[3])) : 0;

  ros::NodeHandle nh;
  const ros::TransportHints fast = ros::TransportHints().tcpNoDelay();
  ros::Subscriber joints = nh.subscribe("jointAngleArray", rows, onJoints, fast);
  ros::Subscriber state = nh.subscribe("motionStartStop", 1, onMotionState, fast);
  ros::Subscriber cues = nh.subscribe("talkerfilename", 1, onCue, fast);

  const Clock::time_point giveUp = Clock::now() + kGiveUp;
  if (!spinUntil([rows] { return arrivals.size() >= rows || badMessage; }, giveUp) || badMessage)
  {
    std::fprintf(stderr, "%s: got %zu of %zu joint messages%s\n", label.c_str(), arrivals.size(), rows,
                 badMessage ? ", one not of 24 values" : "");
    return 1;
  }
  printPacing(label);
  if (node == 0)
    return 0;
  if (!spinUntil([] { return motionOver; }, giveUp))
  {
    std::fprintf(stderr, "%s: the node never reported the motion over\n", label.c_str());
    return 1;
  }
  printIdleCpu(node);
  return 0;
}
