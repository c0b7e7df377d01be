#!/usr/bin/python3
"""Sets vivid's controls from inside the VM, through the V4L2 ioctls.

  vivid_control.py DEVICE describe                  input, format, pixel formats
  vivid_control.py DEVICE input N                   choose the video input
  vivid_control.py DEVICE set NAME=VALUE...         VALUE a number or @menu item
  vivid_control.py DEVICE follow LOG FIFO READY RULE...
      copies the lines from FIFO to LOG; a RULE TEXT#N:NAME=VALUE sets the
      control when the N-th line holding TEXT arrives. READY is created once
      the follower listens (Python starts slowly in an emulated machine).

The follow mode sits on Noctra's stderr and changes the picture at known
moments of the recording, so that the frames show when they were taken.
"""
import fcntl
import os
import struct
import sys

VIDIOC_G_FMT = 0xC0D05604
VIDIOC_ENUM_FMT = 0xC0405602
VIDIOC_G_INPUT = 0x80045626
VIDIOC_S_INPUT = 0xC0045627
VIDIOC_S_CTRL = 0xC008561C
VIDIOC_QUERYCTRL = 0xC0445624
VIDIOC_QUERYMENU = 0xC02C5625
CTRL_FLAG_NEXT_CTRL = 0x80000000
BUF_TYPE_VIDEO_CAPTURE = 1
FIELDS = {1: "none", 2: "top", 3: "bottom", 4: "interlaced", 5: "seq_tb", 6: "seq_bt",
          7: "alternate", 8: "interlaced_tb", 9: "interlaced_bt"}


def controls(fd):
    found, cid = {}, 0
    while True:
        buf = bytearray(struct.pack("<II32siiiiI8x", cid | CTRL_FLAG_NEXT_CTRL, 0, b"", 0, 0, 0, 0, 0))
        try:
            fcntl.ioctl(fd, VIDIOC_QUERYCTRL, buf)
        except OSError:
            return found
        cid, ctype, name, minimum, maximum = struct.unpack_from("<II32sii", buf)
        found[name.split(b"\0")[0].decode()] = (cid, ctype, minimum, maximum)


def menu_index(fd, cid, minimum, maximum, item):
    for index in range(minimum, maximum + 1):
        buf = bytearray(struct.pack("<II32sI", cid, index, b"", 0))
        try:
            fcntl.ioctl(fd, VIDIOC_QUERYMENU, buf)
        except OSError:
            continue
        if buf[8:40].split(b"\0")[0].decode() == item:
            return index
    raise SystemExit("no menu item %r" % item)


def set_controls(fd, assignments):
    known = controls(fd)
    for a in assignments:
        name, value = a.split("=", 1)
        if name not in known:
            raise SystemExit("no control %r (have: %s)" % (name, ", ".join(sorted(known))))
        cid, _, minimum, maximum = known[name]
        number = menu_index(fd, cid, minimum, maximum, value[1:]) if value.startswith("@") else int(value)
        fcntl.ioctl(fd, VIDIOC_S_CTRL, struct.pack("<Ii", cid, number))
        print("set %s = %s" % (name, value), flush=True)


def describe(fd):
    buf = bytearray(4)
    fcntl.ioctl(fd, VIDIOC_G_INPUT, buf)
    print("input", struct.unpack("<i", buf)[0])
    fmt = bytearray(struct.pack("<I", BUF_TYPE_VIDEO_CAPTURE) + bytes(204))
    fcntl.ioctl(fd, VIDIOC_G_FMT, fmt)
    width, height, pixel, field = struct.unpack_from("<IIII", fmt, 8)
    print("format %dx%d %s field=%s" % (width, height, pixel.to_bytes(4, "little").decode("latin-1"),
                                         FIELDS.get(field, field)))
    names = []
    for index in range(200):
        desc = bytearray(struct.pack("<III32sI", index, BUF_TYPE_VIDEO_CAPTURE, 0, b"", 0) + bytes(16))
        try:
            fcntl.ioctl(fd, VIDIOC_ENUM_FMT, desc)
        except OSError:
            break
        names.append(desc[44:48].decode("latin-1"))
    print("pixel formats", " ".join(names))


def follow(device, log_path, fifo, ready, rules):
    parsed = []
    for r in rules:
        trigger, assignment = r.rsplit(":", 1)
        text, nth = trigger.rsplit("#", 1)
        parsed.append([text, int(nth), assignment])
    open(ready, "w").close()
    with open(log_path, "w") as log, open(fifo) as source:
        for line in source:
            log.write(line)
            log.flush()
            for rule in parsed:
                if rule[0] in line:
                    rule[1] -= 1
                    if rule[1] == 0:
                        fd = os.open(device, os.O_RDWR | os.O_NONBLOCK)
                        set_controls(fd, [rule[2]])
                        os.close(fd)


def main(argv):
    device, command, args = argv[1], argv[2], argv[3:]
    if command == "follow":
        follow(device, args[0], args[1], args[2], args[3:])
        return 0
    fd = os.open(device, os.O_RDWR | os.O_NONBLOCK)
    if command == "describe":
        describe(fd)
    elif command == "input":
        fcntl.ioctl(fd, VIDIOC_S_INPUT, struct.pack("<i", int(args[0])))
    elif command == "set":
        set_controls(fd, args)
    else:
        print(__doc__, file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
