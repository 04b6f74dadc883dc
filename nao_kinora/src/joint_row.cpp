#include "nao_kinora/joint_row.h"


namespace nao_kinora
{
namespace
{
const char* const kJointNames[kJointCount] = {
  "headyaw",          "headpitch",
  "leftshoulderpitch", "leftshoulderroll", "leftelbowyaw",  "leftelbowroll",
  "rightshoulderpitch", "rightshoulderroll", "rightelbowyaw", "rightelbowroll",
  "lefthipyawpitch",  "lefthiproll",  "lefthippitch",  "leftkneepitch",  "leftanklepitch",  "leftankleroll",
  "righthipyawpitch", "righthiproll", "righthippitch", "rightkneepitch", "rightanklepitch", "rightankleroll",
};
}  // namespace

const char* jointName(int index)
{
  if (index < 0 || index >= kJointCount)
    return 0;
  return kJointNames[index];
}
}  // namespace nao_kinora
