// What the clinic's store holds, as the console reads it: patients known by a
// code only, their plans, the sessions played and each exercise's record.
#ifndef NAO_KINORA_CONSOLE_CLINIC_RECORDS_H
#define NAO_KINORA_CONSOLE_CLINIC_RECORDS_H

#include "nao_kinora_console/db/store_result.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace nao_kinora_console
{
struct Patient
{
  int64_t id = 0;
  std::string code;  // chosen by the therapist; never a name
  std::string note;
  double created = 0;      // wall time, seconds since 1970
  double lastSession = 0;  // when their latest session started (wall time); 0: none yet. In the list only.
};

struct Plan
{
  int64_t id = 0;
  int64_t patientId = 0;
  std::string name;
  double speed = 1.0;
  std::vector<std::string> items;  // recording file names in playing order; repeats allowed
  double updated = 0;
  // The person tracker matches sides as a mirror (the patient faces the
  // robot: the robot's left arm is followed by the patient's right).
  bool mirror = true;
};

// A speed an exercise was played at, from when: seconds since the session's
// first logged event (the node's clock).
struct SpeedAt
{
  double speed = 1.0;
  double at = 0;
  bool operator==(const SpeedAt& o) const { return speed == o.speed && at == o.at; }
};

// One anatomical joint's range of motion in one exercise, as the person
// tracker measured it: the person's beside the robot's.
struct JointRange
{
  std::string joint;  // lower case, e.g. "left shoulder flexion"
  bool seen = false;  // false: hidden or out of view throughout
  double person = 0;  // degrees; 0 when not seen
  double robot = 0;   // degrees, in the exercise's recording
  bool operator==(const JointRange& o) const
  {
    return joint == o.joint && seen == o.seen && person == o.person && robot == o.robot;
  }
};

// How the person followed one exercise: the tracker's result, as logged.
struct ExerciseTracking
{
  bool present = false;  // false: no result was logged for the exercise
  std::string endedBy;   // "completed", "skipped", "timeout" or "ended"
  bool seen = false;     // false: the person was never in view ("not seen")
  double seconds = 0;    // from the exercise's start signal to the tracker's decision
  double follow = -1;    // 0 to 100; -1 when not seen
  std::vector<JointRange> joints;
};

// How one exercise of a session went, as its log tells.
struct ExerciseRecord
{
  int position = 0;         // the recording's place in the node's list, from 1
  std::string recording;    // its file name
  std::string outcome;      // "playing", "played", "skipped", "ended early", "unplayable"
  double playingTime = 0;   // start signal to report, pauses taken out (ROS seconds)
  double pausedTime = 0;    // every pause while it played or while its tracking wait ran
  double trackingWait = 0;  // stop signal to trackingfinished, a skip or the tracking timeout
  bool timeoutFired = false;
  std::vector<SpeedAt> speeds;  // the speed at its start, then each one set while it ran
  std::vector<int> movingJoints;
  std::vector<double> variances;  // one per joint, as the report gave them
  ExerciseTracking tracking;
};

struct Checkin
{
  int64_t sessionId = 0;
  int position = 0;
  int effort = -1;  // Borg CR10, 0..10; -1: not answered
  int pain = -1;    // 0..10; -1: not answered
  std::string note;
};

// Where a session's copy of its plan came from.
enum class PlanKept
{
  kAtStart,    // taken when it was started or resumed
  kAtUpgrade,  // a record older than copies: the plan as it stood when the file was upgraded
  kNone,       // a record older than copies whose plan was deleted before the upgrade
};
const char* planKeptName(PlanKept kept);  // "start", "upgrade", "none"

struct SessionSummary
{
  int64_t id = 0;
  int64_t patientId = 0;
  int64_t planId = 0;  // 0: none, or the plan was deleted since
  // The plan as the session was started with it; later edits change none of it.
  std::string planName;
  std::vector<std::string> planItems;
  double planSpeed = 1.0;  // the speed it started at
  bool planMirror = true;  // the plan's side matching for the person tracker
  PlanKept planKept = PlanKept::kAtStart;
  double lastSpeed = 1.0;  // the speed in force when its log was last read
  int64_t resumes = 0;     // the session this one took up again; 0: none
  int64_t resumedIn = 0;   // the session that took this one up again; 0: none
  int firstExercise = 1;
  std::string room;           // the room whose console started it
  double started = 0;         // wall time
  double ended = 0;           // 0 while it runs
  std::string outcome;        // "running", "completed", "ended" (by the operator), "interrupted"
  int exercisesPlayed = 0;    // played fully
  int exercisesTotal = 0;     // it was started to play, from its own plan (else those recorded)
  int exercisesRecorded = 0;  // begun in its log: none when the robot program refused to start
  double playingTime = 0;
  double meanEffort = -1;  // over the check-ins that rated it; -1: none
  double meanPain = -1;
  // Where a session that did not complete would go on; 0 when it completed
  // or was taken up again already (only a chain's last link is resumed).
  int resumeAt = 0;
};
// A joint's range in one session, for the patient's progress: the largest
// range the person showed in an exercise where the joint was seen, and the
// largest the robot showed for it in that session.
struct SessionRange
{
  int64_t sessionId = 0;
  double started = 0;  // the session's start, wall time
  std::string joint;
  double person = 0;
  double robot = 0;
};
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_CLINIC_RECORDS_H
