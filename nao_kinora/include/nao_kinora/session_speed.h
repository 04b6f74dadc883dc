// The speed of the rows for this patient: ~speed at start-up, ~set_speed during
// the session. Each row's pause but row 0's is its duration divided by the
// speed; cues keep their pauses and their rows. Set from the operator's thread,
// read by the main thread once per row.
#ifndef NAO_KINORA_SESSION_SPEED_H
#define NAO_KINORA_SESSION_SPEED_H

#include "nao_kinora/joint_row.h"
#include "nao_kinora/operator_state.h"

#include <functional>

namespace nao_kinora
{
const double kNormalSpeed = 1.0;  // the recordings' own pace
const double kSlowestSpeed = 0.25;
const double kFastestSpeed = 2.0;

// Whether speed is one the node plays at (NaN is not).
bool speedInRange(double speed);

// Reads the private parameter ~speed, when given. False, with one error naming
// it, for anything but a number from kSlowestSpeed to kFastestSpeed.
bool readSpeedParam();

// The speed in force (any thread).
double currentSpeed();

// The operator's ~set_speed: takes effect from the next row on, is logged
// ("speed") and shows on ~status. Refused, changing nothing, out of range or
// once the session is over, or, with the joint limits in force, when a
// recording still to play would move a joint faster than it can turn
// (joint_limit_guard.h).
Answer requestSpeed(double speed);

// Runs check with the speed in force while no ~set_speed can change it, so
// that a recording checked at that speed cannot miss a change made meanwhile.
bool withSpeedHeld(const std::function<bool(double)>& check);

// Logs the start-up speed when it is not the normal one, so that the session
// log tells every speed the rows went out at.
void logStartSpeed();

// Back to the normal speed (tests).
void resetSpeed();

// Row index of a recording as sent at speed: its duration column (the pause
// after it, and the time the motion executor is given for the move) divided by
// the speed, but for row 0, whose 2 s are the start's. At kNormalSpeed the row
// is returned as it is, so that the normal pace stays exact to the bit.
JointRow rowAtSpeed(const JointRow& row, int index, double speed);
}  // namespace nao_kinora

#endif  // NAO_KINORA_SESSION_SPEED_H
