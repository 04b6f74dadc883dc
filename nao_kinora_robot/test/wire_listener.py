#!/usr/bin/python3
"""Listens on /joint_angles as a subscriber that knows the driver's message
only by its name and checksum: rospy.AnyMsg takes each message as it comes,
with the publisher's connection header, and its fields are read from the raw
bytes by the message's published definition (Header header, string[]
joint_names, float32[] joint_angles, float32 speed, uint8 relative).

Prints "connected" once a publisher is, then one JSON object per message:
type, md5sum, seq, stamp (secs, nsecs), frame_id, joint_names, joint_angles,
speed, relative, and the bytes left over (0 for a message read whole).

    /usr/bin/python3 wire_listener.py
"""
import json
import struct
import sys
import time

import rospy


class Reader:
    def __init__(self, data):
        self.data = data
        self.at = 0

    def take(self, fmt):
        values = struct.unpack_from('<' + fmt, self.data, self.at)
        self.at += struct.calcsize('<' + fmt)
        return values

    def string(self):
        (length,) = self.take('I')
        text = self.data[self.at:self.at + length].decode('utf-8')
        self.at += length
        return text


def decode(data):
    r = Reader(data)
    seq, secs, nsecs = r.take('III')
    frame_id = r.string()
    (count,) = r.take('I')
    names = [r.string() for _ in range(count)]
    (count,) = r.take('I')
    angles = list(r.take('%df' % count))
    (speed,) = r.take('f')
    (relative,) = r.take('B')
    return {'seq': seq, 'stamp': [secs, nsecs], 'frame_id': frame_id, 'joint_names': names,
            'joint_angles': angles, 'speed': speed, 'relative': relative, 'left_over': len(data) - r.at}


def on_message(msg):
    header = msg._connection_header
    fields = decode(msg._buff)
    fields.update({'type': header['type'], 'md5sum': header['md5sum']})
    print(json.dumps(fields), flush=True)


def main():
    rospy.init_node('wire_listener', anonymous=True, disable_signals=True)
    sub = rospy.Subscriber('/joint_angles', rospy.AnyMsg, on_message, queue_size=1000)
    deadline = time.monotonic() + 30.0
    while sub.get_num_connections() == 0 and time.monotonic() < deadline:
        time.sleep(0.01)
    print('connected' if sub.get_num_connections() else 'no publisher', flush=True)
    try:
        while not rospy.is_shutdown():
            time.sleep(0.05)
    except KeyboardInterrupt:
        pass
    rospy.signal_shutdown('done')


if __name__ == '__main__':
    sys.exit(main())
