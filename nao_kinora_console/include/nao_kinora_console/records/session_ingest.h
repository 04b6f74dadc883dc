// Turns the node's session log (JSON Lines, one stamped event a line) into a
// session's exercise records, event by event, so that a log can be read in
// pieces: the state between two pieces is kept with the session in the store.
#ifndef NAO_KINORA_CONSOLE_SESSION_INGEST_H
#define NAO_KINORA_CONSOLE_SESSION_INGEST_H

#include "nao_kinora_console/records/clinic_records.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace nao_kinora_console
{
// One session's records so far and what is still open in it.
struct SessionFold
{
  std::vector<ExerciseRecord> exercises;  // in the order they were loaded
  std::string outcome = "running";
  double firstTime = -1;  // log time of the first event; -1 before any
  double lastTime = -1;   // log time of the last event
  double endTime = -1;    // log time of the end; -1 while it runs
  double speed = 1.0;     // the speed in force
  bool endRequested = false;
  // Open spans, in log time; -1 when closed.
  double pausedSince = -1;
  int pausedExercise = 0;   // 0: a pause outside any exercise (the greeting)
  double startedAt = -1;    // the start signal of the exercise that plays
  double pausedInPlay = 0;  // paused seconds of the exercise that plays
  double waitSince = -1;    // the stop signal of the exercise whose tracking wait runs
  bool skipRequested = false;
  bool allRowsSent = false;
};

// An exercise record as exported (record_json.cpp).
nlohmann::json exerciseToJson(const ExerciseRecord& r);
// Its tracker's result as exported: null when none was logged; "follow"
// null when the person was not seen.
nlohmann::json trackingToJson(const ExerciseTracking& t);
// Speeds as stored and exported: [{"speed": S, "at": seconds or null}, ...];
// a bare number (a record from before times were kept) reads with at -1.
nlohmann::json speedsToJson(const std::vector<SpeedAt>& speeds);
std::vector<SpeedAt> speedsFromJson(const std::string& text);
// The fold's open state, without its exercises (the store keeps those as
// rows), as kept with its session between two reads of the log.
nlohmann::json foldToJson(const SessionFold& fold);
// The open state read back into fold, its exercises left as they are; false
// (fold unchanged) when the text is not one foldToJson wrote.
bool foldFromJson(const std::string& text, SessionFold& fold);

// Applies one event of the log. Events this does not know are left alone,
// so newer nodes' logs still read.
void applyEvent(SessionFold& fold, const nlohmann::json& event);

// The whole lines of a log from byte offset on; a last line without its
// newline is left for the next read (the node may be writing it).
struct LogPiece
{
  std::vector<nlohmann::json> events;  // lines that are not JSON objects are dropped
  int64_t nextOffset = 0;
  int skippedLines = 0;
  std::string error;  // the file could not be read
};
LogPiece readLogPiece(const std::string& path, int64_t offset);
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_SESSION_INGEST_H
