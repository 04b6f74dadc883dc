// Reading the joint rows of a recording file, and where recording files are.
#ifndef NAO_KINORA_RECORDING_H
#define NAO_KINORA_RECORDING_H

#include "nao_kinora/joint_row.h"

#include <istream>
#include <string>
#include <vector>

// Directory that recording names are appended to, with nothing in between.
// Start-up may replace it (the ~recording_dir parameter); the loader only reads it.
extern std::string staticdisplaycommand2;

namespace nao_kinora
{
// Duration that row 0 is held, whatever the file says.
const float kFirstRowDuration = 2.0f;

// Reads the first 23 numbers of a line (classic locale) into row. False when the
// line does not hold 23 numbers: such a line ends a recording.
bool parseJointRow(const std::string& line, JointRow& row);

// How many numbers (0..23) the line starts with, read as parseJointRow reads them
// into row; parseJointRow holds when this is 23.
int parseJointValues(const std::string& line, JointRow& row);

// Appends to rows every line of in that holds a joint row, up to the first line
// that does not. True when such a line ended the run (it is then in stopLine);
// false when the stream ran out first. Row 0's duration is left as read.
bool readJointRows(std::istream& in, std::vector<JointRow>& rows, std::string& stopLine);
}  // namespace nao_kinora

#endif  // NAO_KINORA_RECORDING_H
