#include "nao_kinora_console/records/clinic_rules.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>

namespace nao_kinora_console
{
namespace
{
bool codeCharacter(char c)
{
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

bool validUtf8(const std::string& text)
{
  try
  {
    (void)nlohmann::json(text).dump();
    return true;
  }
  catch (const nlohmann::json::exception&)
  {
    return false;
  }
}

bool hasControl(const std::string& text)
{
  for (char c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
      return true;
  return false;
}
}  // namespace

std::string checkPatientCode(const std::string& code)
{
  if (code.empty())
    return "patient code: empty; choose a code such as P-0007 (not a name)";
  if (code.size() > kMaxCodeLength)
    return "patient code: " + std::to_string(code.size()) + " characters; at most 32";
  for (char c : code)
    if (!codeCharacter(c))
      return "patient code: only letters, digits, '-' and '_' (no spaces or other signs)";
  return "";
}

std::string checkSpeed(double speed)
{
  if (std::isfinite(speed) && speed >= kMinSpeed && speed <= kMaxSpeed)
    return "";
  char text[64];
  std::snprintf(text, sizeof text, "speed: %g; from 0.25 to 2.0", speed);
  return text;
}

std::string checkPlanName(const std::string& name)
{
  if (name.empty())
    return "plan name: empty; give it a name such as \"week 1\"";
  if (name.size() > kMaxPlanNameLength)
    return "plan name: " + std::to_string(name.size()) + " bytes; at most 64";
  if (!validUtf8(name) || hasControl(name))
    return "plan name: not plain text (invalid UTF-8 or control characters)";
  return "";
}

std::string checkRecordingName(const std::string& name)
{
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos || name.size() > 255 ||
      !validUtf8(name) || hasControl(name))
    return "recording: [" + name + "] is not a file name of the library (no folder, at most 255 bytes)";
  return "";
}

std::string checkPlanItems(const std::vector<std::string>& items)
{
  if (items.size() > kMaxPlanItems)
    return "plan exercises: " + std::to_string(items.size()) + "; at most 100";
  for (const std::string& item : items)
  {
    const std::string why = checkRecordingName(item);
    if (!why.empty())
      return why;
  }
  return "";
}

std::string checkNote(const std::string& field, const std::string& note)
{
  if (note.size() > kMaxNoteLength)
    return field + ": " + std::to_string(note.size()) + " bytes; at most 2000";
  if (!validUtf8(note))
    return field + ": not valid UTF-8 text";
  return "";
}

std::string checkRating(const std::string& field, int rating)
{
  if (rating >= -1 && rating <= 10)
    return "";
  return field + ": " + std::to_string(rating) + "; from 0 to 10, or none";
}
}  // namespace nao_kinora_console
