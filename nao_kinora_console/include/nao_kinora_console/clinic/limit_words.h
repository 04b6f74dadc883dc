// The robot's joint limits as a therapist reads them: where in an exercise a
// recording asks for what the robot cannot do (a time on the preview's clock,
// not a row), which part of the body, and what is wrong; the node's own
// words (row, joint, numbers) beside them for a technician. Pure
// computation over the node library's checks (nao_kinora/joint_limits.h).
#ifndef NAO_KINORA_CONSOLE_LIMIT_WORDS_H
#define NAO_KINORA_CONSOLE_LIMIT_WORDS_H

#include <nao_kinora/joint_limits.h>

#include <string>
#include <vector>

namespace nao_kinora_console
{
// "head", "left shoulder", "right knee": the part of the body joint column
// 0..21 moves.
std::string bodyPart(int joint);

// When row begins, in seconds from the start of the exercise played at its
// own pace: row 0 is held 2 s (as the node holds it), every later row its
// duration. The preview's clock shows the same.
double rowStart(const std::vector<nao_kinora::JointRow>& rows, int row);

// "0:12.4": a moment of an exercise, to the tenth of a second below it.
std::string momentWords(double seconds);

// One fault as a therapist reads it: "at 0:12.4 the left shoulder goes
// further than the robot can", "at 0:04.1 the left shoulder moves faster
// than the robot can".
std::string violationWords(const std::vector<nao_kinora::JointRow>& rows, const nao_kinora::LimitViolation& v);

// The first fault of rows at their own pace in both words, the therapist's
// and the node's, naming its row: "at 0:03.1 the left shoulder moves faster
// than the robot can (row 27: LShoulderPitch moves 1 rad in 0.04 s ...)"; ""
// when the rows keep the limits.
std::string firstFaultWords(const std::vector<nao_kinora::JointRow>& rows);

// What an exercise's rows allow, for the library and a plan's speed.
struct LimitMarks
{
  // Playable at some speed a plan may have: no angle past its joint's range,
  // and no joint moved faster than it can turn even at the slowest speed.
  bool playable = true;
  nao_kinora::SpeedBound bound;  // the highest safe speed, and what sets it
  // Where a faster speed than bound's would first move a joint too fast:
  // "the left shoulder would move faster than the robot can at 0:04.1".
  std::string speedWords;
  // The limits broken at the recording's own pace, in a therapist's words
  // (a sentence), and as the node words the first fault ("row 12: ..."); ""
  // for both when the recording keeps them.
  std::string words;
  std::string detail;
};
LimitMarks limitMarks(const std::vector<nao_kinora::JointRow>& rows);
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_LIMIT_WORDS_H
