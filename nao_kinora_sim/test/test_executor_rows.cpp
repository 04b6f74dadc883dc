// The motion executor given the node's recordings: it places every row it
// receives by its values and names the rows it missed, any row out of order or
// repeated, and the recording in progress after a restart. The test sends the
// rows itself, against a master of its own, so it can send them wrongly.
#include <ros/ros.h>
#include <std_msgs/Float32MultiArray.h>
#include <std_msgs/Int32.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace
{
const double kDeadline = 10.0;  // wall seconds for anything to happen
const int kRows = 10;           // rows per recording

std::string scratch;  // this process's folder

std::string readFile(const std::string& path)
{
  std::ifstream in(path.c_str());
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool waitFor(const std::function<bool()>& cond)
{
  const ros::WallTime end = ros::WallTime::now() + ros::WallDuration(kDeadline);
  while (!cond() && ros::WallTime::now() < end)
  {
    ros::spinOnce();
    ros::WallDuration(0.01).sleep();
  }
  return cond();
}

// A program with its output in files, stopped with SIGINT at the end.
class Child
{
public:
  Child(const std::string& name, std::vector<std::string> argv)
      : out_(scratch + "/" + name + ".out"), err_(scratch + "/" + name + ".err")
  {
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, STDOUT_FILENO, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&files, STDERR_FILENO, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> args;
    for (std::string& arg : argv)
      args.push_back(&arg[0]);
    args.push_back(0);
    if (posix_spawn(&pid_, args[0], &files, 0, args.data(), environ) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&files);
  }

  ~Child()
  {
    if (pid_ <= 0)
      return;
    kill(pid_, SIGINT);
    for (int tenth = 0; tenth < 100 && waitpid(pid_, 0, WNOHANG) == 0; ++tenth)
      ros::WallDuration(0.1).sleep();
    if (kill(pid_, SIGKILL) == 0)
      waitpid(pid_, 0, 0);
  }

  std::string out() const { return readFile(out_); }
  std::string err() const { return readFile(err_); }
  bool printed(const std::string& text) const { return out().find(text) != std::string::npos; }

private:
  pid_t pid_ = -1;
  std::string out_;
  std::string err_;
};

// Row k of recording r as the file holds it: column 0 tells them apart.
std::string rowLine(int r, int k)
{
  std::ostringstream line;
  line << r + k / 100.0;
  for (int j = 1; j < 22; ++j)
    line << ' ' << 0.125 * j;
  line << ' ' << 0.04 << '\n';
  return line.str();
}

void writeRecordings()
{
  for (int r = 1; r <= 2; ++r)
  {
    std::ofstream file((scratch + "/rec" + std::to_string(r) + ".txt").c_str());
    for (int k = 0; k < kRows; ++k)
      file << rowLine(r, k);
  }
}

// The joint message the node sends for that row: row 0 is held 2 s.
std_msgs::Float32MultiArray rowMessage(int r, int k)
{
  std_msgs::Float32MultiArray msg;
  std::istringstream values(rowLine(r, k));
  msg.data.push_back(1.0f);
  float value;
  while (values >> value)
    msg.data.push_back(value);
  if (k == 0)
    msg.data.back() = 2.0f;
  return msg;
}

class ExecutorRows : public ::testing::Test
{
protected:
  ExecutorRows()
  {
    rows_ = nh_.advertise<std_msgs::Float32MultiArray>("jointAngleArray", 100);
    signals_ = nh_.advertise<std_msgs::Int32>("motionStartStop", 10);
  }

  // Starts the executor with the two recordings, given in ~recordings by
  // args or set beforehand.
  void startExecutor(const std::vector<std::string>& args = {})
  {
    std::vector<std::string> argv = {std::string(SIM_BIN_DIR) + "/motion_executor", "_recording_dir:=" + scratch};
    argv.insert(argv.end(), args.begin(), args.end());
    executor_.reset(new Child("motion_executor", argv));
    ASSERT_TRUE(waitFor([&] { return rows_.getNumSubscribers() > 0 && signals_.getNumSubscribers() > 0; }));
    ASSERT_TRUE(waitFor([&] { return executor_->printed("[motion] identifying rows of 2 recording(s)"); }))
        << executor_->out() << executor_->err();
  }

  void signal(int value, const std::string& line)
  {
    std_msgs::Int32 msg;
    msg.data = value;
    signals_.publish(msg);
    ASSERT_TRUE(waitFor([&] { return executor_->printed(line); })) << executor_->out();
  }

  std::string out() const { return executor_->out(); }
  std::string err() const { return executor_->err(); }

  ros::NodeHandle nh_;
  ros::Publisher rows_;
  ros::Publisher signals_;
  std::unique_ptr<Child> executor_;
};

TEST_F(ExecutorRows, NamesMissedRowsRowsOutOfOrderAndRepeatedAndWhatWasNotReceived)
{
  // Sent in order, the rows leave no line of their own.
  // The names as a list, as a launch file's rosparam gives them.
  ros::param::set("/motion_executor/recordings", std::vector<std::string>{"rec1.txt", "rec2.txt"});
  startExecutor();
  signal(0, "[motion] recording 1: start signal\n");
  const std::string quiet = out();
  for (int k = 0; k < 3; ++k)
    rows_.publish(rowMessage(1, k));
  rows_.publish(rowMessage(1, 6));  // 3..5 missed
  rows_.publish(rowMessage(1, 4));  // out of order
  rows_.publish(rowMessage(1, 7));
  rows_.publish(rowMessage(1, 7));  // repeated
  // The last row's line tells that all have been taken before the stop signal,
  // which comes on a connection of its own.
  ASSERT_TRUE(waitFor([&] { return out().find("row 7 repeated") != std::string::npos; })) << out() << err();
  signal(1, "[motion] recording 1: over: 7 rows");

  EXPECT_EQ(quiet +
                "[motion] recording 1: missed rows 3..5 (3 rows)\n"
                "[motion] recording 1: row 4 out of order, after row 6\n"
                "[motion] recording 1: row 7 repeated\n",
            out().substr(0, out().find("[motion] recording 1: over:")))
      << out();
  EXPECT_NE(std::string::npos,
            out().find("[motion] recording 1: stop signal after row 7: rows 8..9 not received (2 rows)\n"))
      << out();
  EXPECT_NE(std::string::npos, err().find("recording 1: row 4 out of order, after row 6")) << err();
  EXPECT_NE(std::string::npos, err().find("recording 1: row 7 repeated")) << err();
  EXPECT_EQ(std::string::npos, err().find("outside a recording")) << err();
}

TEST_F(ExecutorRows, AfterARestartFindsTheRecordingInProgressByItsRows)
{
  // No start signal: as an executor started again while recording 2 plays.
  // The names in one string, as on the command line.
  startExecutor({"_recordings:=rec1.txt rec2.txt"});
  const std::string started = out();
  for (int k = 4; k < kRows; ++k)
    rows_.publish(rowMessage(2, k));
  std_msgs::Float32MultiArray stranger = rowMessage(2, 5);
  stranger.data[3] += 1.0f;
  rows_.publish(stranger);
  ASSERT_TRUE(waitFor([&] { return err().find("no row of any given recording") != std::string::npos; }))
      << out() << err();
  signal(1, "[motion] recording 2: over: 7 rows");
  EXPECT_EQ(started +
                "[motion] recording 2: identified by its rows (rec2.txt)\n"
                "[motion] recording 2: missed rows 0..3 (4 rows)\n",
            out().substr(0, out().find("[motion] recording 2: over:")))
      << out();
  EXPECT_EQ(std::string::npos, out().find("not received")) << out();
  EXPECT_EQ(std::string::npos, err().find("outside a recording")) << err();

  // The next start signal counts on from the recording found.
  signal(0, "[motion] recording 3: start signal\n");
}

int freePort()
{
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(s, reinterpret_cast<sockaddr*>(&address), length);
  getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
  close(s);
  return ntohs(address.sin_port);
}
}  // namespace

int main(int argc, char** argv)
{
  ::testing::InitGoogleTest(&argc, argv);
  if (::testing::GTEST_FLAG(list_tests))
    return RUN_ALL_TESTS();
  char folder[] = "/tmp/kinora_executor_XXXXXX";
  scratch = mkdtemp(folder);
  writeRecordings();
  const std::string port = std::to_string(freePort());
  setenv("ROS_MASTER_URI", ("http://localhost:" + port).c_str(), 1);
  setenv("ROS_HOSTNAME", "localhost", 1);
  setenv("ROS_HOME", scratch.c_str(), 1);
  setenv("ROS_LOG_DIR", scratch.c_str(), 1);

  int status = 1;
  {
    Child master("rosmaster", {"/usr/bin/rosmaster", "--core", "-p", port});
    ros::init(argc, argv, "executor_rows_test", ros::init_options::AnonymousName | ros::init_options::NoSigintHandler);
    if (waitFor([] { return ros::master::check(); }))
    {
      ros::start();
      status = RUN_ALL_TESTS();
      ros::shutdown();
    }
  }
  std::system(("rm -rf '" + scratch + "'").c_str());
  return status;
}
