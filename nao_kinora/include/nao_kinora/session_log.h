// Optional audit trail of a session: one JSON object per line (JSON Lines),
// each stamped with the ROS time, flushed as it is written so a crash loses
// nothing already logged. Without an open log every call does nothing.
#ifndef NAO_KINORA_SESSION_LOG_H
#define NAO_KINORA_SESSION_LOG_H

#include <nlohmann/json.hpp>

#include <string>

namespace nao_kinora
{
// Opens the file named by the private parameter ~session_log for appending,
// when the parameter is given. False (with an error on standard error) when
// the parameter is not text or the file cannot be opened.
bool openSessionLog();

bool sessionLogOpen();

// Appends {"time": <ROS time in s>, "event": event, ...fields}. Safe from any thread.
void logEvent(const std::string& event, const nlohmann::ordered_json& fields = nlohmann::ordered_json::object());
}  // namespace nao_kinora

#endif  // NAO_KINORA_SESSION_LOG_H
