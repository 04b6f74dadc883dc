#!/usr/bin/env python3
"""Publishes sim_clock's ~hold from the lines on its standard input: "hold"
stops the simulated clock, "run" lets it run on. Started once, before a flow
needs it, so that a hold then takes effect at once (a rostopic started at
that moment would take a second or more). Prints "ready" once the clock
listens."""
import sys

import rospy
from std_msgs.msg import Bool


def main():
    topic = sys.argv[1] if len(sys.argv) > 1 else '/sim_clock/hold'
    rospy.init_node('clock_holder', anonymous=True, disable_signals=True)
    publisher = rospy.Publisher(topic, Bool, queue_size=10)
    while publisher.get_num_connections() == 0 and not rospy.is_shutdown():
        rospy.rostime.wallsleep(0.05)
    print('ready', flush=True)
    for line in sys.stdin:
        publisher.publish(Bool(data=line.strip() == 'hold'))


if __name__ == '__main__':
    main()
