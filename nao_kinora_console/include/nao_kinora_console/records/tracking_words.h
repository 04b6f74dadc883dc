// How the person followed an exercise, in the words of the report, the
// running page and the export: "Left shoulder flexion 128° (robot 160°) · follow 82".
#ifndef NAO_KINORA_CONSOLE_TRACKING_WORDS_H
#define NAO_KINORA_CONSOLE_TRACKING_WORDS_H

#include "nao_kinora_console/records/clinic_records.h"

#include <string>
#include <vector>

namespace nao_kinora_console
{
// The tracker's joint name with a capital first letter: "Left shoulder flexion".
std::string jointTitle(const std::string& joint);

// One joint, whole degrees: "Left shoulder flexion 128° (robot 160°)", or
// "Left knee flexion not seen (robot 40°)" when it was hidden throughout.
std::string rangeWords(const JointRange& range);

// The exercise's joints, then its follow score, each after " · "; "not seen"
// when the person was out of view; "" when the exercise has no result.
std::string trackingWords(const ExerciseTracking& tracking);

// The joints alone, "; " between them (the export's one field).
std::string rangesWords(const std::vector<JointRange>& joints);
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_TRACKING_WORDS_H
