#!/usr/bin/python3
"""Writes the nine sample exercise recordings, one per place in a session.

    make_exercises.py [OUTPUT_DIR]      (default: the folder of this script)

Each recording is a text file of joint rows: 22 NAO joint angles in radians, in
the order of the nao_msgs/AllAngles fields 0..21, then the row's duration
(0.04 s, 25 rows per second). Row 0 is the exercise's starting pose: the node
holds it 2 s, time enough for the robot to get there from the last pose.

The motions are smooth: each exercise repeats one movement with a raised-cosine
or hold-and-return profile, each repetition a little different, plus a faint
slow sway on every joint. A fixed seed makes every run write the same files.
Every angle stays at least MARGIN inside the robot's joint limits, and no
joint moves faster than it can turn even at the fastest speed the node plays
(FASTEST); a motion that would not is refused rather than clipped. The
limits are read from the robot's model (nao_kinora_description), beside this
package both in the repository and once installed.
"""

import math
import os
import random
import sys
import xml.etree.ElementTree as ElementTree

ROWS_PER_SECOND = 25
DURATION = "0.04"
SEED = 20240611
MARGIN = 0.1  # rad kept clear of every joint limit
SWAY = 0.006  # rad, the faint motion of joints that the exercise does not use

(HEAD_YAW, HEAD_PITCH,
 L_SHOULDER_PITCH, L_SHOULDER_ROLL, L_ELBOW_YAW, L_ELBOW_ROLL,
 R_SHOULDER_PITCH, R_SHOULDER_ROLL, R_ELBOW_YAW, R_ELBOW_ROLL,
 L_HIP_YAW_PITCH, L_HIP_ROLL, L_HIP_PITCH, L_KNEE_PITCH, L_ANKLE_PITCH, L_ANKLE_ROLL,
 R_HIP_YAW_PITCH, R_HIP_ROLL, R_HIP_PITCH, R_KNEE_PITCH, R_ANKLE_PITCH, R_ANKLE_ROLL) = range(22)

FASTEST = 2.0  # the node's fastest speed for a patient: every pause halved

# The robot's joints as the recordings' columns name them.
JOINT_NAMES = [
    "HeadYaw", "HeadPitch",
    "LShoulderPitch", "LShoulderRoll", "LElbowYaw", "LElbowRoll",
    "RShoulderPitch", "RShoulderRoll", "RElbowYaw", "RElbowRoll",
    "LHipYawPitch", "LHipRoll", "LHipPitch", "LKneePitch", "LAnklePitch", "LAnkleRoll",
    "RHipYawPitch", "RHipRoll", "RHipPitch", "RKneePitch", "RAnklePitch", "RAnkleRoll",
]
MODEL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "nao_kinora_description", "urdf",
                     "nao.urdf")


def read_limits(model):
    """(lower, upper, max speed) of each column's joint, from the model."""
    joints = {j.get("name"): j.find("limit") for j in ElementTree.parse(model).getroot().iter("joint")}
    return [(float(joints[name].get("lower")), float(joints[name].get("upper")), float(joints[name].get("velocity")))
            for name in JOINT_NAMES]


LIMITS = read_limits(MODEL)

STAND = [
    0.0, 0.0,
    1.45, 0.15, -1.2, -0.4,
    1.45, -0.15, 1.2, 0.4,
    0.0, 0.0, -0.45, 0.7, -0.35, 0.0,
    0.0, 0.0, -0.45, 0.7, -0.35, 0.0,
]


def changed(pose, **joints):
    """A copy of pose with the named joints (upper-case constant names) set."""
    result = list(pose)
    for name, value in joints.items():
        result[globals()[name]] = value
    return result


HANDS_ON_WAIST = changed(STAND, L_SHOULDER_PITCH=1.55, L_SHOULDER_ROLL=0.55, L_ELBOW_YAW=-0.6, L_ELBOW_ROLL=-1.3,
                         R_SHOULDER_PITCH=1.55, R_SHOULDER_ROLL=-0.55, R_ELBOW_YAW=0.6, R_ELBOW_ROLL=1.3)
