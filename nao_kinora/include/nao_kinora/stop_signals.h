// Ctrl-C (SIGINT) and SIGTERM end the node cleanly with status 0 in every
// phase, including the start-up checks, before roscpp has a handler of its
// own (and while ros::init may still be waiting for the master).
#ifndef NAO_KINORA_STOP_SIGNALS_H
#define NAO_KINORA_STOP_SIGNALS_H

namespace nao_kinora
{
// Until the node object exists: a signal ends the process at once with status
// 0. Nothing is advertised yet and nothing is half written (the session log
// flushes every line), so there is nothing to clean up.
void stopAtOnceOnSignals();

// Once the node object exists: SIGTERM asks roscpp to shut down, as its own
// handler does for SIGINT, so the session ends through the usual path.
void stopThroughRosOnSignals();
}  // namespace nao_kinora

#endif  // NAO_KINORA_STOP_SIGNALS_H
