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

// The whole session on standard output, and its length when it can be played.
void printSession(const SessionTimeline& session);

// The recordings that would refuse the session, one line each; true when none.
bool reportRefusal(const SessionTimeline& session);
}  // namespace nao_kinora

#endif  // NAO_KINORA_CHECK_TEXT_H