ARMS_DOWN = changed(STAND, L_ELBOW_ROLL=-0.3, R_ELBOW_ROLL=0.3)
UPPER_ARMS_DOWN = changed(STAND, L_SHOULDER_PITCH=1.3, L_ELBOW_YAW=-1.5, R_SHOULDER_PITCH=1.3, R_ELBOW_YAW=1.5)
SIT = [
    0.0, 0.1,
    0.9, 0.12, -1.0, -0.5,
    0.9, -0.12, 1.0, 0.5,
    0.0, 0.1, -1.1, 1.6, -0.4, 0.0,
    0.0, -0.1, -1.1, 1.6, -0.4, 0.0,
]
RIGHT_ARM_FORWARD = changed(SIT, R_SHOULDER_PITCH=0.3, R_SHOULDER_ROLL=-0.1, R_ELBOW_YAW=1.0, R_ELBOW_ROLL=0.4)
LEFT_ARM_FORWARD = changed(SIT, L_SHOULDER_PITCH=0.3, L_SHOULDER_ROLL=0.1, L_ELBOW_YAW=-1.0, L_ELBOW_ROLL=-0.4)


def smoothstep(x):
    x = min(max(x, 0.0), 1.0)
    return x * x * (3 - 2 * x)


def raised_cosine(x):
    """0 -> 1 -> 0 over one repetition, x in [0, 1]."""
    return 0.5 * (1 - math.cos(2 * math.pi * x))


def hold_and_return(x):
    """Go out over the first quarter, hold, come back, rest for the last quarter."""
    if x < 0.25:
        return smoothstep(x / 0.25)
    if x < 0.5:
        return 1.0
    return 1.0 - smoothstep((x - 0.5) / 0.25)


def sine(x):
    """One full turn each way: 0 -> 1 -> 0 -> -1 -> 0."""
    return math.sin(2 * math.pi * x)


class Repetitions:
    """One movement repeated back to back from start to end (seconds), each
    repetition with its own length and depth."""

    def __init__(self, rng, start, end, period, profile, jitter=0.08):
        count = max(1, round((end - start) / period))
        lengths = [1 + rng.uniform(-jitter, jitter) for _ in range(count)]
        scale = (end - start) / sum(lengths)
        self.starts = [start]
        for length in lengths:
            self.starts.append(self.starts[-1] + length * scale)
        self.depths = [1 - rng.uniform(0, jitter) for _ in range(count)]
        self.profile = profile

    def __call__(self, t):
        for k in range(len(self.depths)):
            begin, end = self.starts[k], self.starts[k + 1]
            if begin <= t < end:
                return self.depths[k] * self.profile((t - begin) / (end - begin))
        return 0.0


class Sway:
    """A faint, slow, smooth wandering of every joint around its pose."""

    def __init__(self, rng):
        self.waves = [[(rng.uniform(0.05, 0.3), rng.uniform(0, 2 * math.pi)) for _ in range(3)]
                      for _ in range(len(LIMITS))]

    def __call__(self, joint, t):
        if joint == R_HIP_YAW_PITCH:  # one motor turns both hips' yaw-pitch joints
            joint = L_HIP_YAW_PITCH
        return SWAY / 3 * sum(math.sin(2 * math.pi * f * t + phase) for f, phase in self.waves[joint])


class Exercise:
    """A pose, and movements: each a time profile (0..1) and the change in
    angle of each joint it moves at full depth."""

    def __init__(self, file_name, rows, pose):
        self.file_name = file_name
        self.rows = rows
        self.pose = pose
        self.moves = []

    def seconds(self):
        return self.rows / ROWS_PER_SECOND

    def move(self, profile, **changes):
        self.moves.append((profile, {globals()[name]: delta for name, delta in changes.items()}))
        return self

    def angles(self, t, sway):
        row = [self.pose[j] + sway(j, t) for j in range(len(LIMITS))]
        for profile, changes in self.moves:
            depth = profile(t)
            for joint, delta in changes.items():
                row[joint] += depth * delta
        return row


