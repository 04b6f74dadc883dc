// nao_kinora_check: the timeline of a session, worked out without running it.
//
//   nao_kinora_check [--plot DIR] COUNT FILE... [_recording_dir:=DIR]
//
// Takes the node's own command line, reads every recording the node would play
// and prints, in ROS seconds from the node's start: the greeting, per recording
// its rows and playing time, the opening cues with their pauses, the rows and
// feedback cues, the feedback rows that fall past the recording's end, the
// recording check's warnings and the joints that the report will name; then the
// closing cue and the length of the session. The waits for the tracking node
// between recordings are not included: only that node knows them.
//
// --plot DIR writes one PNG per recording into DIR: the 22 joint curves over
// time, the moving joints highlighted, the feedback cues marked.
//
// Needs no ROS master. Exit status: 1 when the node would refuse to start (a
// bad command line, a recording with no row), 2 when a plot cannot be written,
// otherwise 0.
#include "nao_kinora/command_line.h"
#include "nao_kinora/cues.h"
#include "nao_kinora/joint_names.h"
#include "nao_kinora/pacing.h"
#include "nao_kinora/recording.h"
#include "nao_kinora/recording_check.h"
#include "nao_kinora/run_flags.h"
#include "nao_kinora/variance.h"

#include <plstream.h>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

using namespace nao_kinora;

namespace
{
const char* const kPlotOption = "--plot";
const std::string kRecordingDirArg = "_recording_dir:=";
const char* const kRemappingMark = ":=";
const int kFirstRecordingArg = 2;
const int kRefuseStatus = 1;
const int kPlotFailedStatus = 2;

struct Options
{
  std::string plotDir;
  std::vector<char*> nodeArgs;  // the node's argv as ros::init leaves it
};

// A cue, or a row, at its time in seconds since the recording's start signal.
struct CueAt
{
  double time;
  std::string file;
  double pause;  // opening cues
  int row;       // feedback cues: the row it goes out before
};

struct RecordingTimeline
{
  int currentargv;
  std::string name;
  RecordingCheck check;
  std::vector<JointRow> rows;
  std::vector<double> rowTimes;  // when each row goes out
  double end;                    // when the last row's pause ends and the report goes out
  std::vector<CueAt> opening;
  std::vector<CueAt> feedback;     // played, in the order they go out
  std::vector<CueAt> neverPlayed;  // feedback rows the recording does not reach
  std::vector<int> moving;

