// The console: follows the coaching program's status and joint rows, and
// serves the page, its live updates (Server-Sent Events on /events) and its
// actions (POST /api/pause, /api/skip, /api/end) over HTTP.
#ifndef NAO_KINORA_CONSOLE_CONSOLE_SERVER_H
#define NAO_KINORA_CONSOLE_CONSOLE_SERVER_H

#include "nao_kinora_console/coach_client.h"
#include "nao_kinora_console/http_session.h"
#include "nao_kinora_console/teach_desk.h"

#include <nao_kinora_msgs/SessionStatus.h>
#include <ros/ros.h>
#include <std_msgs/Float32MultiArray.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <memory>
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
  // Where "Add an exercise" saves, and where the robot's joint states come from.
  std::string recordingDir = "/home/tamsel/Desktop/dataset/jointangles/";
  std::string jointStatesTopic = "/joint_states";
};

// What is wrong with the options, or "" when they may be used.
std::string optionsFault(const ConsoleOptions& options);

// The server's work runs on one io thread (serve()) that never waits: the
// coaching program's controls are called on workers, and every connection
// has its time limits (docs/console-server.md).
class Console : private RequestHandler
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
  struct Stream;  // one page's live updates (live_updates.cpp)

  void statusHandle(const nao_kinora_msgs::SessionStatus::ConstPtr& status);
  void rowHandle(const std_msgs::Float32MultiArray::ConstPtr& row);

  nlohmann::json view();
  void accept();
  bool refuse(const Request& head, Response& answer) override;
  void handle(const std::shared_ptr<HttpSession>& session, const Request& request) override;
  Response serveFile(const Request& request);
  void serveAction(const std::shared_ptr<HttpSession>& session, const Request& request);
  Response callControl(const std::string& path, const nlohmann::json& body);
  bool sessionPlaying();

  void serveEvents(const std::shared_ptr<HttpSession>& session);
  void pump(const std::shared_ptr<Stream>& stream);
  void listen(const std::shared_ptr<Stream>& stream);
  void closeStream(const std::shared_ptr<Stream>& stream);
  void wakeStreams();

  ConsoleOptions options_;
  std::string root_;  // options_.webRoot as a real path
  int port_ = 0;
  CoachClient coach_;
  PeerLimit peers_;  // outlives the connections, which hold its places

  net::io_context io_;
  tcp::acceptor acceptor_;
  net::steady_timer acceptPause_;
  std::vector<std::weak_ptr<Stream>> streams_;  // io thread only
  std::atomic<bool> wakePending_{ false };
  net::thread_pool workers_;  // the controls' calls; joined before io_ goes

  ros::NodeHandle nh_;
  ros::Subscriber statusSub_;
  ros::Subscriber rowSub_;

  std::mutex mutex_;  // guards the members below, shared by the ROS and io threads
  bool haveStatus_ = false;
  nao_kinora_msgs::SessionStatus status_;
  unsigned long statusCount_ = 0;
  std::vector<double> pose_;  // the 22 joint angles of the last row
  unsigned long poseCount_ = 0;

  TeachDesk teach_;  // after the status: it asks whether a session plays
};
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_CONSOLE_SERVER_H
