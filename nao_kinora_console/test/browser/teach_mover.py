#!/usr/bin/python3
"""Moves the simulated robot for the teaching browser test: the left arm
raised and lowered once, row by row on jointAngleArray at 25 rows a second
of ROS time, as a motion tool would drive the robot while a therapist
records it.

    teach_mover.py SECONDS
"""
import math
import sys
import time

import rospy
from std_msgs.msg import Float32MultiArray, Int32

RATE = 25.0
MARKER = 1.0
LEFT_SHOULDER_PITCH = 2
RIGHT_SHOULDER_PITCH = 6
REST = 1.5
LEFT_ELBOW_ROLL = 5
RIGHT_ELBOW_ROLL = 9
ELBOW_BENT = 0.5


def main():
    seconds = float(sys.argv[1])
    rospy.init_node('teach_mover', anonymous=True)
    rows = rospy.Publisher('/jointAngleArray', Float32MultiArray, queue_size=100)
    start_stop = rospy.Publisher('/motionStartStop', Int32, queue_size=1, latch=True)
    # Wall time: the connection takes as long as the machine needs, whatever the clock's speed.
    deadline = time.monotonic() + 15.0
    while rows.get_num_connections() == 0 and not rospy.is_shutdown() and time.monotonic() < deadline:
        time.sleep(0.01)
    if rows.get_num_connections() == 0:
        sys.exit('teach_mover: the simulated robot takes no rows')
    start_stop.publish(Int32(0))
    rate = rospy.Rate(RATE)
    count = int(seconds * RATE)
    for i in range(count + 1):
        angles = [0.0] * 22
        angles[RIGHT_SHOULDER_PITCH] = REST  # both arms down, as the session's exercise ends
        angles[LEFT_ELBOW_ROLL] = -ELBOW_BENT  # a straight elbow is past its range
        angles[RIGHT_ELBOW_ROLL] = ELBOW_BENT
        # Down from the rest pose and back up: 1.5 rad to 0.3 rad and back.
        angles[LEFT_SHOULDER_PITCH] = REST - 0.6 * (1.0 - math.cos(2.0 * math.pi * i / count))
        rows.publish(Float32MultiArray(data=[MARKER] + angles + [1.0 / RATE]))
        rate.sleep()
    start_stop.publish(Int32(1))
    rospy.sleep(0.5)
    print('teach_mover: %d rows sent' % (count + 1))


if __name__ == '__main__':
    main()
