// Writing a recording file that the node loads: one joint row per line, the
// numbers in the classic locale with the fewest digits that read back as the
// same floats, and the file put in place whole or not at all.
#ifndef NAO_KINORA_RECORDING_WRITER_H
#define NAO_KINORA_RECORDING_WRITER_H

#include "nao_kinora/joint_row.h"

#include <string>
#include <vector>

namespace nao_kinora
{
// One row as a line of the file, without the line end.
std::string formatJointRow(const JointRow& row);

// Writes rows to a temporary file in path's folder, flushes it to the disk and
// renames it to path, so that path holds the whole recording or what it held
// before. An existing path is refused unless overwrite. Returns "" when
// written, otherwise one line saying what went wrong, naming the file.
std::string writeRecording(const std::string& path, const std::vector<JointRow>& rows, bool overwrite);

// Whether a recording can be written to path: "" when so, otherwise why not
// (it exists and overwrite is false, or its folder is not writable). Checked
// before recording, so that nobody teaches an exercise for nothing.
std::string checkWritable(const std::string& path, bool overwrite);
}  // namespace nao_kinora

#endif  // NAO_KINORA_RECORDING_WRITER_H
