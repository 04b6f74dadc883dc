// Recordings made for whole-run tests: their files, the rows the node sends
// for them, the cues it says with them and the console lines it writes.
#ifndef NAO_KINORA_TEST_RECORDINGS_H
#define NAO_KINORA_TEST_RECORDINGS_H

#include "nao_kinora/run_flags.h"

#include <string>
#include <vector>

namespace run_script
{
using nao_kinora::JointRow;
using nao_kinora::kDurationColumn;
using nao_kinora::kJointCount;
using nao_kinora::kRowColumns;

// Held by the node for row 0, whatever the file says.
const int kFirstRowMs = 2000;

// A recording made for a test. The durations the tests use as floats are never
// above their decimal value (0.04f, 0.26f, 0.5f, 1.5f ..., unlike 0.3f), so
// the node's deadline falls on the tick that the test expects.
struct Recording
{
  std::string name;
  int id = 0;                    // keeps the rows of different recordings apart
  std::vector<float> durations;  // seconds, one per row, as in the file
  std::vector<int> moving;       // joints that swing by +-0.4 from row swingFrom on;
  int swingFrom = 0;             // the other joints, and all before, drift by < 0.01
  // A pose within the robot's joint limits (withinLimits), in place of the
  // drift: every row holds it but joint 0, which drifts by 0.001 a row, and
  // the angles set here (row, joint, angle).
  std::vector<float> pose;
  struct Angle
  {
    int row;
    int joint;
    float angle;
  };
  std::vector<Angle> angles;

  int rows() const { return static_cast<int>(durations.size()); }
  JointRow row(int r) const;
  // The 24 values the node sends for row r: 1.0, then the row, row 0 held 2 s.
  std::vector<float> wire(int r) const;
  int heldMs(int r) const;  // the pause after row r, in whole milliseconds
  // The joints the report names: the swinging ones when at least two rows
  // swing (+-0.4 gives a variance near 0.16); none when no row swings.
  std::vector<int> reported() const;
  std::string text() const;  // the file's content, one line per row
};

// The middle of each joint's range: a pose within the robot's joint limits.
std::vector<float> poseWithinLimits();

// Same duration for every row.
Recording makeRecording(const std::string& name, int id, int rows, float duration, const std::vector<int>& moving);

// A recording that plays in little ROS time: rows without a pause, in runs
// short enough for the node's joint queue (10 messages; roscpp writes them
// from its own thread, so a longer run of rows sent at once loses some). The
// row that ends a run is held half a second, and so are the row before each
// of the feedback rows given (setting the cue apart from the run before it,
// whose rows the harness would otherwise receive all before the cue; see
// "Order" in ros_harness.h) and the last row.
Recording makeQuickRecording(const std::string& name, int id, int rows, const std::vector<int>& moving,
                             const std::vector<int>& feedbackRows = {});

struct OpeningCue
{
  std::string file;
  int pauseMs;
};

// What the node says for the recording at a command-line position.
struct CueSchedule
{
  std::vector<int> feedbackRows;  // "1feed.wav" before the first, "2feed.wav" before the second ...
  std::vector<OpeningCue> opening;
  std::vector<std::string> feedbackFiles{};  // a recording's own names, in place of those
};

// The schedule of the recording at argument currentargv (2 for the first one).
CueSchedule scheduleFor(int currentargv);

// Standard output of playing `rows` rows and reporting `moving`.
std::string playedLines(int rows, const std::vector<int>& moving);

// Writes the recordings into dir (which ends in "/").
void writeRecordings(const std::string& dir, const std::vector<Recording>& recordings);

// The node's command line for the recordings: the count, then their names.
std::vector<std::string> commandLine(const std::string& count, const std::vector<Recording>& recordings);

// The bytes of the floats, to find a row by the exact values on the wire.
std::string floatBytes(const std::vector<float>& values);
}  // namespace run_script

#endif  // NAO_KINORA_TEST_RECORDINGS_H
