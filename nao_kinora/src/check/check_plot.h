// nao_kinora_check's plots: one PNG per playable recording, the 22 joint
// curves over time with the moving joints highlighted and the feedback cues marked.
#ifndef NAO_KINORA_CHECK_PLOT_H
#define NAO_KINORA_CHECK_PLOT_H

#include "nao_kinora/timeline.h"

#include <string>

namespace nao_kinora
{
// Writes the plots, times at speed, into dir (made when missing) and names
// each on standard output. False, with the reason on standard error, when dir
// cannot be made or PLplot cannot write PNG.
bool writePlots(const std::string& dir, const SessionTimeline& session, double speed);
}  // namespace nao_kinora

#endif  // NAO_KINORA_CHECK_PLOT_H
