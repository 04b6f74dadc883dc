#!/usr/bin/python3
"""Writes a photograph as a Y4M video of one frame (4:2:0, BT.601), the form
chromium's fake camera plays in a loop (--use-file-for-fake-video-capture).

    photo_to_y4m.py PHOTO.png OUT.y4m
"""
import sys

from PIL import Image


def main(photo, out):
    image = Image.open(photo).convert('RGB')
    # 4:2:0 needs even sides.
    width, height = image.size[0] & ~1, image.size[1] & ~1
    image = image.crop((0, 0, width, height))
    y, u, v = image.convert('YCbCr').split()
    half = (width // 2, height // 2)
    with open(out, 'wb') as f:
        f.write(b'YUV4MPEG2 W%d H%d F30:1 Ip A1:1 C420jpeg\n' % (width, height))
        f.write(b'FRAME\n')
        f.write(y.tobytes())
        f.write(u.resize(half, Image.BILINEAR).tobytes())
        f.write(v.resize(half, Image.BILINEAR).tobytes())


if __name__ == '__main__':
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
