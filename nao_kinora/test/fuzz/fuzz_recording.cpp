// libFuzzer target: the input is a recording file. It goes through the line
// parser, loadRecording, the stream reader, checkRecording and the analysis,
// which must agree with one another. Built (clang/CMakeLists.txt) with
// bounds-checked containers, so any index outside play_joints aborts.
#include "nao_kinora/loader.h"
#include "nao_kinora/recording.h"
#include "nao_kinora/run_flags.h"
#include "nao_kinora/recording_check.h"
#include "nao_kinora/variance.h"

#include <ros/console.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using namespace nao_kinora;

namespace
{
const char* const kFileName = "input";

void require(bool condition, const char* what)
{
  if (!condition)
  {
    std::fprintf(stderr, "fuzz_recording: %s\n", what);
    std::abort();
  }
}

void removeInputDirectory()
{
  std::remove((staticdisplaycommand2 + kFileName).c_str());
  rmdir(staticdisplaycommand2.c_str());
}

// A new file each time: ext4 writes a truncated file back to disk when it is
// closed, which held the run to a few hundred inputs a second.
void writeFile(const std::string& path, const std::string& content)
{
  std::remove(path.c_str());
  std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
  out << content;
  require(static_cast<bool>(out), "cannot write the input file");
}

void checkLineParser(const std::string& text)
{
  const std::string line = text.substr(0, text.find('\n'));
  JointRow row;
  const int count = parseJointValues(line, row);
  require(count >= 0 && count <= kRowColumns, "parseJointValues out of range");
  require(parseJointRow(line, row) == (count == kRowColumns), "parseJointRow disagrees with parseJointValues");
}

// The rows read straight from the text, as loadRecording stores them.
std::vector<JointRow> rowsOf(const std::string& text)
{
  std::istringstream in(text);
  std::vector<JointRow> rows;
  std::string stopLine;
  readJointRows(in, rows, stopLine);
  if (!rows.empty())
    rows[0][kDurationColumn] = kFirstRowDuration;
  return rows;
}

void checkAgreement(const std::string& path, const std::string& text)
{
  loadRecording(kFileName);
  require(play_joints == rowsOf(text), "loadRecording differs from readJointRows");

  std::vector<JointRow> checked;
  const RecordingCheck check = checkRecording(path, &checked);
  require(check.rows == play_joints.size(), "checkRecording counts other rows");
  require(checked == play_joints, "checkRecording loads other rows");
  require(check.playable() == !play_joints.empty(), "playable() disagrees with the rows");
  for (std::size_t k = 0; k < check.problems.size(); ++k)
    require(check.problems[k].message.compare(0, path.size(), path) == 0, "a message does not name the file");
}

void checkAnalysis()
{
  calculateVariance(play_joints);
  const std::vector<int> moving = movingJoints();
  for (std::size_t k = 0; k < moving.size(); ++k)
  {
    require(moving[k] >= 0 && moving[k] < kJointCount, "moving joint out of range");
    require(k == 0 || moving[k - 1] < moving[k], "moving joints not ascending");
  }
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
  // Most inputs have no row, and the loader says so each time.
  if (ros::console::set_logger_level(ROSCONSOLE_DEFAULT_NAME, ros::console::levels::Fatal))
    ros::console::notifyLoggerLevelsChanged();
  char pattern[] = "/tmp/kinora_fuzz_XXXXXX";
  require(mkdtemp(pattern) != NULL, "mkdtemp failed");
  staticdisplaycommand2 = std::string(pattern) + "/";
  std::atexit(removeInputDirectory);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string path = staticdisplaycommand2 + kFileName;
  writeFile(path, text);
  checkLineParser(text);
  checkAgreement(path, text);
  checkAnalysis();
  return 0;
}
