#include "nao_kinora/session_status.h"

#include "nao_kinora/cues.h"
#include "nao_kinora/pacing.h"
#include "nao_kinora/session_speed.h"

#include <algorithm>

namespace nao_kinora
{
namespace
{
const uint32_t kStatusQueue = 10;  // a report and the wait after it come at one instant
const bool kLatched = true;
const double kLongTrackingWaitSeconds = 30.0;
const ros::WallDuration kLastStatusWait(0.1);

StatusPublisher* active = nullptr;

void publishActive(bool force, const ros::Time& at)
{
  if (active)
    active->publish(force, at);
}

struct Peer
{
  const char* topic;
  const char* who;
  const ros::Publisher& pub;
  bool needed;
};

bool oneOf(Phase phase, std::initializer_list<Phase> phases)
{
  return std::find(phases.begin(), phases.end(), phase) != phases.end();
}
}  // namespace

StatusPublisher::StatusPublisher(NaoKinora& obj, const SessionTimeline& plan)
    : obj_(obj),
      plan_(plan),
      privateNh_("~"),
      statusPub_(privateNh_.advertise<nao_kinora_msgs::SessionStatus>("status", kStatusQueue, kLatched)),
      diagnostics_(ros::NodeHandle(), privateNh_),
      lastPhase_(Status::PHASE_STARTING)
{
  for (const RecordingTimeline& r : plan_.recordings)
  {
    nao_kinora_msgs::RecordingStatus entry;
    entry.file = r.name;
    entry.rows = static_cast<int32_t>(r.rows.size());
    entry.playing_time = r.check.playingTime;
    msg_.session.push_back(entry);
  }
  msg_.recordings = static_cast<int32_t>(plan_.count);
  diagnostics_.setHardwareID("none");
  diagnostics_.add("session", this, &StatusPublisher::diagnose);
  active = this;
  setProgressHook(publishActive);
  setCueHook(noteCue);
  publish(true);
}

StatusPublisher::~StatusPublisher()
{
  setProgressHook(nullptr);
  setCueHook(nullptr);
  active = nullptr;
  // roscpp writes to subscribers from its own thread: give the last status
  // (over, or shut down) the time to leave before the node ends.
  if (statusPub_.getNumSubscribers() > 0)
    kLastStatusWait.sleep();
}

void StatusPublisher::publish(bool force, const ros::Time& at)
{
  const Where w = where();
  const ros::Time now = at.isZero() ? pauseClockNow() : at;
  if (w.phase != lastPhase_)
  {
    if (w.phase == Status::PHASE_GREETING && sessionStart_.isZero())
      sessionStart_ = now;
    if (w.phase == Status::PHASE_WAITING_FOR_TRACKING)
      waitStart_ = now;
    lastPhase_ = w.phase;
    force = true;
  }
  if (force || now < lastPublished_ || (now - lastPublished_).toSec() >= kStatusPeriodSeconds)
  {
    fill(w, now);
    publishNow(statusPub_, msg_);
    lastPublished_ = now;
  }
  if (force)
    diagnostics_.force_update();
  else
    diagnostics_.update();
}

const RecordingTimeline* StatusPublisher::planned(int recording) const
{
  const int index = recording - plan_.first;
  if (recording < 1 || index < 0 || index >= static_cast<int>(plan_.recordings.size()))
    return nullptr;
  const RecordingTimeline& r = plan_.recordings[index];
  return r.rows.empty() ? nullptr : &r;
}

// Where the session is on the planned timeline: the planned time of the last
// cue or row sent, or of the end of the recording reported last.
double StatusPublisher::plannedPosition(const Where& w) const
{
  const RecordingTimeline* r = planned(w.recording);
  const double start = r ? plan_.starts[w.recording - plan_.first] : 0.0;
  switch (w.phase)
  {
    case Status::PHASE_STARTING:
      return 0.0;
    case Status::PHASE_GREETING:
      return msg_.last_cue == kExplanationCue ? plan_.greeting.back().time : 0.0;
    case Status::PHASE_OPENING_CUE:
      if (r)
        for (const CueAt& cue : r->opening)
          if (cue.file == msg_.last_cue)
            return start + cue.time;
      return start;
    case Status::PHASE_PLAYING:
      if (!r)
        return start;
      return start + r->rowTimes[std::min<std::size_t>(std::max(w.row, 0), r->rowTimes.size() - 1)];
    case Status::PHASE_REPORT:
    case Status::PHASE_WAITING_FOR_TRACKING:
      return r ? start + r->length() : plan_.closing.time;
    case Status::PHASE_CLOSING:
      return plan_.closing.time;
    default:
      return plan_.length();
  }
}

void StatusPublisher::fill(const Where& w, const ros::Time& now)
{
  // Under simulated time the pause clock is ROS time: stamped with the very
  // time the figures describe, however late the clock moved on since.
  msg_.stamp = ros::Time::isSimTime() ? now : ros::Time::now();
  msg_.phase = w.paused ? static_cast<Phase>(Status::PHASE_PAUSED) : w.phase;
  msg_.paused_phase = w.phase;
  msg_.recording = w.recording;
  msg_.row = w.row;
  const RecordingTimeline* r = planned(w.recording);
  msg_.file = r ? r->name : "";
  msg_.rows = r ? static_cast<int32_t>(r->rows.size()) : 0;
  // Figures of the timeline at the speed now in force, as if every row were.
  const double speed = currentSpeed();
  msg_.speed = speed;
  msg_.total = r ? r->atSpeed(r->end, speed) - r->rowTimes.front() : 0.0;
  msg_.played = 0.0;
  if (r && w.row >= 0)
  {
    const std::size_t next = std::min<std::size_t>(w.row + 1, r->rows.size());
    const bool over = w.phase != Status::PHASE_PLAYING;  // its last row's pause is over too
    const double at = over ? (next < r->rows.size() ? r->rowTimes[next] : r->end)
                           : r->rowTimes[std::min<std::size_t>(w.row, r->rows.size() - 1)];
    msg_.played = r->atSpeed(at, speed) - r->rowTimes.front();
  }
  msg_.session_elapsed = sessionStart_.isZero() ? 0.0 : std::max(0.0, (now - sessionStart_).toSec());
  msg_.session_remaining =
      std::max(0.0, plan_.atSpeed(plan_.length(), speed) - plan_.atSpeed(plannedPosition(w), speed));
  msg_.talkerfilename_subscribers = obj_.nao_talker_filenamePub.getNumSubscribers();
  msg_.joint_angle_array_subscribers = obj_.jointAnglePub.getNumSubscribers();
  msg_.motion_start_stop_subscribers = obj_.motionStartStopPub.getNumSubscribers();
  const bool waiting = w.phase == Status::PHASE_WAITING_FOR_TRACKING && w.recording > 0;
  msg_.tracking_wait = waiting ? std::max(0.0, (now - waitStart_).toSec()) : 0.0;
}

void StatusPublisher::diagnose(diagnostic_updater::DiagnosticStatusWrapper& stat)
{
  typedef diagnostic_msgs::DiagnosticStatus Level;
  const Where w = where();
  const Phase p = w.phase;
  const bool waiting = p == Status::PHASE_WAITING_FOR_TRACKING && w.recording > 0;
  stat.summary(Level::OK, (w.paused ? "paused " : "session ") + describe(w));
  if (!skippedNote_.empty())
    stat.mergeSummary(Level::ERROR, skippedNote_);
  const Peer peers[] = {
      {"talkerfilename", "the audio player", obj_.nao_talker_filenamePub,
       oneOf(p, {Status::PHASE_STARTING, Status::PHASE_GREETING, Status::PHASE_OPENING_CUE, Status::PHASE_PLAYING,
                 Status::PHASE_CLOSING})},
      {"jointAngleArray", "the motion executor", obj_.jointAnglePub,
       oneOf(p, {Status::PHASE_OPENING_CUE, Status::PHASE_PLAYING})},
      {"motionStartStop", "the motion executor and the tracking node", obj_.motionStartStopPub,
       oneOf(p, {Status::PHASE_OPENING_CUE, Status::PHASE_PLAYING, Status::PHASE_REPORT}) || waiting},
  };
  for (const Peer& peer : peers)
  {
    const uint32_t subscribers = peer.pub.getNumSubscribers();
    stat.add(std::string(peer.topic) + " subscribers", subscribers);
    if (peer.needed && subscribers == 0)
      stat.mergeSummary(Level::WARN, std::string("no subscriber on ") + peer.topic + " (" + peer.who + ")");
  }
  if (waiting && msg_.tracking_wait > kLongTrackingWaitSeconds)
    stat.mergeSummaryf(Level::WARN, "waiting %d s for trackingfinished after recording %d",
                       static_cast<int>(msg_.tracking_wait), w.recording);
  stat.add("phase", describe(w));
  stat.add("recording", w.recording);
  stat.add("row", w.row);
  stat.add("tracking wait", msg_.tracking_wait);
}

void StatusPublisher::cueSent(const std::string& file)
{
  msg_.last_cue = file;
}

void StatusPublisher::reported(int recording, const std::vector<int>& moving)
{
  const int index = recording - plan_.first;
  if (index < 0 || index >= static_cast<int>(msg_.session.size()))
    return;
  msg_.session[index].reported = true;
  msg_.session[index].moving_joints.assign(moving.begin(), moving.end());
}

void StatusPublisher::skipped(int recording)
{
  const int index = recording - plan_.first;
  if (index >= 0 && index < static_cast<int>(msg_.session.size()))
    msg_.session[index].skipped = true;
  skippedNote_ = "recording " + std::to_string(recording) + " had no row to play and was skipped";
  publish(true);
}

void noteCue(const std::string& file)
{
  if (active)
    active->cueSent(file);
}

void noteReport(int recording, const std::vector<int>& moving)
{
  if (active)
    active->reported(recording, moving);
}

void noteSkipped(int recording)
{
  if (active)
    active->skipped(recording);
}
}  // namespace nao_kinora
