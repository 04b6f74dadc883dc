// libFuzzer target: the input is the node's command line after ros::init, one
// argument per piece between NUL or newline bytes (argument 0 is the program).
// readCommandLine must accept exactly the command lines on which the main loop,
// which reads argv[currentargv] from 2 on while recordingsRemain holds, stays
// inside argv; and it must then plan those very arguments, in order.
#include "nao_kinora/command_line.h"

#include <ros/console.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

using namespace nao_kinora;

namespace
{
const char kProgram[] = "nao_kinora";

void require(bool condition, const char* what)
{
  if (!condition)
  {
    std::fprintf(stderr, "fuzz_command_line: %s\n", what);
    std::abort();
  }
}

// Each argument and the array itself on the heap at their exact size, so that
// AddressSanitizer stops any read past an argument's NUL or past argv[argc - 1].
// The array has no NULL entry at argc: the node must not need one.
class Arguments
{
public:
  explicit Arguments(const std::string& text)
  {
    pieces_.push_back(kProgram);
    if (!text.empty())
    {
      std::string piece;
      for (char c : text)
      {
        if (c == '\0' || c == '\n')
        {
          pieces_.push_back(piece);
          piece.clear();
        }
        else
          piece += c;
      }
      pieces_.push_back(piece);
    }
    argv_ = static_cast<char**>(std::malloc(pieces_.size() * sizeof(char*)));
    for (std::size_t k = 0; k < pieces_.size(); ++k)
    {
      argv_[k] = static_cast<char*>(std::malloc(pieces_[k].size() + 1));
      std::memcpy(argv_[k], pieces_[k].c_str(), pieces_[k].size() + 1);
    }
  }

  ~Arguments()
  {
    for (std::size_t k = 0; k < pieces_.size(); ++k)
      std::free(argv_[k]);
    std::free(argv_);
  }

  Arguments(const Arguments&) = delete;
  Arguments& operator=(const Arguments&) = delete;

  int argc() const { return static_cast<int>(pieces_.size()); }
  char** argv() { return argv_; }
  const std::string& operator[](int k) const { return pieces_[k]; }

private:
  std::vector<std::string> pieces_;
  char** argv_;
};

bool isUsage(const std::string& text)
{
  const std::string start = std::string("usage: ") + kProgram + " COUNT FILE...";
  return text.compare(0, start.size(), start) == 0;
}

bool sameCount(float a, float b)
{
  return (std::isnan(a) && std::isnan(b)) || a == b;
}

// The usage, and nothing else, goes to std::cerr; the rest through rosconsole.
bool readCapturingUsage(Arguments& args, SessionPlan& plan, std::string& usage)
{
  std::ostringstream captured;
  std::streambuf* const previous = std::cerr.rdbuf(captured.rdbuf());
  const bool accepted = readCommandLine(args.argc(), args.argv(), plan);
  std::cerr.rdbuf(previous);
  usage = captured.str();
  return accepted;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
  // Nearly every input draws an error or a warning.
  if (ros::console::set_logger_level(ROSCONSOLE_DEFAULT_NAME, ros::console::levels::Fatal))
    ros::console::notifyLoggerLevelsChanged();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
  Arguments args(std::string(reinterpret_cast<const char*>(data), size));
  SessionPlan plan;
  std::string usage;
  const bool accepted = readCapturingUsage(args, plan, usage);

  if (args.argc() < 2)
  {
    require(!accepted, "accepted a command line without a count");
    require(isUsage(usage), "no usage for a command line without a count");
    return 0;
  }

  const float count = static_cast<float>(std::atof(args[1].c_str()));
  const long wanted = recordingsToPlay(count);
  require(wanted >= 0, "recordingsToPlay below zero");

  // The main loop reads argv[currentargv] while recordingsRemain holds, from 2
  // upwards; it stays inside argv exactly when it stops before argc.
  const bool staysInside = !recordingsRemain(args.argc(), count);
  require(accepted == staysInside, "readCommandLine disagrees with recordingsRemain at argc");
  require(accepted == (wanted <= args.argc() - kFirstRecordingArg), "readCommandLine disagrees with recordingsToPlay");
  require(accepted == usage.empty(), "usage written on an accepted command line, or missing on a refused one");
  if (!accepted)
  {
    require(isUsage(usage), "a refused command line gets no usage");
    return 0;
  }

  require(sameCount(plan.count, count), "count is not atof of argument 1");
  require(static_cast<long>(plan.recordings.size()) == wanted, "plan holds another number of recordings");
  int currentargv = kFirstRecordingArg;
  for (; recordingsRemain(currentargv, count); ++currentargv)
  {
    const std::size_t k = static_cast<std::size_t>(currentargv - kFirstRecordingArg);
    require(k < plan.recordings.size(), "the main loop would play more recordings than planned");
    require(plan.recordings[k] == args[currentargv], "a planned name is not the argument the loop reads");
  }
  require(static_cast<std::size_t>(currentargv - kFirstRecordingArg) == plan.recordings.size(),
          "the main loop would play fewer recordings than planned");
  return 0;
}
