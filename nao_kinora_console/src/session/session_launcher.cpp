#include "nao_kinora_console/session/session_launcher.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace nao_kinora_console
{
namespace
{
std::string number(double value)
{
  std::ostringstream text;
  text.imbue(std::locale::classic());
  text << value;
  return text.str();
}

// After fork only async-signal-safe calls: everything is prepared before.
void closeInherited()
{
  // The console's port and database must not stay open in the node.
  for (int fd = 3; fd < 4096; ++fd)
    close(fd);
}

void writeAll(int fd, const char* text, std::size_t length)
{
  while (length > 0)
  {
    const ssize_t n = write(fd, text, length);
    if (n <= 0)
      return;
    text += n;
    length -= static_cast<std::size_t>(n);
  }
}

// The node's pid as text, for the file beside its exit file (no snprintf
// after fork).
void writePid(const std::string& path, pid_t pid)
{
  char text[24];
  int at = sizeof text;
  text[--at] = '\n';
  do
    text[--at] = static_cast<char>('0' + pid % 10);
  while ((pid /= 10) > 0);
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd >= 0)
  {
    writeAll(fd, text + at, sizeof text - at);
    close(fd);
  }
}

// Colour codes rosconsole puts around a line: not the node's words.
std::string withoutColour(const std::string& line)
{
  std::string out;
  for (std::size_t k = 0; k < line.size(); ++k)
  {
    if (line[k] == '\x1b' && k + 1 < line.size() && line[k + 1] == '[')
    {
      k = line.find('m', k);
      if (k == std::string::npos)
        break;
      continue;
    }
    out += line[k];
  }
  return out;
}

// The keeper: waits for the node, then writes "exit N" or "signal N" to a
// new file renamed into place, so a reader sees all of it or nothing.
[[noreturn]] void keep(pid_t node, const std::string& tmp, const std::string& done)
{
  int status = 0;
  while (waitpid(node, &status, 0) < 0 && errno == EINTR)
  {
  }
  char text[32];
  const int length = WIFEXITED(status) ? std::snprintf(text, sizeof text, "exit %d\n", WEXITSTATUS(status))
                                       : std::snprintf(text, sizeof text, "signal %d\n", WTERMSIG(status));
  const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd >= 0)
  {
    writeAll(fd, text, static_cast<std::size_t>(length));
    fsync(fd);
    close(fd);
    rename(tmp.c_str(), done.c_str());
  }
  _exit(0);
}
struct KeeperFiles
{
  std::string err, tmp, done, pid, cannot;
};

// In the keeper, after fork: leaves the console's session, starts the node
// in a session of its own, and waits for it.
[[noreturn]] void runKeeper(char* const* argv, const KeeperFiles& files)
{
  setsid();
  closeInherited();
  // The console's threads may block signals or ignore SIGPIPE: the node starts clean.
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGPIPE, SIG_DFL);
  const pid_t node = fork();
  if (node == 0)
  {
    setsid();  // its own process group and session: nothing sent to the keeper's reaches it
    const int in = open("/dev/null", O_RDWR);
    const int errFd = open(files.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(in, 0);
    dup2(in, 1);
    dup2(errFd >= 0 ? errFd : in, 2);
    execv(argv[0], argv);
    writeAll(2, files.cannot.c_str(), files.cannot.size());
    _exit(127);
  }
  if (node < 0)
    _exit(1);
  writePid(files.pid, node);
  keep(node, files.tmp, files.done);
}
}  // namespace

std::string defaultNodeProgram()
{
  const char* prefixes = std::getenv("CMAKE_PREFIX_PATH");
  std::istringstream list(prefixes ? prefixes : "");
  for (std::string prefix; std::getline(list, prefix, ':');)
  {
    const std::string program = prefix + "/lib/nao_kinora/nao_kinora";
    if (!prefix.empty() && access(program.c_str(), X_OK) == 0)
      return program;
  }
  return "";
}

std::string sessionFolderFor(const std::string& database, std::string& error)
{
  const std::size_t slash = database.rfind('/');
  const std::string folder = (slash == std::string::npos ? "." : database.substr(0, slash)) + "/sessions";
  struct stat st;
  if (mkdir(folder.c_str(), 0700) != 0 && !(stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode)))
  {
    error = "session logs: cannot make the folder [" + folder + "]";
    return "";
  }
  return folder;
}

std::vector<std::string> nodeCommandLine(const std::string& program, const LaunchPlan& plan)
{
  std::vector<std::string> argv{program, std::to_string(plan.items.size())};
  argv.insert(argv.end(), plan.items.begin(), plan.items.end());
  argv.push_back("_recording_dir:=" + plan.recordingDir);
  argv.push_back("_session_log:=" + plan.sessionLog);
  argv.push_back("_joint_limits:=true");  // beside a patient, nothing the robot cannot do
  // Always given: a private parameter typed on a command line stays on the
  // master after the node ends, and the next session's node would read the
  // last one's (a fresh session after a Resume started at its exercise 2).
  argv.push_back("_first_recording:=" + std::to_string(plan.first));
  argv.push_back("_speed:=" + number(plan.speed));
  argv.push_back("_cues:=" + plan.cues);
  return argv;
}

