// nao_kinora_check's printed timeline: one line per cue, row 0 and motion end,
// in session seconds and in seconds since the recording's start signal.
#ifndef NAO_KINORA_CHECK_TEXT_H
#define NAO_KINORA_CHECK_TEXT_H

#include "nao_kinora/timeline.h"

#include <string>

namespace nao_kinora
{
// s with three decimals, as every time in the output is written.
std::string seconds(double s);

// A speed as the tool writes it: "1", "0.5", "1.25".
std::string speedText(double speed);

// The whole session at speed on standard output (every time, and each
// recording's joint limits at that speed), and its length when it can be played.
void printSession(const SessionTimeline& session, double speed);

// The recordings that would refuse the session, one line each: those with no
// row, and those that break the joint limits at speed (which refuse it only
// when jointLimits, as ~joint_limits has it). True when none refuses it.
bool reportRefusal(const SessionTimeline& session, double speed, bool jointLimits);
}  // namespace nao_kinora

#endif  // NAO_KINORA_CHECK_TEXT_H
