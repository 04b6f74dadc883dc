#!/usr/bin/python3
"""Listens to a session played through the motion executor for the robot's
own driver (robot_bench.sh starts it) and, once the node's status says it
is over, prints how close each joint was to each row's angle at the row's
end, and how long the executor took from a row to its commands.

A row ends when the next row of its exercise comes, the last one when the
stop signal does, both as this listener receives them (ROS time); where the
robot was then is read from the driver's joint states, between the two
nearest (50 a second) in a straight line. The lag is the wall time from a
row's arrival here to the arrival here of the first command that comes after
it: the executor's own time and one more message passing.

    robot_bench.py LABEL
"""
import bisect
import struct
import sys
import threading
import time

import rospy
from nao_kinora_msgs.msg import SessionStatus
from rospy.msg import AnyMsg
from std_msgs.msg import Float32MultiArray, Int32

JOINTS = ['HeadYaw', 'HeadPitch', 'LShoulderPitch', 'LShoulderRoll', 'LElbowYaw', 'LElbowRoll',
          'RShoulderPitch', 'RShoulderRoll', 'RElbowYaw', 'RElbowRoll', 'LHipYawPitch', 'LHipRoll',
          'LHipPitch', 'LKneePitch', 'LAnklePitch', 'LAnkleRoll', 'RHipYawPitch', 'RHipRoll',
          'RHipPitch', 'RKneePitch', 'RAnklePitch', 'RAnkleRoll']

lock = threading.Lock()
rows = []      # (ROS time, wall time, 22 angles)
signals = []   # (ROS time, 0 or 1)
commands = []  # (wall time of arrival)
states = []    # (stamp, positions by column)
over = threading.Event()


def on_row(msg):
    with lock:
        rows.append((rospy.get_rostime().to_sec(), time.monotonic(), list(msg.data[1:23])))


def on_signal(msg):
    with lock:
        signals.append((rospy.get_rostime().to_sec(), msg.data))


def on_command(_msg):
    with lock:
        commands.append(time.monotonic())


def joint_state(data):
    """sensor_msgs/JointState's stamp and positions by name, read from its bytes
    (Debian has no Python package of sensor_msgs)."""
    _seq, secs, nsecs, length = struct.unpack_from('<IIII', data, 0)
    at = 16 + length
    (count,) = struct.unpack_from('<I', data, at)
    at += 4
    names = []
    for _ in range(count):
        (length,) = struct.unpack_from('<I', data, at)
        names.append(data[at + 4:at + 4 + length].decode())
        at += 4 + length
    (count,) = struct.unpack_from('<I', data, at)
    positions = struct.unpack_from('<%dd' % count, data, at + 4)
    return secs + 1e-9 * nsecs, dict(zip(names, positions))


def on_state(msg):
    stamp, where = joint_state(msg._buff)
    with lock:
        states.append((stamp, [where[j] for j in JOINTS]))


def on_status(msg):
    if msg.phase == SessionStatus.PHASE_OVER:
        over.set()


def position(t):
    stamps = [s[0] for s in states]
    k = bisect.bisect_left(stamps, t)
    if k == 0 or k == len(states):
        return None
    (t0, p0), (t1, p1) = states[k - 1], states[k]
    w = (t - t0) / (t1 - t0) if t1 > t0 else 0.0
    return [a + w * (b - a) for a, b in zip(p0, p1)]


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(p * len(values)))] if values else float('nan')


def main():
    label = sys.argv[1] if len(sys.argv) > 1 else ''
    rospy.init_node('robot_bench', anonymous=True)
    rospy.Subscriber('/jointAngleArray', Float32MultiArray, on_row, queue_size=1000, tcp_nodelay=True)
    rospy.Subscriber('/motionStartStop', Int32, on_signal, queue_size=10, tcp_nodelay=True)
    rospy.Subscriber('/joint_angles', AnyMsg, on_command, queue_size=1000, tcp_nodelay=True)
    rospy.Subscriber('/joint_states', AnyMsg, on_state, queue_size=1000, tcp_nodelay=True)
    rospy.Subscriber('/nao_kinora/status', SessionStatus, on_status, queue_size=10)
    while not over.wait(0.5):
        if rospy.is_shutdown():
            return 1
    time.sleep(1.0)  # the last joint states
    with lock:
        errors, lags, worst = [], [], []
        signal_times = [t for t, s in signals if s == 1]
        for k, (t, wall, angles) in enumerate(rows):
            later = [r[0] for r in rows[k + 1:k + 2]]
            stop = next((s for s in signal_times if s >= t), None)
            end = later[0] if later and (stop is None or later[0] <= stop) else stop
            where = position(end) if end is not None else None
            if where:
                errors += [abs(w - a) for w, a in zip(where, angles)]
                worst.append((max(abs(w - a) for w, a in zip(where, angles)), t, end))
            first = bisect.bisect_left(commands, wall)
            if first < len(commands):
                lags.append(1000 * (commands[first] - wall))
    print('%s: %d rows, %d joint states; at each row\'s end each joint off by p50 %.4f, p99 %.4f, at most %.4f rad; '
          'lag from row to command p50 %.2f ms, p99 %.2f ms' % (
              label, len(rows), len(states), percentile(errors, 0.5), percentile(errors, 0.99), max(errors),
              percentile(lags, 0.5), percentile(lags, 0.99)), flush=True)
    # The rows furthest off, with when they came and ended (ROS time), to look for in the logs.
    for error, start, end in sorted(worst, reverse=True)[:3]:
        print('  %.4f rad off: the row that came at %.3f, ending at %.3f' % (error, start, end), flush=True)
    return 0


if __name__ == '__main__':
    sys.exit(main())
