#!/usr/bin/env python3
"""Prints each nao_kinora_msgs/PersonPose heard on a topic (default
/person_pose) as one JSON line: its stamp, when it was heard (wall time),
frame, source, whether someone is in view and the landmarks as [x, y, z,
visibility]. Prints "ready" once subscribed; the flow reads the lines as
they come."""
import json
import sys
import time

import rospy
from nao_kinora_msgs.msg import PersonPose


def heard(pose):
    print(json.dumps({
        'stamp': pose.header.stamp.to_sec(),
        'heard': time.time(),
        'frame': pose.header.frame_id,
        'source': pose.source,
        'in_view': pose.in_view,
        'landmarks': [[l.x, l.y, l.z, l.visibility] for l in pose.landmarks],
    }), flush=True)


def main():
    topic = sys.argv[1] if len(sys.argv) > 1 else '/person_pose'
    rospy.init_node('pose_listener', anonymous=True, disable_signals=True)
    rospy.Subscriber(topic, PersonPose, heard, queue_size=100)
    print('ready', flush=True)
    rospy.spin()


if __name__ == '__main__':
    main()
