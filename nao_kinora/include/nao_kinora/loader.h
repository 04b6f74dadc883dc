// Loading the recording in progress into the run variable play_joints.
#ifndef NAO_KINORA_LOADER_H
#define NAO_KINORA_LOADER_H

#include <string>

// Replaces play_joints by the rows of staticdisplaycommand2 + argstring.
// Row 0 is held kFirstRowDuration, whatever the file says.
void loadRecording(const std::string& argstring);

#endif  // NAO_KINORA_LOADER_H
