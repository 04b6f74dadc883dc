// audio_player: the simulated audio node. Prints every cue named on
// "talkerfilename" with its ROS time and, when ~sound_dir names a folder of
// cue sounds and the machine has an audio output, plays the file there without
// waiting for it to end.
//
// Parameters: ~sound_dir (default "": print only), ~player ("auto" picks
// paplay when a sound server runs, else aplay when a sound card exists;
// "none" never plays; any other value is the program to play with).
#include <nao_kinora/parameters.h>
#include <ros/ros.h>
#include <std_msgs/String.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <string>

extern char** environ;

namespace
{
const char* const kAutoPlayer = "auto";
const char* const kNoPlayer = "none";

bool fileExists(const std::string& path)
{
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

bool onPath(const std::string& program)
{
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path ? path : "");
  std::string dir;
  while (std::getline(dirs, dir, ':'))
    if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0)
      return true;
  return false;
}

bool soundServerRuns()
{
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  return std::getenv("PULSE_SERVER") || (runtime && fileExists(std::string(runtime) + "/pulse/native"));
}

bool soundCardExists()
{
  std::ifstream cards("/proc/asound/cards");
  std::string first;
  return std::getline(cards, first) && first.find("no soundcards") == std::string::npos;
}

// The program that plays a .wav on this machine, or "" when it has no audio output.
std::string choosePlayer(const std::string& wanted)
{
  if (wanted == kNoPlayer)
    return "";
  if (wanted != kAutoPlayer)
    return wanted;
  if (soundServerRuns() && onPath("paplay"))
    return "paplay";
  if (soundCardExists() && onPath("aplay"))
    return "aplay";
  return "";
}

class AudioPlayer
{
public:
  AudioPlayer()
  {
    std::string wanted = kAutoPlayer;
    ok_ = nao_kinora::readTextParam("sound_dir", soundDir_) && nao_kinora::readTextParam("player", wanted);
    if (!ok_)
      return;
    if (!soundDir_.empty())
      player_ = choosePlayer(wanted);

    cueSub_ = nh_.subscribe("talkerfilename", 10, &AudioPlayer::cueHandle, this);
    // Each cue is printed with its ROS time: under a simulated clock the
    // player says it is ready only once the first /clock has come, so no cue
    // it takes then reads 0.
    ros::Time::waitForValid();
    describe();
  }

  ~AudioPlayer()
  {
    // Nothing may outlive the session: a cue still sounding is cut off.
    for (pid_t pid : playing_)
      kill(pid, SIGTERM);
    for (pid_t pid : playing_)
      waitpid(pid, 0, 0);
  }

  // False when a parameter was refused: the program then ends with status 1.
  bool ok() const { return ok_; }

private:
  void describe() const
  {
    if (soundDir_.empty())
      std::cout << "[audio] no sound folder given: cues are printed only" << std::endl;
    else if (player_.empty())
      std::cout << "[audio] no audio output found: cues are printed only" << std::endl;
    else
      std::cout << "[audio] playing cues from " << soundDir_ << " with " << player_ << std::endl;
  }

  void cueHandle(const std_msgs::String::ConstPtr& msg)
  {
    const ros::Time now = ros::Time::now();
    if (first_.isZero())
      first_ = now;
    char line[160];
    std::snprintf(line, sizeof line, "[audio] %+9.3f s  cue %-20s (ROS time %.3f)", (now - first_).toSec(),
                  msg->data.c_str(), now.toSec());
    std::cout << line << std::endl;
    reapFinished();
    if (!player_.empty())
      play(soundDir_ + "/" + msg->data);
  }

  void play(const std::string& path)
  {
    if (!fileExists(path))
    {
      if (missing_.insert(path).second)
        ROS_WARN("no sound file [%s]: the cue is printed only", path.c_str());
      return;
    }
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
      posix_spawn_file_actions_addopen(&quiet, fd, "/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0);
    const char* argv[] = {player_.c_str(), path.c_str(), 0};
    pid_t pid;
    if (posix_spawnp(&pid, player_.c_str(), &quiet, 0, const_cast<char* const*>(argv), environ) == 0)
      playing_.insert(pid);
    else
      ROS_WARN("cannot start [%s] to play [%s]", player_.c_str(), path.c_str());
    posix_spawn_file_actions_destroy(&quiet);
  }

  void reapFinished()
  {
    for (auto it = playing_.begin(); it != playing_.end();)
      it = waitpid(*it, 0, WNOHANG) == 0 ? std::next(it) : playing_.erase(it);
  }

  ros::NodeHandle nh_;
  ros::Subscriber cueSub_;
  bool ok_ = true;
  std::string soundDir_;
  std::string player_;
  ros::Time first_;
  std::set<pid_t> playing_;
  std::set<std::string> missing_;
};
}  // namespace

int main(int argc, char** argv)
{
  ros::init(argc, argv, "audio_player");
  AudioPlayer player;
  if (!player.ok())
    return 1;
  ros::spin();
  return 0;
}
