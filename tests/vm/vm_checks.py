"""Verdicts on one boot of the VM rig: QEMU's register trace and the guest's files.

The expected byte sequences are written out here from what the camera port
is documented to receive, not taken from Noctra's own trace.
"""
import os
import re

import avi_reader

# Camera control bytes, each followed by a space, as data_register() writes them.
IDLE = "2f 3f "
EXPOSURE_START = "27 37 34 14 34 "
AMPLIFIER_ON_AFTER_START = "34 "   # 0x34 | 0x04: the line is already up
TRIGGER_MAIN = "37 "               # (0x34 & 0xC0) | 0x37

# A frame with amplifier switching off: start, amplifier on, trigger.
FRAME_AMP_ALWAYS_ON = EXPOSURE_START + AMPLIFIER_ON_AFTER_START + TRIGGER_MAIN
# With amplifier switching on, every tick of a running recording ends with
# the amplifier line down: 0x30 while exposing, 0x33 after the trigger. How
# many ticks fall in each stretch depends on timing, so those runs are "one or
# more".
FRAME_AMP_SWITCHED = EXPOSURE_START + "(30 )+" + AMPLIFIER_ON_AFTER_START + TRIGGER_MAIN + "(33 )+"
# At the end: Stop idles the port, the program end idles it, and the port
# back end leaves the idle pattern when it closes.
END = IDLE * 3


def expect_frames(frame, count):
    return "^" + IDLE + frame * count + END + "$"


class Verdicts:
    def __init__(self):
        self.failed = []

    def check(self, name, ok, detail=""):
        print("%s %s%s" % ("PASS" if ok else "FAIL", name, (": " + detail) if detail and not ok else ""),
              flush=True)
        if not ok:
            self.failed.append(name)


def read(path, default=""):
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except OSError:
        return default


def parse_trace(path):
    """Register writes between case markers: {marker: [(device, addr, value)]}."""
    cases, current = {}, None
    pattern = re.compile(r"(parallel_ioport_write|serial_write) write (?:\[\w+\] )?addr 0x([0-9a-f]+) val 0x([0-9a-f]+)")
    for line in read(path).splitlines():
        m = pattern.search(line)
        if not m:
            continue
        device = "lpt" if m.group(1).startswith("parallel") else "uart"
        addr, value = int(m.group(2), 16), int(m.group(3), 16)
        if device == "uart" and addr == 7:
            current = value
            cases[current] = []
        elif current is not None:
            cases[current].append((device, addr, value))
    return cases


def data_register(writes):
    return "".join("%02x " % v for d, a, v in writes if d == "lpt" and a == 0)


def modem_lines(writes):
    """DTR (bit 0) and RTS (bit 1) of each modem control register write, repeats merged."""
    states = []
    for d, a, v in writes:
        if d == "uart" and a == 4:
            state = (v & 1, (v >> 1) & 1)
            if not states or states[-1] != state:
                states.append(state)
    return states


def expected_lines(byte_text, dtr_bit, rts_bit, invert):
    states = []
    for token in byte_text.split():
        b = int(token, 16)
        state = ((b >> dtr_bit) & 1, (b >> rts_bit) & 1)
        if invert:
            state = (1 - state[0], 1 - state[1])
        if not states or states[-1] != state:
            states.append(state)
    return states


def status(path):
    parts = read(path).split()
    if len(parts) != 3 or not parts[0].isdigit():
        return None, None
    code = int(parts[0])
    seconds = float(parts[1]) - float(parts[2])
    return code, seconds


