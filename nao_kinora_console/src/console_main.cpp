// nao_kinora_console: the web console of a coaching session, and the clinic
// (patients, plans, sessions) when it has a database.
//
//   rosrun nao_kinora_console nao_kinora_console [_port:=8080] [_bind:=127.0.0.1]
//       [_token:=TOKEN] [_coach_node:=/nao_kinora] [_database:=FILE|postgresql://USER@HOST:PORT/DB]
//       [_room:=NAME]
//       [_recording_dir:=DIR] [_node_program:=FILE] [_joint_states_topic:=/joint_states] [_cue_dir:=DIR]
//       [_tls_certificate:=PEM _tls_key:=PEM]
//
// Prints the page's address on standard output once it listens, and under
// TLS the certificate's fingerprint on the next line; exits 1 when its
// parameters cannot be used, the database or the certificate is refused (one
// line naming it) or the address cannot be bound.
#include "nao_kinora_console/accounts/database_roles.h"
#include "nao_kinora_console/http/request_rules.h"
#include "nao_kinora_console/server/console_gate.h"
#include "nao_kinora_console/server/console_server.h"
#include "nao_kinora_console/session/session_launcher.h"

#include <ros/package.h>
#include <ros/ros.h>

#include <sys/stat.h>

#include <iostream>
#include <thread>

