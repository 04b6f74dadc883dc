#include "nao_kinora_console/clinic/limit_words.h"

#include "nao_kinora_console/records/clinic_rules.h"

#include <nao_kinora/recording.h>
#include <nao_kinora/session_speed.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>

namespace nao_kinora_console
{
namespace
{
// Each joint column's part of the body, without its side.
const char* const kParts[nao_kinora::kJointCount] = {
    "head",     "head",                                          // yaw, pitch
    "shoulder", "shoulder", "elbow", "elbow",                    // left arm
    "shoulder", "shoulder", "elbow", "elbow",                    // right arm
    "hip",      "hip",      "hip",   "knee",  "ankle", "ankle",  // left leg
    "hip",      "hip",      "hip",   "knee",  "ankle", "ankle",  // right leg
};

bool isRangeFault(const nao_kinora::LimitViolation& v)
{
  return v.kind != nao_kinora::LimitViolation::kTooFast;
}

std::string sentence(std::string words)
{
  if (!words.empty())
    words[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(words[0])));
  return words + ".";
}
}  // namespace

std::string bodyPart(int joint)
{
  if (joint < 0 || joint >= nao_kinora::kJointCount)
    return "a joint";
  if (joint < 2)
    return kParts[joint];
  const bool left = joint < 6 || (joint >= 10 && joint < 16);
  return std::string(left ? "left " : "right ") + kParts[joint];
}

double rowStart(const std::vector<nao_kinora::JointRow>& rows, int row)
{
  if (row <= 0)
    return 0.0;
  double t = nao_kinora::kFirstRowDuration;
  for (int k = 1; k < row && k < static_cast<int>(rows.size()); ++k)
    t += std::max(0.0, static_cast<double>(rows[k][nao_kinora::kDurationColumn]));
  return t;
}

std::string momentWords(double seconds)
{
  // Tenths, counted down; the small margin keeps 12.4 from reading 12.39999.
  const long tenths = static_cast<long>(std::floor(std::max(0.0, seconds) * 10 + 1e-6));
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld.%ld", tenths / 600, tenths / 10 % 60, tenths % 10);
  return text;
}

std::string violationWords(const std::vector<nao_kinora::JointRow>& rows, const nao_kinora::LimitViolation& v)
{
  const std::string where = "at " + momentWords(rowStart(rows, v.row)) + " the " + bodyPart(v.joint);
  return where + (isRangeFault(v) ? " goes further than the robot can" : " moves faster than the robot can");
}

std::string firstFaultWords(const std::vector<nao_kinora::JointRow>& rows)
{
  const std::vector<nao_kinora::LimitViolation> faults =
      nao_kinora::jointLimitViolations(rows, nao_kinora::kNormalSpeed);
  return faults.empty() ? ""
                        : violationWords(rows, faults.front()) + " (" + nao_kinora::describeViolations(faults) + ")";
}

LimitMarks limitMarks(const std::vector<nao_kinora::JointRow>& rows)
{
  LimitMarks marks;
  marks.bound = nao_kinora::highestSafeSpeed(rows);
  if (marks.bound.row >= 0)
    marks.speedWords = "the " + bodyPart(marks.bound.joint) + " would move faster than the robot can at " +
                       momentWords(rowStart(rows, marks.bound.row));
  const std::vector<nao_kinora::LimitViolation> faults =
      nao_kinora::jointLimitViolations(rows, nao_kinora::kNormalSpeed);
  const auto range = std::find_if(faults.begin(), faults.end(), isRangeFault);
  const bool tooSlowEven = !marks.bound.allows(kMinSpeed);
  marks.playable = range == faults.end() && !tooSlowEven;
  if (faults.empty())
    return marks;
  marks.detail = nao_kinora::describeViolations(faults);
  if (range != faults.end())
    marks.words = sentence(violationWords(rows, *range));
  else
  {
    // The row that sets the highest safe speed is too fast at the normal speed too.
    const nao_kinora::LimitViolation bounding = {
        nao_kinora::LimitViolation::kTooFast, marks.bound.row, marks.bound.joint, 0, 0, 0, 0, 0};
    marks.words = sentence(violationWords(rows, bounding) +
                           (tooSlowEven ? ", even at the slowest speed" : " at the recorded pace: play it slower"));
  }
  return marks;
}
}  // namespace nao_kinora_console
