#include "check_plot.h"

#include "check_text.h"

#include "nao_kinora/joint_row.h"

#include <plstream.h>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

namespace nao_kinora
{
namespace
{
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
const int kMovingPalette[][3] = {{31, 119, 180},  {214, 39, 40},  {44, 160, 44}, {255, 127, 14},
                                 {148, 103, 189}, {23, 190, 207}, {140, 86, 75}, {227, 119, 194},
                                 {188, 189, 34},  {0, 0, 128},    {128, 0, 0},   {0, 100, 0}};
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
             PL_POSITION_RIGHT | PL_POSITION_OUTSIDE, 0.01, 0.0, 0.04, kBackground, kInk, 1, 0, 0, entries,
             options.data(), 1.0, 0.75, 2.0, 0.0, textColours.data(), text.data(), 0, 0, 0, 0, colours.data(),
             styles.data(), widths.data(), 0, 0, 0, 0);
}

std::string plotTitle(const RecordingTimeline& r, double speed)
{
  return "recording " + std::to_string(r.number()) + ": " + r.name + " - " + std::to_string(r.rows.size()) + " rows, " +
         seconds(r.check.playingTime) + " s" + (speed == 1.0 ? "" : " at speed " + speedText(speed));
}

// r with its times as played at speed.
RecordingTimeline atSpeed(const RecordingTimeline& r, double speed)
{
  RecordingTimeline paced = r;
  for (double& t : paced.rowTimes)
    t = r.atSpeed(t, speed);
  for (CueAt& cue : paced.feedback)
    cue.time = r.atSpeed(cue.time, speed);
  paced.end = r.atSpeed(r.end, speed);
  paced.check.playingTime = paced.end - paced.rowTimes.front();
  return paced;
}

void plotRecording(const RecordingTimeline& r, const std::string& path, double speed)
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
  pls.lab("time since the start signal (s)", "angle (rad)", plotTitle(r, speed).c_str());
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
  return dir + "/recording_" + std::to_string(r.number()) + "_" + stem + ".png";
}
}  // namespace

bool writePlots(const std::string& dir, const SessionTimeline& session, double speed)
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
  for (const RecordingTimeline& r : session.recordings)
    if (r.check.playable())
    {
      const std::string path = plotPath(dir, r);
      plotRecording(atSpeed(r, speed), path, speed);
      std::cout << "plot: " << path << '\n';
    }
  return true;
}
}  // namespace nao_kinora
