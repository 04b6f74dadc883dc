#include "nao_kinora_console/records/tracking_words.h"

#include <cctype>
#include <cmath>

namespace nao_kinora_console
{
namespace
{
std::string degrees(double value)
{
  return std::to_string(std::lround(value)) + "°";
}
}  // namespace

std::string jointTitle(const std::string& joint)
{
  std::string title = joint;
  if (!title.empty())
    title[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(title[0])));
  return title;
}

std::string rangeWords(const JointRange& range)
{
  return jointTitle(range.joint) + " " + (range.seen ? degrees(range.person) : "not seen") + " (robot " +
         degrees(range.robot) + ")";
}

std::string trackingWords(const ExerciseTracking& tracking)
{
  if (!tracking.present)
    return "";
  if (!tracking.seen)
    return "not seen";
  std::string words;
  for (const JointRange& j : tracking.joints)
    words += (words.empty() ? "" : " · ") + rangeWords(j);
  if (tracking.follow >= 0)
    words += (words.empty() ? "" : " · ") + std::string("follow ") + std::to_string(std::lround(tracking.follow));
  return words;
}

std::string rangesWords(const std::vector<JointRange>& joints)
{
  std::string words;
  for (const JointRange& j : joints)
    words += (words.empty() ? "" : "; ") + rangeWords(j);
  return words;
}
}  // namespace nao_kinora_console
