// Checks a recording file before a session: what loadRecording would load, and
// every problem found, each naming the file and the 1-based line.
#ifndef NAO_KINORA_RECORDING_CHECK_H
#define NAO_KINORA_RECORDING_CHECK_H

#include "nao_kinora/joint_row.h"

#include <cstddef>
#include <string>
#include <vector>

namespace nao_kinora
{
struct RecordingProblem
{
  enum Kind
  {
    kCannotOpen,   // fatal
    kNoRow,        // fatal: first line malformed or file empty
    kStopsEarly,   // warning: non-blank lines follow the line that ends loading
    kOddDuration,  // warning: duration negative, not finite, or over an hour
  };
  Kind kind;
  int line;             // 1-based; 0 when the problem concerns the whole file
  std::string message;  // "path:line: what is wrong", ready to print

  bool fatal() const { return kind == kCannotOpen || kind == kNoRow; }
};

struct RecordingCheck
{
  std::string path;
  std::size_t rows;    // rows that loadRecording would load
  double playingTime;  // seconds, row 0 counted as held 2 s
  std::vector<RecordingProblem> problems;

  bool playable() const;  // no fatal problem
};

// Checks the file at path (a full path, not a name relative to the recording
// directory). When loaded is given, it receives the rows as loadRecording
// would store them. Writes nothing on standard output.
RecordingCheck checkRecording(const std::string& path, std::vector<JointRow>* loaded = 0);
}  // namespace nao_kinora

#endif  // NAO_KINORA_RECORDING_CHECK_H
