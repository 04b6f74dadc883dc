// The console: follows the coaching program's status and joint rows, and
// serves the page, its live updates (Server-Sent Events on /events) and its
// actions (POST /api/pause, /api/skip, /api/end) over HTTP, and over HTTPS
// only when other machines can reach it.
//
// The controls that stop the robot stand alone: the io thread answers the
// status and the event stream from memory and hands the controls to threads
// of their own; logins are checked from memory; password checks, the
// database and the clinic's requests each run on a bounded pool of their own
// and answer 429/503 when it is full, so none of them can hold up a Pause.
#ifndef NAO_KINORA_CONSOLE_CONSOLE_SERVER_H
#define NAO_KINORA_CONSOLE_CONSOLE_SERVER_H

#include "nao_kinora_console/http/http_session.h"
#include "nao_kinora_console/http/request_rules.h"
#include "nao_kinora_console/http/tls_certificate.h"
#include "nao_kinora_console/records/clinic_store.h"
#include "nao_kinora_console/server/bounded_pool.h"
#include "nao_kinora_console/server/login_book.h"
#include "nao_kinora_console/session/coach_client.h"
#include "nao_kinora_console/teach/teach_desk.h"

#include <nao_kinora_msgs/SessionStatus.h>
#include <ros/ros.h>
#include <std_msgs/Float32MultiArray.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace nao_kinora_console
{
struct ConsoleOptions
{
  std::string bind = "127.0.0.1";
  int port = 8080;    // 0: any free port (see Console::port())
  std::string token;  // empty: none, allowed on a loopback address only
  // TLS: on any address but a loopback one, where plain HTTP is refused
  // (without a certificate there, every request is); on a loopback address,
  // served beside plain HTTP when given.
  std::shared_ptr<const ServerCertificate> certificate;
  std::string coach = "/nao_kinora";  // the coaching program's node name
  std::string webRoot;                // the page's folder
  // Served beside it (their prefix other than "/"): the 3D view's libraries
  // and the robot's model. One that is missing is not served, and the pages
  // say that the 3D view cannot be shown.
  std::vector<StaticFolder> sideFolders;
  // The node's recording folder: where "Add an exercise" saves and the
  // clinic's library lists; where the robot's joint states come from; with a
  // database (given to the Console), the node's program and the folder of the
  // session logs it writes.
  std::string recordingDir = "/home/tamsel/Desktop/dataset/jointangles/";
  std::string jointStatesTopic = "/joint_states";
  std::string nodeProgram;
  std::string sessionFolder;
};

class ExerciseLibrary;
class ConsoleGate;
struct Visitor;
struct AuditAction;
class SessionLauncher;
class ClinicApi;
class ClinicFollower;
class PoseRelay;

// What is wrong with the options, or "" when they may be used.
// accounts: the database holds an account, so off loopback a login lets in
// and no ~token is needed.
std::string optionsFault(const ConsoleOptions& options, bool accounts = false);

// The server's work runs on one io thread (serve()) that never waits: the
// coaching program's controls are called on threads of their own, and every
// connection has its time limits (docs/console-server.md).
class Console : private RequestHandler
{
public:
  // Subscribes to the coaching program's status and joint rows. With a
  // store, serves the clinic (/api/clinic/...) and follows its sessions;
  // without, only watches.
  explicit Console(const ConsoleOptions& options, std::unique_ptr<ClinicStore> store = nullptr);
  ~Console();

  // Accounts and the audit trail, on the console's database; call before
  // serve(). Without, the shared token lets in and nothing is recorded.
  void useGate(std::unique_ptr<ConsoleGate> gate);

  // Binds the port; false with the reason when it cannot.
  bool bind(std::string& error);
  int port() const { return port_; }
  // Serves requests until stop(); call after bind().
  void serve();
  // Ends the live updates and the server; serve() then returns.
  void stop();

  // The request router without a network: refuse() then, unless refused,
  // handle(). For tests and the fuzz target; the answer comes through the
  // session, now or later, from whichever thread makes it. Called on the io
  // thread (post to executor()), as a connection calls it: what it keeps per
  // address and per stream belongs to that thread.
  RequestHandler& router() { return *this; }
  // The io thread's executor: the router is called there, as a connection
  // calls it (its state is the io thread's own).
  net::any_io_executor executor() { return io_.get_executor(); }
  // Faults the catch-alls answered with 500 (a request that threw): a
  // healthy console has none.
  unsigned long internalFaults() const { return internalFaults_; }

private:
  struct Stream;  // one page's live updates (live_updates.cpp)
  // A control sent to the coaching program that it has not confirmed yet.
  struct PendingControl
  {
    unsigned long id;
    std::string control;  // "pause", "continue", "skip", "end", "speed"
    std::string who;
    double asked;  // wall time
  };
  // What a late answer reaches: the console while it lives (answers come on
  // threads that may outlive it).
  struct LateSink
  {
    std::mutex mutex;
    Console* console = nullptr;
  };

  void statusHandle(const nao_kinora_msgs::SessionStatus::ConstPtr& status);
  void rowHandle(const std_msgs::Float32MultiArray::ConstPtr& row);

  nlohmann::json view();
  nlohmann::json about(const RequestSource& from) const;
  void accept();
  bool refuse(const RequestSource& from, const Request& head, Response& answer) override;
  bool refuseHead(const RequestSource& from, const Request& head, Response& answer);
  void handle(const std::shared_ptr<HttpSession>& session, const Request& request) override;
  void dispatch(const std::shared_ptr<HttpSession>& session, const Request& request, const Visitor& by);
  void serveAccount(const std::shared_ptr<HttpSession>& session, const Request& request, const Visitor& by);
  // Runs work on a pool, or answers 503 when the pool is full; a task that
  // throws answers 500 and the console goes on.
  void onPool(BoundedPool& pool, const std::shared_ptr<HttpSession>& session, std::function<Response()> work,
              const char* busy);
  Response internalFault(const char* where, const char* what);
  Response serveFile(const Request& request);
  void serveAction(const std::shared_ptr<HttpSession>& session, const Request& request, const Visitor& by);
  Response callControl(const std::string& path, const nlohmann::json& body, const std::string& who);
  Response release(const nlohmann::json& body, const std::string& who);
  void controlLanded(unsigned long pending, const std::string& path, const nlohmann::json& body, const std::string& who,
                     const CallOutcome& outcome);
  bool sessionPlaying();

  void startClinic();
  void serveClinic(const std::shared_ptr<HttpSession>& session, const Request& request, const Visitor& by);
  void audit(const std::string& who, const AuditAction& action);
  void recordAction(const std::string& who, const AuditAction& action, double at);
  void clinicChanged(const std::string& what);

  // The tablet camera's landmarks (POST /api/pose, console_camera.cpp).
  void servePose(const std::shared_ptr<HttpSession>& session, const Request& request);

  void serveEvents(const std::shared_ptr<HttpSession>& session, const Visitor& by);
  void pump(const std::shared_ptr<Stream>& stream);
  void listen(const std::shared_ptr<Stream>& stream);
  void closeStream(const std::shared_ptr<Stream>& stream);
  void wakeStreams();
  void loginsEnded(const std::vector<std::string>& hashes, LoginEnd why);

  ConsoleOptions options_;
  std::vector<StaticFolder> folders_;  // the page's and the side folders, as real paths
  int port_ = 0;
  CoachClient coach_;
  PeerLimit peers_;  // outlives the connections, which hold its places

  net::io_context io_;
  tcp::acceptor acceptor_;
  net::steady_timer acceptPause_;
  std::vector<std::weak_ptr<Stream>> streams_;  // io thread only
  std::atomic<bool> wakePending_{false};
  std::atomic<unsigned long> internalFaults_{0};
  // Each kind of work on threads of its own, stopped before io_ goes.
  BoundedPool controls_;   // the coaching program's controls, and Release
  BoundedPool passwords_;  // logins: a password check is slow on purpose
  BoundedPool lookups_;    // a login not held in memory, looked up
  BoundedPool records_;    // the clinic, the accounts, saving an exercise

  ros::NodeHandle nh_;
  ros::Subscriber statusSub_;
  ros::Subscriber rowSub_;

  std::mutex mutex_;  // guards the members below, shared by the ROS and io threads
  bool haveStatus_ = false;
  nao_kinora_msgs::SessionStatus status_;
  unsigned long statusCount_ = 0;
  std::chrono::steady_clock::time_point statusAt_;  // when the last status came, in wall time
  ros::Time statusRosAt_;                           // and in ROS time
  std::vector<PendingControl> pending_;
  std::shared_ptr<LateSink> lateSink_ = std::make_shared<LateSink>();
  unsigned long pendingCount_ = 0;
  std::map<std::string, int> loginsInFlight_;  // per peer address
  std::vector<double> pose_;                   // the 22 joint angles of the last row
  unsigned long poseCount_ = 0;

  TeachDesk teach_;                // after the status: it asks whether a session plays
  unsigned long clinicCount_ = 0;  // changes of the clinic's records
  std::string clinicWhat_;         // the last one's path

  // The person's pose from the tablet camera; io thread only. Advertised on
  // the first landmarks: a console without a camera offers no pose.
  std::unique_ptr<PoseRelay> poses_;
  ros::Publisher posePub_;

  std::unique_ptr<ConsoleGate> gate_;
  // Declared in the order they depend on each other: the follower goes first.
  std::unique_ptr<ClinicStore> store_;
  std::unique_ptr<ExerciseLibrary> library_;
  std::unique_ptr<SessionLauncher> launcher_;
  std::unique_ptr<ClinicApi> api_;
  std::unique_ptr<ClinicFollower> follower_;
};
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_CONSOLE_SERVER_H
