#include "nao_kinora/timeline.h"

#include "nao_kinora/cues.h"
#include "nao_kinora/joint_stats.h"
#include "nao_kinora/pacing.h"
#include "nao_kinora/recording.h"
#include "nao_kinora/session_speed.h"

#include <algorithm>

namespace nao_kinora
{
namespace
{
const int kNoRow = -1;

void addOpeningCues(RecordingTimeline& r, const CueSchedule& schedule, double& t)
{
  for (const OpeningCue& cue : schedule.opening)
  {
    r.opening.push_back({t, cue.file, cue.pauseSeconds, kNoRow});
    t += cue.pauseSeconds;
  }
}

void addFeedbackCues(RecordingTimeline& r, const CueSchedule& schedule)
{
  for (std::size_t p = 0; p < schedule.feedbackRows.size(); ++p)
  {
    const int row = schedule.feedbackRows[p];
    CueAt cue = {0.0, schedule.feedbackFile(p), 0.0, row};
    if (row >= 0 && row < static_cast<int>(r.rows.size()))
    {
      cue.time = r.rowTimes[row];
      r.feedback.push_back(cue);
    }
    else
      r.neverPlayed.push_back(cue);
  }
  // Playback says the cues of a row as it reaches it, whatever their place in the list.
  std::stable_sort(r.feedback.begin(), r.feedback.end(), [](const CueAt& a, const CueAt& b) { return a.row < b.row; });
}

}  // namespace

// Opening cues and their pauses, then each row held for its duration (row 0
// for 2 s), each pause read as the node reads it.
RecordingTimeline planRecording(int currentargv, const std::string& name)
{
  return planRecording(currentargv, name, cueScheduleFor(currentargv));
}

RecordingTimeline planRecording(int currentargv, const std::string& name, const CueSchedule* schedule)
{
  RecordingTimeline r;
  r.currentargv = currentargv;
  r.name = name;
  r.check = checkRecording(staticdisplaycommand2 + name, &r.rows);
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
    r.moving = movingJointsOf(jointStats(r.rows).variance);
  return r;
}

double RecordingTimeline::atSpeed(double t, double speed) const
{
  if (speed == kNormalSpeed || rowTimes.size() < 2)
    return t;
  // Rows 1 to the last are held back to back: only that stretch changes pace.
  const double paced = std::min(std::max(t - rowTimes[1], 0.0), end - rowTimes[1]);
  return t - paced + paced / speed;
}

double SessionTimeline::atSpeed(double t, double speed) const
{
  if (speed == kNormalSpeed)
    return t;
  double at = t;
  for (std::size_t k = 0; k < recordings.size(); ++k)
    at += recordings[k].atSpeed(t - starts[k], speed) - (t - starts[k]);
  return at;
}

bool SessionTimeline::playable() const
{
  for (const RecordingTimeline& r : recordings)
    if (!r.check.playable())
      return false;
  return true;
}

SessionTimeline planSession(const SessionPlan& plan)
{
  SessionTimeline session;
  double t = 0.0;
  for (const char* cue : {kGreetingCue, kExplanationCue})
  {
    session.greeting.push_back({t, cue, kGreetingPauseSeconds, kNoRow});
    t += kGreetingPauseSeconds;
  }
  session.first = plan.first;
  session.count = plan.recordings.size();
  for (std::size_t k = plan.first - 1; k < plan.recordings.size(); ++k)
  {
    const int currentargv = kFirstRecordingArg + static_cast<int>(k);
    session.recordings.push_back(planRecording(currentargv, plan.recordings[k], plan.scheduleFor(currentargv)));
    session.starts.push_back(t);
    t += session.recordings.back().length();
  }
  session.closing = {t, kClosingCue, kGreetingPauseSeconds, kNoRow};
  return session;
}
}  // namespace nao_kinora