  double length() const { return check.playable() ? end : 0.0; }
};

// Takes out what the node never sees after ros::init (every name:=value, among
// them _recording_dir:=) and --plot DIR.
bool readOptions(int argc, char** argv, Options& options)
{
  options.nodeArgs.push_back(argv[0]);
  for (int k = 1; k < argc; ++k)
  {
    const std::string arg = argv[k];
    if (arg == kPlotOption)
    {
      if (k + 1 == argc)
      {
        std::cerr << kPlotOption << " needs a folder\n";
        return false;
      }
      options.plotDir = argv[++k];
    }
    else if (arg.compare(0, kRecordingDirArg.size(), kRecordingDirArg) == 0)
      setRecordingDir(arg.substr(kRecordingDirArg.size()));
    else if (arg.find(kRemappingMark) == std::string::npos)
      options.nodeArgs.push_back(argv[k]);
  }
  return true;
}

void addOpeningCues(RecordingTimeline& r, const CueSchedule& schedule, double& t)
{
  for (const OpeningCue& cue : schedule.opening)
  {
    r.opening.push_back({t, cue.file, cue.pauseSeconds, -1});
    t += cue.pauseSeconds;
  }
}

void addFeedbackCues(RecordingTimeline& r, const CueSchedule& schedule)
{
  for (std::size_t p = 0; p < schedule.feedbackRows.size(); ++p)
  {
    const int row = schedule.feedbackRows[p];
    CueAt cue = {0.0, feedbackCueName(p), 0.0, row};
    if (row >= 0 && row < static_cast<int>(r.rows.size()))
    {
      cue.time = r.rowTimes[row];
      r.feedback.push_back(cue);
    }
    else
      r.neverPlayed.push_back(cue);
  }
  std::stable_sort(r.feedback.begin(), r.feedback.end(),
                   [](const CueAt& a, const CueAt& b) { return a.row < b.row; });
}

// Works out one recording as the node plays it: opening cues and their pauses,
// then each row held for its duration (row 0 for 2 s), paused as the node pauses.
RecordingTimeline planRecording(int currentargv, const std::string& name)
{
  RecordingTimeline r;
  r.currentargv = currentargv;
  r.name = name;
  r.check = checkRecording(staticdisplaycommand2 + name, &r.rows);
  const CueSchedule* schedule = cueScheduleFor(currentargv);
  double t = 0.0;
  if (schedule)
    addOpeningCues(r, *schedule, t);
  for (const JointRow& row : r.rows)
  {
    r.rowTimes.push_back(t);
    t += pauseLength(row[kDurationColumn]).toSec();
  }
  r.end = t;
  if (schedule)
    addFeedbackCues(r, *schedule);
  if (!r.rows.empty())
  {
    calculateVariance(r.rows);
    r.moving = movingJoints();
  }
  return r;
}

std::string seconds(double s)
{
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", s);
  return text;
}

std::string minutes(double s)
{
  char text[48];
  std::snprintf(text, sizeof text, "%d min %s s", static_cast<int>(s / 60), seconds(std::fmod(s, 60.0)).c_str());
  return text;
}

// "   25.720   +15.720  what": session time, then time since the start signal.
void printEvent(double sessionTime, double recordingTime, const std::string& what)
{
  char text[48];
  std::snprintf(text, sizeof text, "  %10.3f  %+10.3f  ", sessionTime, recordingTime);
  std::cout << text << what << '\n';
}

void printSessionEvent(double sessionTime, const std::string& what)
{
  char text[32];
  std::snprintf(text, sizeof text, "  %10.3f  %10s  ", sessionTime, "");
  std::cout << text << what << '\n';
}

std::string movingJointList(const std::vector<int>& moving)
{
  if (moving.empty())
    return "none";
  std::ostringstream list;
  for (std::size_t k = 0; k < moving.size(); ++k)
    list << (k ? ", " : "") << moving[k] << ' ' << jointName(moving[k]);
  return list.str();
}

void printProblems(const RecordingCheck& check)
{
  for (const RecordingProblem& problem : check.problems)
    std::cout << "  " << (problem.fatal() ? "cannot be played: " : "warning: ") << problem.message << '\n';
}

// The rows and cues of one recording, in the order they go out.
void printPlayback(const RecordingTimeline& r, double start)
{
  printEvent(start, 0.0, "start signal 0 on motionStartStop");
  for (const CueAt& cue : r.opening)
    printEvent(start + cue.time, cue.time, cue.file + " (opening), pause " + seconds(cue.pause) + " s");
  printEvent(start + r.rowTimes.front(), r.rowTimes.front(), "row 0, held " + seconds(kFirstRowDuration) + " s");
  for (const CueAt& cue : r.feedback)
    printEvent(start + cue.time, cue.time, cue.file + " (feedback) before row " + std::to_string(cue.row));
  printEvent(start + r.end, r.end,
             "motion over after row " + std::to_string(r.rows.size() - 1) + ": report, then 1 on motionStartStop");
  for (const CueAt& cue : r.neverPlayed)
    std::cout << "  never played: " << cue.file << " at row " << cue.row << ", past the last row ("
              << r.rows.size() - 1 << ")\n";
}

void printRecording(const RecordingTimeline& r, std::size_t count, double start)
{
  std::cout << "\nrecording " << r.currentargv - kFirstRecordingArg + 1 << " of " << count << ": " << r.name
            << " (argument " << r.currentargv << ")\n";
  if (r.check.playable())
  {
    std::cout << "  " << r.rows.size() << " rows, playing time " << seconds(r.check.playingTime)
              << " s (row 0 held " << seconds(kFirstRowDuration) << " s)\n";
    printPlayback(r, start);
  }
  printProblems(r.check);
  if (r.check.playable())
    std::cout << "  moving joints (variance >= " << kVarianceThreshold << "): " << movingJointList(r.moving) << '\n';
}

// Prints the whole session, and its length when every recording can be played.
void printSession(const std::vector<RecordingTimeline>& recordings)
{
  std::cout << "session of " << recordings.size() << " recording(s) from " << staticdisplaycommand2 << '\n'
            << "times: ROS seconds since the node's start (once the audio player is connected), then since\n"
            << "each recording's start signal; the waits for the tracking node between recordings are not included\n\n";
  double t = 0.0;
  for (const char* cue : {kGreetingCue, kExplanationCue})
  {
    printSessionEvent(t, std::string(cue) + " (greeting), pause " + seconds(kGreetingPauseSeconds) + " s");
    t += kGreetingPauseSeconds;
  }
  for (const RecordingTimeline& r : recordings)
  {
    printRecording(r, recordings.size(), t);
    t += r.length();
  }
  std::cout << '\n';
  if (recordings.empty())
  {
    std::cout << "no recording is played: after the greeting the node idles until it is shut down\n";
    return;
  }
  for (const RecordingTimeline& r : recordings)
    if (!r.check.playable())
      return;  // no session: the node does not start
  printSessionEvent(t, std::string(kClosingCue) + " (closing), pause " + seconds(kGreetingPauseSeconds) + " s");
  t += kGreetingPauseSeconds;
  std::cout << "session length " << seconds(t) << " s (" << minutes(t)
            << ") with greeting and closing, without the waits for the tracking node\n";
}

// ---- plots ----

const int kPlotWidth = 1600;
const int kPlotHeight = 900;
const char* const kPlotDevice = "pngcairo";
const double kAngleMargin = 0.1;  // rad of air above and below the curves
const double kTextScale = 0.7;    // of PLplot's default character height

// Colour map 0: background, axes and text, the joints that did not move,
// feedback markers, then the colours of the moving joints.
enum PlotColour
{
  kBackground,
  kInk,
  kGrid,
  kStill,
  kCueMark,
  kFirstMoving
};
const int kMovingPalette[][3] = {{31, 119, 180}, {214, 39, 40},   {44, 160, 44},  {255, 127, 14},
                                 {148, 103, 189}, {23, 190, 207}, {140, 86, 75},  {227, 119, 194},
                                 {188, 189, 34},  {0, 0, 128},    {128, 0, 0},    {0, 100, 0}};
const int kMovingColours = sizeof kMovingPalette / sizeof kMovingPalette[0];

bool deviceAvailable(const char* device)
{
  const int kMostDevices = 128;
  const char* menu[kMostDevices];
  const char* names[kMostDevices];
  const char** menuList = menu;
  const char** nameList = names;
  int count = kMostDevices;
  plgDevs(&menuList, &nameList, &count);
  for (int k = 0; k < count; ++k)
    if (std::strcmp(names[k], device) == 0)
      return true;
  return false;
}

void setColours(plstream& pls)
{
  pls.scmap0n(kFirstMoving + kMovingColours);
  pls.scol0(kBackground, 255, 255, 255);
  pls.scol0(kInk, 0, 0, 0);
  pls.scol0(kGrid, 225, 225, 225);
  pls.scol0(kStill, 190, 190, 190);
  pls.scol0(kCueMark, 90, 90, 90);
  for (int k = 0; k < kMovingColours; ++k)
    pls.scol0(kFirstMoving + k, kMovingPalette[k][0], kMovingPalette[k][1], kMovingPalette[k][2]);
}

int movingColour(std::size_t k)
{
  return kFirstMoving + static_cast<int>(k % kMovingColours);
}

std::vector<double> column(const std::vector<JointRow>& rows, int joint)
{
  std::vector<double> values;
  for (const JointRow& row : rows)
    values.push_back(row[joint]);
  return values;
}

void angleRange(const std::vector<JointRow>& rows, double& low, double& high)
{
  low = rows[0][0];
  high = low;
  for (const JointRow& row : rows)
    for (int j = 0; j < kJointCount; ++j)
    {
      low = std::min<double>(low, row[j]);
      high = std::max<double>(high, row[j]);
    }
  low -= kAngleMargin;
  high += kAngleMargin;
}

void drawCurves(plstream& pls, const RecordingTimeline& r)
{
  std::vector<double> x = r.rowTimes;
  const int n = static_cast<int>(x.size());
  // Joints that did not move first, so the moving ones are drawn over them.
  pls.col0(kStill);
  pls.width(1.0);
  for (int j = 0; j < kJointCount; ++j)
    if (std::find(r.moving.begin(), r.moving.end(), j) == r.moving.end())
    {
      std::vector<double> y = column(r.rows, j);
      pls.line(n, x.data(), y.data());
    }
  pls.width(2.5);
  for (std::size_t k = 0; k < r.moving.size(); ++k)
  {
    std::vector<double> y = column(r.rows, r.moving[k]);
    pls.col0(movingColour(k));
    pls.line(n, x.data(), y.data());
  }
}

void markFeedback(plstream& pls, const RecordingTimeline& r, double low, double high)
{
  const double labelGap = 0.012 * (r.end - r.rowTimes.front());
  pls.col0(kCueMark);
  pls.width(1.5);
  for (const CueAt& cue : r.feedback)
  {
    pls.lsty(2);
    pls.join(cue.time, low, cue.time, high);
    pls.lsty(1);
    const std::string label = cue.file + " (row " + std::to_string(cue.row) + ")";
    // Upright, just left of the marker, ending just below the top of the frame.
    pls.ptex(cue.time - labelGap, high - 0.02 * (high - low), 0.0, 1.0, 1.0, label.c_str());
  }
}

void drawLegend(plstream& pls, const RecordingTimeline& r)
{
  std::vector<std::string> texts;
  std::vector<PLINT> colours;
  std::vector<PLFLT> widths;
  std::vector<PLINT> styles;
  for (std::size_t k = 0; k < r.moving.size(); ++k)
  {
    texts.push_back(std::to_string(r.moving[k]) + " " + jointName(r.moving[k]));
    colours.push_back(movingColour(k));
    widths.push_back(2.5);
    styles.push_back(1);
  }
  texts.push_back("joints that did not move");
  colours.push_back(kStill);
  widths.push_back(1.0);
  styles.push_back(1);
  if (!r.feedback.empty())
  {
    texts.push_back("feedback cue");
    colours.push_back(kCueMark);
    widths.push_back(1.5);
    styles.push_back(2);
  }

  const PLINT entries = static_cast<PLINT>(texts.size());
  std::vector<const char*> text;
  for (const std::string& t : texts)
    text.push_back(t.c_str());
  std::vector<PLINT> options(entries, PL_LEGEND_LINE);
  std::vector<PLINT> textColours(entries, kInk);
  PLFLT legendWidth, legendHeight;
  pls.legend(&legendWidth, &legendHeight, PL_LEGEND_BACKGROUND | PL_LEGEND_BOUNDING_BOX,
             PL_POSITION_RIGHT | PL_POSITION_OUTSIDE, 0.01, 0.0, 0.04, kBackground, kInk, 1,
             0, 0, entries, options.data(), 1.0, 0.75, 2.0, 0.0, textColours.data(), text.data(), 0, 0, 0, 0,
             colours.data(), styles.data(), widths.data(), 0, 0, 0, 0);
}

std::string plotTitle(const RecordingTimeline& r)
{
  return "recording " + std::to_string(r.currentargv - kFirstRecordingArg + 1) + ": " + r.name + " - " +
         std::to_string(r.rows.size()) + " rows, " + seconds(r.check.playingTime) + " s";
}

void plotRecording(const RecordingTimeline& r, const std::string& path)
{
  plstream pls;
  pls.sdev(kPlotDevice);
  pls.sfnam(path.c_str());
  pls.spage(0, 0, kPlotWidth, kPlotHeight, 0, 0);
  setColours(pls);
  pls.init();
  pls.schr(0, kTextScale);

  double low, high;
  angleRange(r.rows, low, high);
  pls.adv(0);
  pls.vpor(0.07, 0.74, 0.11, 0.92);
  pls.wind(r.rowTimes.front(), std::max(r.end, r.rowTimes.front() + 1.0), low, high);
  pls.col0(kGrid);
  pls.box("g", 0, 0, "g", 0, 0);
  pls.col0(kInk);
  pls.box("bcnst", 0, 0, "bcnstv", 0, 0);
  pls.lab("time since the start signal (s)", "angle (rad)", plotTitle(r).c_str());
  drawCurves(pls, r);
  markFeedback(pls, r, low, high);
  drawLegend(pls, r);
}

std::string plotPath(const std::string& dir, const RecordingTimeline& r)
{
  std::string stem = r.name;
  const std::string::size_type dot = stem.rfind('.');
  if (dot != std::string::npos && stem.find('/', dot) == std::string::npos)
    stem.erase(dot);
  std::replace(stem.begin(), stem.end(), '/', '_');
  return dir + "/recording_" + std::to_string(r.currentargv - kFirstRecordingArg + 1) + "_" + stem + ".png";
}

bool writePlots(const std::string& dir, const std::vector<RecordingTimeline>& recordings)
{
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
  {
    std::cerr << "cannot make the plot folder [" << dir << "]: " << std::strerror(errno) << '\n';
    return false;
  }
  if (!deviceAvailable(kPlotDevice))
  {
    std::cerr << "PLplot has no " << kPlotDevice << " device: install plplot-driver-cairo\n";
    return false;
  }
  std::cout << '\n';
  for (const RecordingTimeline& r : recordings)
    if (r.check.playable())
    {
      const std::string path = plotPath(dir, r);
      plotRecording(r, path);
      std::cout << "plot: " << path << '\n';
    }
  return true;
}

// The recordings that would refuse the session, one line each; true when none.
bool reportRefusal(const std::vector<RecordingTimeline>& recordings)
{
  bool playable = true;
  for (const RecordingTimeline& r : recordings)
    if (!r.check.playable())
    {
      std::cout << "the node would refuse to start: recording " << r.currentargv - kFirstRecordingArg + 1 << " ("
                << r.check.path << ") has no row to play\n";
      playable = false;
    }
  return playable;
}
}  // namespace

int main(int argc, char** argv)
{
  Options options;
  SessionPlan plan;
  if (!readOptions(argc, argv, options) ||
      !readCommandLine(static_cast<int>(options.nodeArgs.size()), options.nodeArgs.data(), plan))
  {
    std::cerr << "  " << kPlotOption << " DIR  also write one plot of the joint curves per recording into DIR\n";
    return kRefuseStatus;
  }

  std::vector<RecordingTimeline> recordings;
  for (std::size_t k = 0; k < plan.recordings.size(); ++k)
    recordings.push_back(planRecording(kFirstRecordingArg + static_cast<int>(k), plan.recordings[k]));

  printSession(recordings);
  const bool playable = reportRefusal(recordings);
  std::cout.flush();
  if (!options.plotDir.empty() && !writePlots(options.plotDir, recordings))
    return kPlotFailedStatus;
  return playable ? 0 : kRefuseStatus;
}
