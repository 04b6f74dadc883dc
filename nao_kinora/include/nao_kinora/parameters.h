// The node's private parameters, read once at start-up. A parameter of the
// wrong type is refused with one line naming it rather than ignored, since a
// default silently used in its place (another recording folder, no session
// log) would only show during the session.
#ifndef NAO_KINORA_PARAMETERS_H
#define NAO_KINORA_PARAMETERS_H

#include <string>

namespace nao_kinora
{
// Reads the private parameter name as text into value, when it is given. False,
// with an error naming it, when it is given but is not text: a bare number
// (_name:=123) arrives as one, and quoting it (_name:="'123'") makes it text.
bool readTextParam(const std::string& name, std::string& value);

// Reads the private parameter name as seconds (a number >= 0) into value, when
// it is given. False, with an error naming it, for anything else.
bool readSecondsParam(const std::string& name, double& value);

// Reads the private parameter name as a whole number into value, when it is
// given, and how it was given into given (left empty when it is not). False,
// with an error naming it, for anything but a whole number.
bool readWholeParam(const std::string& name, long& value, std::string& given);
}  // namespace nao_kinora

#endif  // NAO_KINORA_PARAMETERS_H
