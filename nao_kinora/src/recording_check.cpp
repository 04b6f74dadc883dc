#include "nao_kinora/recording_check.h"

#include "nao_kinora/recording.h"

#include <cmath>
#include <fstream>
#include <locale>
#include <sstream>

namespace nao_kinora
{
namespace
{
// A row held longer than this is almost surely a slip (milliseconds written as seconds).
const float kLongestDuration = 3600.0f;

const char* const kBlankCharacters = " \t\r\n\v\f";

// Messages read the same whatever the global locale (no digit grouping in line numbers).
struct Message : std::ostringstream
{
  Message() { imbue(std::locale::classic()); }
};

bool isBlank(const std::string& line)
{
  return line.find_first_not_of(kBlankCharacters) == std::string::npos;
}

// Playback holds a row for its duration; a negative or non-finite one is not held at all.
bool holdable(float duration)
{
  return duration >= 0 && std::isfinite(duration);
}

void addProblem(RecordingCheck& check, RecordingProblem::Kind kind, int line, const std::string& what)
{
  Message message;
  message << check.path << ':';
  if (line > 0)
    message << line << ':';
  message << ' ' << what;
  RecordingProblem problem = {kind, line, message.str()};
  check.problems.push_back(problem);
}

// Why the line that ends loading is not a row.
std::string describeStop(const std::string& stopLine)
{
  if (isBlank(stopLine))
    return "the line is blank";
  JointRow scratch;
  Message what;
  what << "the line starts with " << parseJointValues(stopLine, scratch) << " of the " << kRowColumns
       << " numbers a row needs";
  return what.str();
}

// Reports the line that ended loading (1-based stopAt) and the lines after it that
// hold something, since none of them will ever be played. Blank lines at the end
// of a file are common and harmless.
void checkStop(RecordingCheck& check, std::istream& rest, int stopAt, const std::string& stopLine)
{
  int heldAfter = 0;
  int lastHeld = 0;
  std::string line;
  for (int number = stopAt + 1; std::getline(rest, line); ++number)
    if (!isBlank(line))
    {
      ++heldAfter;
      lastHeld = number;
    }

  Message what;
  if (check.rows == 0)
  {
    what << "no row: " << describeStop(stopLine);
    if (heldAfter > 0)
      what << "; the " << heldAfter << " non-blank line(s) after it, up to line " << lastHeld << ", are never played";
    addProblem(check, RecordingProblem::kNoRow, stopAt, what.str());
    return;
  }
  const int unplayed = heldAfter + (isBlank(stopLine) ? 0 : 1);
  if (unplayed == 0)
    return;
  what << "loading stops here, " << describeStop(stopLine) << "; " << unplayed
       << " non-blank line(s) from here to line " << (lastHeld > 0 ? lastHeld : stopAt) << " are never played";
  addProblem(check, RecordingProblem::kStopsEarly, stopAt, what.str());
}

// Row 0 is always held kFirstRowDuration, so only the later rows' own durations matter.
void checkDurations(RecordingCheck& check, const std::vector<JointRow>& rows)
{
  check.playingTime = rows.empty() ? 0 : kFirstRowDuration;
  for (std::size_t r = 1; r < rows.size(); ++r)
  {
    const float duration = rows[r][kDurationColumn];
    const int line = static_cast<int>(r) + 1;
    Message what;
    what.imbue(std::locale::classic());
    if (!holdable(duration))
    {
      what << "duration " << duration << " s is negative or not finite: the row is not held";
      addProblem(check, RecordingProblem::kOddDuration, line, what.str());
      continue;
    }
    if (duration > kLongestDuration)
    {
      what << "duration " << duration << " s is longer than an hour";
      addProblem(check, RecordingProblem::kOddDuration, line, what.str());
    }
    check.playingTime += duration;
  }
}
}  // namespace

bool RecordingCheck::playable() const
{
  for (std::size_t k = 0; k < problems.size(); ++k)
    if (problems[k].fatal())
      return false;
  return true;
}

RecordingCheck checkRecording(const std::string& path, std::vector<JointRow>* loaded)
{
  RecordingCheck check;
  check.path = path;
  check.rows = 0;
  check.playingTime = 0;

  std::ifstream in(path.c_str());
  if (!in.is_open())
  {
    addProblem(check, RecordingProblem::kCannotOpen, 0, "cannot be opened");
    return check;
  }

  std::vector<JointRow> rows;
  std::string stopLine;
  const bool stopped = readJointRows(in, rows, stopLine);
  check.rows = rows.size();
  checkDurations(check, rows);
  if (stopped)
    checkStop(check, in, static_cast<int>(rows.size()) + 1, stopLine);
  else if (rows.empty())
    addProblem(check, RecordingProblem::kNoRow, 0, "no row: the file is empty or cannot be read");

  if (loaded)
  {
    if (!rows.empty())
      rows[0][kDurationColumn] = kFirstRowDuration;
    loaded->swap(rows);
  }
  return check;
}
}  // namespace nao_kinora
