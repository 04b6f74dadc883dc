#!/usr/bin/python3
"""Writes the pacing benchmark's data into a directory:
pace.txt, a recording of ROWS rows held ROW_SECONDS each, and pace.bag, the
joint messages that the node sends for it, stamped on the node's own schedule
(row 0 held 2 s, as the loader sets it), for `rosbag play`.

usage: make_pacing_data.py DIR ROWS ROW_SECONDS
"""
import math
import os
import struct
import sys

import rosbag
import rospy
from std_msgs.msg import Float32MultiArray

JOINTS = 22
FIRST_ROW_SECONDS = 2.0
MARKER = 1.0
BAG_START = rospy.Time(1000)


def as_float32(x):
    return struct.unpack('<f', struct.pack('<f', x))[0]


def joint_rows(rows, row_seconds):
    for r in range(rows):
        angles = [as_float32(0.5 * math.sin(0.01 * r + j)) for j in range(JOINTS)]
        yield angles + [as_float32(row_seconds)]


def main():
    out_dir, rows, row_seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
    stamp = BAG_START
    with open(os.path.join(out_dir, 'pace.txt'), 'w') as text, \
            rosbag.Bag(os.path.join(out_dir, 'pace.bag'), 'w') as bag:
        for r, row in enumerate(joint_rows(rows, row_seconds)):
            # %.9g gives back the same float32 when the node reads it.
            text.write(' '.join('%.9g' % v for v in row) + '\n')
            sent = row[:]
            if r == 0:
                sent[JOINTS] = FIRST_ROW_SECONDS
            bag.write('/jointAngleArray', Float32MultiArray(data=[MARKER] + sent), stamp)
            stamp += rospy.Duration.from_sec(sent[JOINTS])


if __name__ == '__main__':
    main()
