// What the clinic's store accepts: each check returns "" or one line naming
// the field at fault and what it must be, for the page to show as it is.
#ifndef NAO_KINORA_CONSOLE_CLINIC_RULES_H
#define NAO_KINORA_CONSOLE_CLINIC_RULES_H

#include <string>
#include <vector>

namespace nao_kinora_console
{
const std::size_t kMaxCodeLength = 32;
const std::size_t kMaxNoteLength = 2000;
const std::size_t kMaxPlanNameLength = 64;
const std::size_t kMaxPlanItems = 100;
const double kMinSpeed = 0.25;
const double kMaxSpeed = 2.0;

// Letters, digits, '-' and '_', 1 to 32 of them: a pseudonym such as P-0007.
std::string checkPatientCode(const std::string& code);
std::string checkSpeed(double speed);
std::string checkPlanName(const std::string& name);
// A recording of the library: a plain file name, no folder.
std::string checkRecordingName(const std::string& name);
std::string checkPlanItems(const std::vector<std::string>& items);
// Free text of a patient or a check-in: valid UTF-8, at most 2000 bytes.
std::string checkNote(const std::string& field, const std::string& note);
// Effort (Borg CR10) or pain: 0 to 10, or -1 when not answered.
std::string checkRating(const std::string& field, int rating);
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_CLINIC_RULES_H
