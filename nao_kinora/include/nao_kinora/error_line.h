// Warning and error lines that print whatever state ROS is in. rosconsole
// prints nothing once ros::shutdown() has run (a signal or a shutdown request
// from outside ends a program that way), so a program's last words after
// that go straight to standard error, in rosconsole's form.
#ifndef NAO_KINORA_ERROR_LINE_H
#define NAO_KINORA_ERROR_LINE_H

#include <string>

namespace nao_kinora
{
// text as ROS_ERROR would print it while ROS runs; otherwise
// "[ERROR] [WALLTIME]: text" on standard error.
void printError(const std::string& text);

// The same for ROS_WARN and "[ WARN] [WALLTIME]: text".
void printWarning(const std::string& text);
}  // namespace nao_kinora

#endif  // NAO_KINORA_ERROR_LINE_H