SessionLauncher::SessionLauncher(const std::string& program, const std::string& folder,
                                 std::function<bool()> coachRunning)
    : program_(program), folder_(folder), coachRunning_(std::move(coachRunning))
{
}

std::string sessionFileKey(const std::string& logPath)
{
  const std::size_t slash = logPath.find_last_of('/');
  std::string name = slash == std::string::npos ? logPath : logPath.substr(slash + 1);
  const std::string extension = ".jsonl";
  if (name.size() > extension.size() && name.compare(name.size() - extension.size(), extension.size(), extension) == 0)
    name.erase(name.size() - extension.size());
  return name;
}

std::string SessionLauncher::file(const std::string& key, const char* extension) const
{
  return folder_ + "/" + key + extension;
}

bool SessionLauncher::busy()
{
  reap();
  if (coachRunning_ && coachRunning_())
    return true;
  // A keeper reaped has written its exit file (which may be gone since,
  // with its session's record).
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& keeper : keepers_)
    if (keeper.second != 0 && !exitOf(keeper.first).known)
      return true;
  return false;
}

std::string SessionLauncher::launch(const std::string& key, const LaunchPlan& plan)
{
  // Everything the child processes use is made before fork.
  KeeperFiles files{file(key, ".err"), file(key, ".exit.tmp"), file(key, ".exit"), file(key, ".pid"),
                    "cannot run " + program_ + "\n"};
  const std::vector<std::string> args = nodeCommandLine(program_, plan);
  std::vector<char*> argv;
  for (const std::string& a : args)
    argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  if (access(program_.c_str(), X_OK) != 0)
    return "the coaching program " + program_ + " cannot be run";
  const std::string refused = beforeLaunch_ ? beforeLaunch_(plan) : "";
  if (!refused.empty())
    return refused;

  const pid_t keeper = fork();
  if (keeper < 0)
    return "cannot start a process (fork failed)";
  if (keeper == 0)
    runKeeper(argv.data(), files);
  std::lock_guard<std::mutex> lock(mutex_);
  keepers_[key] = keeper;
  return "";
}

NodeExit SessionLauncher::exitOf(const std::string& key) const
{
  NodeExit e;
  std::ifstream in(file(key, ".exit"));
  std::string how;
  int value = 0;
  if (!(in >> how >> value))
    return e;
  e.known = true;
  if (how == "exit")
    e.code = value;
  else
    e.signal = value;
  return e;
}

std::vector<std::string> SessionLauncher::errorLines(const std::string& key) const
{
  std::vector<std::string> lines;
  std::ifstream in(file(key, ".err"));
  for (std::string line; std::getline(in, line);)
    lines.push_back(withoutColour(line));
  return lines;
}

void SessionLauncher::reap()
{
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& keeper : keepers_)
    if (keeper.second > 0 && waitpid(keeper.second, nullptr, WNOHANG) == keeper.second)
      keeper.second = 0;  // the exit file is there now
}

pid_t SessionLauncher::nodePid(const std::string& key) const
{
  std::ifstream in(file(key, ".pid"));
  pid_t pid = 0;
  return in >> pid ? pid : 0;
}

bool SessionLauncher::launchedHere(const std::string& key) const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return keepers_.count(key) > 0;
}

void SessionLauncher::removeFiles(const std::string& key)
{
  for (const char* extension : {".exit", ".exit.tmp", ".pid", ".err"})
    unlink(file(key, extension).c_str());
  std::lock_guard<std::mutex> lock(mutex_);
  const auto keeper = keepers_.find(key);
  if (keeper != keepers_.end() && keeper->second == 0)
    keepers_.erase(keeper);
}

// A pid file names the node only while its exit file is missing and the
// process runs the node's program: a pid used again by another program, or a
// node that ended, is left alone.
std::vector<std::string> SessionLauncher::stopRunning(double graceSeconds)
{
  std::vector<std::pair<std::string, pid_t>> running;
  DIR* folder = opendir(folder_.c_str());
  for (dirent* entry = folder ? readdir(folder) : nullptr; entry; entry = readdir(folder))
  {
    const std::string name = entry->d_name;
    if (name.size() <= 4 || name.compare(name.size() - 4, 4, ".pid") != 0)
      continue;
    const std::string key = name.substr(0, name.size() - 4);
    const pid_t pid = nodePid(key);
    char exe[PATH_MAX] = {0};
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    const ssize_t n = pid > 0 ? readlink(link.c_str(), exe, sizeof exe - 1) : -1;
    char program[PATH_MAX];
    const bool ours = n > 0 && realpath(program_.c_str(), program) && std::string(exe, n) == program;
    if (!exitOf(key).known && ours)
      running.push_back({key, pid});
  }
  if (folder)
    closedir(folder);
  // A node that is stopped (SIGSTOP) must go on to take its SIGTERM.
  for (const auto& node : running)
  {
    killpg(node.second, SIGTERM);
    killpg(node.second, SIGCONT);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(graceSeconds);
  std::vector<std::string> stopped;
  for (const auto& node : running)
  {
    while (kill(node.second, 0) == 0 && !exitOf(node.first).known && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (kill(node.second, 0) == 0 && !exitOf(node.first).known)
      killpg(node.second, SIGKILL);
    stopped.push_back(node.first);
  }
  return stopped;
}
}  // namespace nao_kinora_console
