// The node's private parameters, read once at start-up. A parameter of the
// wrong type is refused with one line naming it rather than ignored, since a
// default silently used in its place (another recording folder, no session
// log) would only show during the session.
#ifndef NAO_KINORA_PARAMETERS_H
#define NAO_KINORA_PARAMETERS_H

#include <string>

namespace nao_kinora
{
// Reads the private parameter name as text into value, when it is given. Given
// on the command line as digits (_name:=123), it is the text typed; given
// otherwise as a number or a truth value, it is refused: false, with an error
// naming it.
bool readTextParam(const std::string& name, std::string& value);

// Reads the private parameter name as seconds (a number >= 0) into value, when
// it is given. False, with an error naming it, for anything else.
bool readSecondsParam(const std::string& name, double& value);

// Reads the private parameter name as a number (whole or not, finite) into
// value, when it is given. False, with an error naming it, for anything else.
bool readNumberParam(const std::string& name, double& value);

// Reads the private parameter name as a whole number into value, when it is
// given, and how it was given into given (left empty when it is not). False,
// with an error naming it, for anything but a whole number.
bool readWholeParam(const std::string& name, long& value, std::string& given);

// Reads the private parameter name as a number from least to most into value,
// when it is given. False, with an error naming it and what it must be
// (expected, e.g. "rows per second"), for anything else.
bool readNumberParam(const std::string& name, double& value, double least, double most, const std::string& expected);

// Reads the private parameter name as true or false into value, when it is
// given. False, with an error naming it, for anything else.
bool readTruthParam(const std::string& name, bool& value);
}  // namespace nao_kinora

#endif  // NAO_KINORA_PARAMETERS_H
