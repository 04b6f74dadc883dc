// The console: follows the coaching program's status and joint rows, and
// serves the page, its live updates (Server-Sent Events on /events) and its
// actions (POST /api/pause, /api/skip, /api/end) over HTTP.
#ifndef NAO_KINORA_CONSOLE_CONSOLE_SERVER_H
#define NAO_KINORA_CONSOLE_CONSOLE_SERVER_H

#include "nao_kinora_console/coach_client.h"

#include <nao_kinora_msgs/SessionStatus.h>
#include <ros/ros.h>
#include <std_msgs/Float32MultiArray.h>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace nao_kinora_console
{
struct ConsoleOptions
{
  std::string bind = "127.0.0.1";
  int port = 8080;           // 0: any free port (see Console::port())
  std::string token;         // empty: none, allowed on a loopback address only
  std::string coach = "/nao_kinora";  // the coaching program's node name
  std::string webRoot;       // the page's folder
};

// What is wrong with the options, or "" when they may be used.
std::string optionsFault(const ConsoleOptions& options);

class Console
{
public:
  // Subscribes to the coaching program's status and joint rows.
  explicit Console(const ConsoleOptions& options);
  ~Console();

  // Binds the port; false with the reason when it cannot.
  bool bind(std::string& error);
  int port() const { return port_; }
  // Serves requests until stop(); call after bind().
  void serve();
  // Ends the live updates and the server; serve() then returns.
  void stop();

private:
  // Where one page's live updates stand.
  struct Stream
  {
    bool started = false;
    bool statusOnce = false;
    unsigned long statusSent = 0;
    unsigned long poseSent = 0;
    std::chrono::steady_clock::time_point lastStatus;
    std::chrono::steady_clock::time_point lastPose;
  };

  void statusHandle(const nao_kinora_msgs::SessionStatus::ConstPtr& status);
  void rowHandle(const std_msgs::Float32MultiArray::ConstPtr& row);

  nlohmann::json view();
  bool pump(Stream& stream, httplib::DataSink& sink);

  httplib::Server::HandlerResponse guard(const httplib::Request& request, httplib::Response& response);
  void serveFile(const httplib::Request& request, httplib::Response& response);
  void serveEvents(httplib::Response& response);
  void serveAction(const httplib::Request& request, httplib::Response& response);

  ConsoleOptions options_;
  std::string root_;  // options_.webRoot as a real path
  int port_ = 0;
  CoachClient coach_;
  httplib::Server server_;

  ros::NodeHandle nh_;
  ros::Subscriber statusSub_;
  ros::Subscriber rowSub_;

  std::mutex mutex_;  // guards the members below, shared by the ROS and HTTP threads
  std::condition_variable changed_;
  bool stopping_ = false;
  bool haveStatus_ = false;
  nao_kinora_msgs::SessionStatus status_;
  unsigned long statusCount_ = 0;
  std::vector<double> pose_;  // the 22 joint angles of the last row
  unsigned long poseCount_ = 0;

  std::atomic<int> streams_{ 0 };
};
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_CONSOLE_SERVER_H