def exercises(rng):
    """The exercise of each place in a session, in playing order."""
    def reps(ex, period, profile, lead_in=1.0, lead_out=1.0):
        return Repetitions(rng, lead_in, ex.seconds() - lead_out, period, profile)

    left = Exercise("01_hands_on_waist_left.txt", 900, HANDS_ON_WAIST)
    left.move(reps(left, 5.0, hold_and_return), L_HIP_ROLL=-0.27, R_HIP_ROLL=-0.27,
              L_ANKLE_ROLL=0.27, R_ANKLE_ROLL=0.27, HEAD_YAW=0.1)

    right = Exercise("02_hands_on_waist_right.txt", 900, HANDS_ON_WAIST)
    right.move(reps(right, 5.0, hold_and_return), L_HIP_ROLL=0.27, R_HIP_ROLL=0.27,
               L_ANKLE_ROLL=-0.27, R_ANKLE_ROLL=-0.27, HEAD_YAW=-0.1)

    arms = Exercise("03_arms_to_the_side.txt", 960, ARMS_DOWN)
    arms.move(reps(arms, 6.0, hold_and_return), L_SHOULDER_ROLL=1.0, R_SHOULDER_ROLL=-1.0,
              L_ELBOW_ROLL=0.15, R_ELBOW_ROLL=-0.15, HEAD_PITCH=-0.08)

    elbows = Exercise("04_seated_elbows.txt", 780, UPPER_ARMS_DOWN)
    elbows.move(reps(elbows, 3.5, raised_cosine), L_ELBOW_ROLL=-0.95, R_ELBOW_ROLL=0.95,
                L_SHOULDER_PITCH=-0.12, R_SHOULDER_PITCH=-0.12)

    sits = Exercise("05_nao_sits.txt", 250, STAND)
    down = lambda t: smoothstep((t - 1.0) / 7.0)
    sits.move(down, **{name: SIT[globals()[name]] - STAND[globals()[name]] for name in (
        "HEAD_PITCH", "L_SHOULDER_PITCH", "L_SHOULDER_ROLL", "L_ELBOW_YAW", "L_ELBOW_ROLL",
        "R_SHOULDER_PITCH", "R_SHOULDER_ROLL", "R_ELBOW_YAW", "R_ELBOW_ROLL",
        "L_HIP_ROLL", "L_HIP_PITCH", "L_KNEE_PITCH", "L_ANKLE_PITCH",
        "R_HIP_ROLL", "R_HIP_PITCH", "R_KNEE_PITCH", "R_ANKLE_PITCH")})

    right_knee = Exercise("06_right_knee.txt", 600, SIT)
    right_knee.move(reps(right_knee, 4.5, hold_and_return), R_KNEE_PITCH=-1.2, R_ANKLE_PITCH=0.5, R_HIP_PITCH=0.1)

    left_knee = Exercise("07_left_knee.txt", 600, SIT)
    left_knee.move(reps(left_knee, 4.5, hold_and_return), L_KNEE_PITCH=-1.2, L_ANKLE_PITCH=0.5, L_HIP_PITCH=0.1)

    # The recordings have no wrist joint: turning the forearm (elbow yaw) stands for it.
    right_wrist = Exercise("08_right_wrist.txt", 600, RIGHT_ARM_FORWARD)
    right_wrist.move(reps(right_wrist, 3.0, sine), R_ELBOW_YAW=0.85, R_ELBOW_ROLL=0.1)

    left_wrist = Exercise("09_left_wrist.txt", 600, LEFT_ARM_FORWARD)
    left_wrist.move(reps(left_wrist, 3.0, sine), L_ELBOW_YAW=-0.85, L_ELBOW_ROLL=-0.1)

    return [left, right, arms, elbows, sits, right_knee, left_knee, right_wrist, left_wrist]


def check_limits(file_name, row_number, row, before):
    """The row's angles within the limits, and its change from the row before
    within each joint's speed at FASTEST (the row's own duration carries it)."""
    for joint, (low, high, speed) in enumerate(LIMITS):
        if not low + MARGIN <= row[joint] <= high - MARGIN:
            sys.exit("%s row %d: joint %d at %.4f rad is not %.2f rad inside [%.4f, %.4f]"
                     % (file_name, row_number, joint, row[joint], MARGIN, low, high))
        asked = abs(row[joint] - before[joint]) * ROWS_PER_SECOND * FASTEST
        if asked > speed:
            sys.exit("%s row %d: joint %d at %.2f rad/s at speed %g, above its %.3f rad/s"
                     % (file_name, row_number, joint, asked, FASTEST, speed))


def write(exercise, sway, out_dir):
    lines = []
    before = None
    for k in range(exercise.rows):
        row = exercise.angles(k / ROWS_PER_SECOND, sway)
        check_limits(exercise.file_name, k, row, before or row)  # row 0: no change to check
        before = row
        lines.append(" ".join("%.4f" % a for a in row) + " " + DURATION + "\n")
    with open(os.path.join(out_dir, exercise.file_name), "w", newline="\n") as f:
        f.writelines(lines)
    print("%s: %d rows, %.2f s" % (exercise.file_name, exercise.rows, exercise.seconds()))


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    rng = random.Random(SEED)
    for exercise in exercises(rng):
        write(exercise, Sway(rng), out_dir)


if __name__ == "__main__":
    main()