def judge_ports(run, v):
    out = os.path.join(run, "results")
    cases = parse_trace(os.path.join(run, "trace.log"))
    v.check("trace has all case markers", all(m in cases for m in range(1, 9)), str(sorted(cases)))

    for marker, name, frame in ((1, "ppdev_amp_on", FRAME_AMP_ALWAYS_ON),
                                (2, "ppdev_amp_off", FRAME_AMP_SWITCHED)):
        seen = data_register(cases.get(marker, []))
        v.check(name + ": data register bytes", re.match(expect_frames(frame, 2), seen) is not None,
                "saw [%s]" % seen)
        code, _ = status(os.path.join(out, name + ".status"))
        v.check(name + ": exit status 0", code == 0, read(os.path.join(out, name + ".err"))[-400:])
        frames = avi_reader.frame_count(os.path.join(out, name + ".avi"))
        v.check(name + ": two frames recorded", frames == 2, "file has %s" % frames)
        # The simulated source has no buffer timestamps; the rows still match the frames.
        from vm_video_checks import judge_timing
        judge_timing(out, name, v, 300, source_stamps=False)

    seen = data_register(cases.get(3, []))
    v.check("crash guard: idle pattern after SIGSEGV", seen == IDLE + EXPOSURE_START + IDLE,
            "saw [%s]" % seen)
    code, _ = status(os.path.join(out, "crash.status"))
    v.check("crash guard: died of the signal", code == 128 + 11, "exit %s" % code)

    listing = read(os.path.join(out, "auto.list"))
    v.check("auto: listing takes the parallel port",
            re.search(r"auto would take: ppdev:/dev/parport0", listing) is not None, listing)
    seen = data_register(cases.get(4, []))
    v.check("auto: recording drives the parallel port",
            re.match(expect_frames(FRAME_AMP_ALWAYS_ON, 1), seen) is not None, "saw [%s]" % seen)

    # Every byte of an amplifier-switching recording, one of each run.
    one_of_each = expect_frames(FRAME_AMP_SWITCHED, 2).replace("(30 )+", "30 ").replace("(33 )+", "33 ")
    one_of_each = one_of_each.strip("^$")
    left_by_previous = None
    for marker, name, invert in ((5, "serial", False), (6, "serial_invert", True)):
        writes = cases.get(marker, [])
        seen = modem_lines(writes)
        want = expected_lines(one_of_each, 2, 0, invert)
        # Opening the port, the kernel first restores the lines as they were
        # left and then raises both, before Noctra can set them.
        # (Repeats merge, so a raise may vanish into Noctra's first state.)
        opening = [k for k in (0, 1, 2) if seen[k:] == want and (k < 2 or seen[1] == (1, 1))]
        v.check(name + ": DTR and RTS follow bits 2 and 0", bool(opening),
                "saw %s, want %s" % (seen, want))
        if left_by_previous is not None and seen:
            # What the kernel restored is what the last run left: closing the
            # port at Noctra's exit did not drop the lines.
            v.check(name + ": lines as the previous run left them", seen[0] == left_by_previous,
                    "restored %s, left %s" % (seen[0], left_by_previous))
        left_by_previous = seen[-1] if seen else None
        v.check(name + ": data register untouched", data_register(writes) == "",
                data_register(writes))
        code, _ = status(os.path.join(out, name + ".status"))
        v.check(name + ": exit status 0", code == 0, read(os.path.join(out, name + ".err"))[-400:])
    # Each run's last state is its idle state (checked above): no write at or
    # after the program's end dropped the lines (the trace runs on past it).

    code, seconds = status(os.path.join(out, "ftdi.status"))
    err = read(os.path.join(out, "ftdi.err"))
    v.check("ftdi: refused with exit status 2, no hang", code == 2 and seconds is not None and seconds < 30,
            "exit %s after %s s: %s" % (code, seconds, err.strip()[-300:]))
    v.check("ftdi: QEMU's chip was on the bus", "QEMU USB SERIAL" in read(os.path.join(out, "usb.list")),
            read(os.path.join(out, "usb.list")))
    v.check("ftdi: one clear message", "bit-bang" in err and len(err.strip().splitlines()) == 1, err)
    print("ftdi said: " + err.strip().replace("\n", " | "))


def print_timings(out):
    for name in sorted(os.listdir(out)):
        if name.endswith(".status"):
            code, seconds = status(os.path.join(out, name))
            if seconds is not None:
                print("time %-14s %5.1f s (exit %s)" % (name[:-7], seconds, code))


def judge(group, run):
    v = Verdicts()
    print(read(os.path.join(run, "results", "guest.log")), end="")
    if os.path.isdir(os.path.join(run, "results")):
        print_timings(os.path.join(run, "results"))
    if group == "ports":
        judge_ports(run, v)
    elif group == "video":
        import vm_video_checks
        vm_video_checks.judge_video(run, v)
    elif group == "video_formats":
        import vm_video_checks
        vm_video_checks.judge_video_formats(run, v)
    else:
        v.check("known group " + group, False)
    if v.failed:
        print("%d case(s) failed: %s" % (len(v.failed), ", ".join(v.failed)))
        return 1
    return 0
