// Streams the recording in play_joints to the robot, one joint row per call.
#ifndef NAO_KINORA_PLAYBACK_H
#define NAO_KINORA_PLAYBACK_H

#include "nao_kinora/node_endpoints.h"

// One playback step. The first call for a recording (tempcounter -1) also waits
// for the motion executor and the audio player, sends the start signal and the
// recording's opening cues. The call that sends the last row sets systemstate
// to motion over.
void kinora(NaoKinora& obj);

#endif  // NAO_KINORA_PLAYBACK_H