namespace
{
// Reads a private parameter of type T; false (with the reason) when it is
// set but of another type, which param() would silently replace by the default.
template <class T>
bool readParam(const ros::NodeHandle& pnh, const std::string& name, T& value, const char* type)
{
  if (!pnh.hasParam(name) || pnh.getParam(name, value))
    return true;
  ROS_ERROR("~%s must be %s", name.c_str(), type);
  return false;
}

// The clinic's store, or none with ~database:="" (the console then only
// watches). False, with the store's one line, when the file or the server is
// refused. The session logs are kept beside the file, or in the local folder
// (~/.ros/nao_kinora) when the database is a server.
bool openClinic(const ros::NodeHandle& pnh, nao_kinora_console::ConsoleOptions& options,
                std::unique_ptr<nao_kinora_console::ClinicStore>& store, std::string& database)
{
  database = nao_kinora_console::defaultDatabasePath();
  std::string room = nao_kinora_console::hostRoomName();
  if (!readParam(pnh, "database", database, "a file name or a server's address (\"\" for no records)") ||
      !readParam(pnh, "room", room, "a string") ||
      !readParam(pnh, "recording_dir", options.recordingDir, "a folder name") ||
      !readParam(pnh, "node_program", options.nodeProgram, "a file name"))
    return false;
  const std::string badRoom = nao_kinora_console::checkRoomName(room);
  if (!badRoom.empty())
  {
    ROS_ERROR("~%s", badRoom.c_str());
    return false;
  }
  if (database.empty())
    return true;
  auto opened = nao_kinora_console::ClinicStore::open(database, room);
  if (!opened.ok())
  {
    ROS_ERROR("%s", opened.error.c_str());
    return false;
  }
  std::string error;
  const std::string local = nao_kinora_console::localFileFor(database, error);
  if (!local.empty())
    options.sessionFolder = nao_kinora_console::sessionFolderFor(local, error);
  if (options.sessionFolder.empty())
  {
    ROS_ERROR("%s", error.c_str());
    return false;
  }
  if (options.nodeProgram.empty())
    options.nodeProgram = nao_kinora_console::defaultNodeProgram();
  store = std::move(opened.value);
  return true;
}

// TLS wherever other machines can reach the console, and on loopback too when
// a certificate is given. False, with the certificate's one line, when it is refused.
bool takeCertificate(const ros::NodeHandle& pnh, nao_kinora_console::ConsoleOptions& options,
                     const std::string& database)
{
  std::string certificate, key;
  if (!readParam(pnh, "tls_certificate", certificate, "a file name") || !readParam(pnh, "tls_key", key, "a file name"))
    return false;
  if (certificate.empty() && key.empty() && nao_kinora_console::isLoopbackAddress(options.bind))
    return true;
  auto taken = nao_kinora_console::consoleCertificate(certificate, key, database, options.bind);
  if (!taken.ok())
  {
    ROS_ERROR("%s", taken.message.c_str());
    return false;
  }
  if (!taken.note.empty())
    ROS_WARN("%s", taken.note.c_str());
  options.certificate = std::make_shared<nao_kinora_console::ServerCertificate>(std::move(taken.certificate));
  return true;
}

// Accounts and the audit trail on the clinic's database. Off loopback with
// no account yet, the shared token over HTTPS still lets in (as before
// accounts existed), with a warning: refusing to start would leave a clinic
// that upgrades without its console until someone makes an admin.
bool openGate(const ros::NodeHandle& pnh, const std::string& room, const std::string& database, const std::string& bind,
              nao_kinora_console::Console& console)
{
  double idleMinutes = 30;
  if (!readParam(pnh, "login_idle_minutes", idleMinutes, "a number"))
    return false;
  if (database.empty())
    return true;
  if (idleMinutes <= 0)
  {
    ROS_ERROR("~login_idle_minutes must be above 0");
    return false;
  }
  nao_kinora_console::SqlError error;
  auto accounts = nao_kinora_console::openConnection(database, false, error);
  auto trail = accounts ? nao_kinora_console::openConnection(database, false, error) : nullptr;
  if (!trail)
  {
    ROS_ERROR("accounts: %s", error.message.c_str());
    return false;
  }
  // A clinic whose console owns its tables keeps working, told once.
  const std::string unprotected = nao_kinora_console::trailProtection(*trail);
  if (!unprotected.empty())
    ROS_WARN("%s", unprotected.c_str());
  std::unique_ptr<nao_kinora_console::ConsoleGate> gate(
      new nao_kinora_console::ConsoleGate(std::move(accounts), std::move(trail), room, idleMinutes * 60));
  if (!gate->accountsOn() && !nao_kinora_console::isLoopbackAddress(bind))
    ROS_WARN(
        "no accounts yet: anyone with the access link can use this console and the audit trail names no one; "
        "make an admin with: rosrun nao_kinora_console nao_kinora_console_admin add NAME --admin");
  console.useGate(std::move(gate));
  return true;
}

// Whether the database holds an account (then a login lets in, not a token).
bool hasAccounts(const std::string& database)
{
  if (database.empty())
    return false;
  nao_kinora_console::SqlError error;
  auto db = nao_kinora_console::openConnection(database, false, error);
  if (!db)
    return false;
  nao_kinora_console::AccountStore accounts(*db, nao_kinora_console::wallNow);
  const auto n = accounts.accountCount();
  return n.ok() && n.value > 0;
}

// The 3D view's files: three.js and its URDF loader as scripts/setup.sh
// installs them from viewer/package-lock.json (the install rule keeps the
// same layout), and the robot's model from its own package; and the tablet
// camera's pose model.
std::vector<nao_kinora_console::StaticFolder> viewFolders(const std::string& package, const std::string& description)
{
  const std::string modules = package + "/viewer/node_modules/";
  std::vector<nao_kinora_console::StaticFolder> folders = {
      {"/lib/three/", modules + "three/build"},
      {"/lib/three-controls/", modules + "three/examples/jsm/controls"},
      {"/lib/urdf-loader/", modules + "urdf-loader/src"},
  };
  // The tablet camera's pose model: its script, WASM and models, installed
  // from pose/package-lock.json; nothing is fetched from elsewhere.
  folders.push_back({"/lib/pose/", package + "/pose/node_modules/@mediapipe/pose"});
  if (description.empty())
    ROS_WARN("the package nao_kinora_description is not found: the pages cannot show the robot in 3D");
  else
    folders.push_back({"/robot/", description + "/urdf"});
  return folders;
}

// The cue sounds the running page may play on the tablet's speaker: the .wav
// files of ~cue_dir, under /cues/, read only. False when the parameter is not
// a folder name; a folder that is not there is left out with a warning.
bool cueFolder(const ros::NodeHandle& pnh, std::vector<nao_kinora_console::StaticFolder>& folders)
{
  std::string dir;
  if (!readParam(pnh, "cue_dir", dir, "a folder name"))
    return false;
  if (dir.empty())
    return true;
  struct stat info;
  if (stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
    ROS_WARN("~cue_dir [%s] is not a folder: the running page cannot play the cues", dir.c_str());
  else
    folders.push_back({"/cues/", dir, ".wav"});
  return true;
}
}  // namespace

int main(int argc, char** argv)
{
  ros::init(argc, argv, "nao_kinora_console");
  ros::NodeHandle pnh("~");

  nao_kinora_console::ConsoleOptions options;
  std::unique_ptr<nao_kinora_console::ClinicStore> store;
  std::string database;
  if (!readParam(pnh, "port", options.port, "an integer") || !readParam(pnh, "bind", options.bind, "a string") ||
      !readParam(pnh, "token", options.token, "a string") || !readParam(pnh, "coach_node", options.coach, "a string") ||
      !readParam(pnh, "joint_states_topic", options.jointStatesTopic, "a string") ||
      !openClinic(pnh, options, store, database))
    return 1;
  const std::string package = ros::package::getPath("nao_kinora_console");
  options.webRoot = package + "/www";
  options.sideFolders = viewFolders(package, ros::package::getPath("nao_kinora_description"));
  if (!cueFolder(pnh, options.sideFolders))
    return 1;
  const bool accounts = hasAccounts(database);
  const std::string fault = nao_kinora_console::optionsFault(options, accounts);
  if (!fault.empty())
  {
    ROS_ERROR("%s", fault.c_str());
    return 1;
  }
  // Once the options hold: a console refused for its token makes no files.
  if (!takeCertificate(pnh, options, database))
    return 1;

  // The room the store was opened for is the one the trail names.
  const std::string room = store ? store->room() : "";
  nao_kinora_console::Console console(options, std::move(store));
  if (!openGate(pnh, room, database, options.bind, console))
    return 1;
  std::string error;
  if (!console.bind(error))
  {
    ROS_ERROR("%s", error.c_str());
    return 1;
  }
  const std::string host = options.bind.find(':') != std::string::npos ? "[" + options.bind + "]" : options.bind;
  const bool tls = !nao_kinora_console::isLoopbackAddress(options.bind);
  // With accounts the shared token lets no one in: the address is given without it.
  if (accounts && !options.token.empty())
    ROS_WARN("~token is not used: this console has accounts, and each person logs in");
  std::cout << "console: " << (tls ? "https://" : "http://") << host << ":" << console.port() << "/"
            << (options.token.empty() || accounts ? "" : "?token=" + options.token) << std::endl;
  if (options.certificate)
    std::cout << "certificate: SHA-256 " << options.certificate->fingerprint << std::endl;

  ros::AsyncSpinner spinner(1);
  spinner.start();
  std::thread http([&console] { console.serve(); });
  ros::waitForShutdown();
  console.stop();
  http.join();
  return 0;
}
