"""Verdicts on the vivid cases: the recorded pictures against vivid's test patterns,
and the timing records against the capture device's own buffer timestamps."""
import csv
import os
import re

import avi_reader
from vm_checks import FRAME_AMP_ALWAYS_ON, data_register, expect_frames, parse_trace, read, status

# vivid's 100% colour bars, left to right, as (R, G, B) levels: 1 full, 0 none.
BARS = [(1, 1, 1), (1, 1, 0), (0, 1, 1), (0, 1, 0), (1, 0, 1), (1, 0, 0), (0, 0, 1), (0, 0, 0)]


def level(pixel_bgr):
    """(R, G, B) as 1 (bright), 0 (dark) or None (neither)."""
    out = []
    for value in (pixel_bgr[2], pixel_bgr[1], pixel_bgr[0]):
        out.append(1 if value >= 170 else 0 if value <= 70 else None)
    return tuple(out)


def pixel(frame, width, height, x, y_from_top):
    """The pixel of a bottom-up 24-bit frame, counting rows from the top of the picture."""
    stride = (width * 3 + 3) & ~3
    row = height - 1 - y_from_top
    return frame[row * stride + 3 * x: row * stride + 3 * x + 3]


def vertical_bars(frame, width, height):
    """The bars met along a line below the middle (clear of vivid's text overlay)."""
    y = height * 3 // 4
    return [level(pixel(frame, width, height, width * (2 * i + 1) // 16, y)) for i in range(8)]


def horizontal_bars(frame, width, height):
    x = width * 3 // 4
    return [level(pixel(frame, width, height, x, height * (2 * i + 1) // 16)) for i in range(8)]


def library_errors(text):
    return [line for line in text.splitlines()
            if re.search(r"libv4l|error|warning", line, re.IGNORECASE)]


TIMING_HEADER = ["frame", "start_utc", "end_utc", "exposure_ms", "delivered_utc", "start_mono_ms",
                 "end_mono_ms", "delivered_mono_ms", "source_mono_ms", "mode"]
UTC = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z$")


def read_timing(path):
    """(header, rows) of a timing record, or None when it is missing."""
    try:
        with open(path, newline="") as f:
            table = list(csv.reader(f))
    except OSError:
        return None
    return (table[0], table[1:]) if table else ([], [])


def judge_timing(out, name, v, exposure_ms, source_stamps=True):
    """The timing record beside NAME.avi: one row per frame in the file and, where the
    capture device stamps its buffers, every frame stamped after its trigger write.
    Returns the rows as dicts of numbers, for the figures in the log."""
    frames = avi_reader.frame_count(os.path.join(out, name + ".avi"))
    record = read_timing(os.path.join(out, name + ".timing.csv"))
    v.check(name + ": timing record beside the recording", record is not None)
    if record is None:
        return []
    header, rows = record
    v.check(name + ": timing record header", header == TIMING_HEADER, str(header))
    v.check(name + ": one timing row per frame", frames is not None and len(rows) == frames,
            "%d rows, %s frames" % (len(rows), frames))
    if header != TIMING_HEADER:
        return []
    parsed, problems = [], []
    for index, row in enumerate(rows):
        fields = dict(zip(header, row))
        try:
            numbers = {k: float(fields[k]) for k in header[5:9] if fields.get(k, "") != ""}
            numbers["exposure_ms"] = float(fields["exposure_ms"])
        except (KeyError, ValueError):
            problems.append("row %d unreadable: %s" % (index, row))
            continue
        parsed.append(numbers)
        if len(row) != len(header) or fields["frame"] != str(index):
            problems.append("row %d: %s" % (index, row))
        if not all(UTC.match(fields[k]) for k in ("start_utc", "end_utc", "delivered_utc")):
            problems.append("row %d: UTC instants %s" % (index, row[1:5]))
        start, end = numbers.get("start_mono_ms"), numbers.get("end_mono_ms")
        delivered, source = numbers.get("delivered_mono_ms"), numbers.get("source_mono_ms")
        if None in (start, end, delivered) or not start < end <= delivered:
            problems.append("row %d: start, end, delivery out of order: %s" % (index, row[5:8]))
        # Emulation is slow and uneven: only a loose bound on the length.
        elif abs(numbers["exposure_ms"] - exposure_ms) > max(0.25 * exposure_ms, 100):
            problems.append("row %d: exposure %s ms, set %d" % (index, fields["exposure_ms"], exposure_ms))
        if not source_stamps:
            continue
        if source is None:
            problems.append("row %d: no buffer timestamp" % index)
        elif end is not None and delivered is not None and not end < source <= delivered:
            problems.append("row %d: trigger %.3f, buffer stamp %.3f, delivered %.3f"
                            % (index, end, source, delivered))
    v.check(name + ": timing rows consistent" +
            (", every buffer stamped after its trigger and before its delivery" if source_stamps else ""),
            not problems, "; ".join(problems))
    return parsed


def print_timing_figures(name, rows):
    for i, r in enumerate(rows):
        if "source_mono_ms" in r:
            print("timing %s frame %d: exposure %.3f ms, trigger to buffer stamp %.3f ms, "
                  "stamp to delivery %.3f ms" % (name, i, r["exposure_ms"],
                                                  r["source_mono_ms"] - r["end_mono_ms"],
                                                  r["delivered_mono_ms"] - r["source_mono_ms"]))


def judge_video(run, v):
    out = os.path.join(run, "results")
    listing = read(os.path.join(out, "list.txt"))
    v.check("listing: names vivid's capture node", re.search(r"/dev/video0\s+vivid", listing) is not None,
            listing)
    v.check("listing: marks the output node unusable",
            re.search(r"/dev/video1.*\[unusable\]", listing) is not None, listing)
    v.check("listing: auto takes the capture node",
            "auto would take: v4l2:/dev/video0" in listing, listing)
    print("vivid, webcam input: " + read(os.path.join(out, "webcam.describe")).replace("\n", "; "))

    code, seconds = status(os.path.join(out, "webcam.status"))
    err = read(os.path.join(out, "webcam.err"))
    v.check("webcam: exit status 0", code == 0, err[-500:])
    seen = data_register(parse_trace(os.path.join(run, "trace.log")).get(2, []))
    v.check("webcam: data register bytes", re.match(expect_frames(FRAME_AMP_ALWAYS_ON, 2), seen) is not None,
            "saw [%s]" % seen)
    v.check("webcam: stderr free of library errors", not library_errors(err),
            "%d lines, first: %s" % (len(library_errors(err)), library_errors(err)[:1]))
    result = avi_reader.read_frames(os.path.join(out, "webcam.avi"))
    v.check("webcam: file readable with two frames", result is not None and len(result[2]) == 2,
            str(result and len(result[2])))
    if result and len(result[2]) == 2:
        width, height, frames = result
        v.check("webcam: 640 x 480", (width, height) == (640, 480), "%sx%s" % (width, height))
        seen = vertical_bars(frames[0], width, height)
        v.check("webcam: first frame taken in its own exposure (vertical bars)", seen == BARS, str(seen))
        seen = horizontal_bars(frames[1], width, height)
        v.check("webcam: second frame taken in its own exposure, not an older buffer (horizontal bars, white at the top)", seen == BARS, str(seen))

    print_timing_figures("webcam", judge_timing(out, "webcam", v, 600))

    describe = read(os.path.join(out, "tv.describe"))
    print("vivid, TV input: " + describe.replace("\n", "; "))
    m = re.search(r"format (\d+)x(\d+) \S+ field=(\S+)", describe)
    v.check("tv: vivid offers an interlaced picture other than 640 x 480",
            m is not None and m.group(3) == "interlaced" and (m.group(1), m.group(2)) != ("640", "480"),
            describe)
    code, _ = status(os.path.join(out, "tv.status"))
    err = read(os.path.join(out, "tv.err"))
    v.check("tv: exit status 0", code == 0, err[-500:])
    v.check("tv: stderr free of library errors", not library_errors(err), str(library_errors(err)[:1]))
    result = avi_reader.read_frames(os.path.join(out, "tv.avi"))
    v.check("tv: file readable with one frame", result is not None and len(result[2]) == 1)
    if m and result and len(result[2]) == 1:
        width, height, frames = result
        v.check("tv: recorded at the size the device gave",
                (width, height) == (int(m.group(1)), int(m.group(2))), "%sx%s" % (width, height))
        seen = vertical_bars(frames[0], width, height)
        v.check("tv: colour bars at their columns", seen == BARS, str(seen))

    print_timing_figures("tv", judge_timing(out, "tv", v, 300))

    code, seconds = status(os.path.join(out, "unplug.status"))
    err = read(os.path.join(out, "unplug.err"))
    # The webcam input's progressive pictures are said once as well.
    messages = [line for line in err.splitlines()
                if "v4l2:/dev/video0" in line and "progressive" not in line]
    v.check("unplug: Noctra ends cleanly, in time", code == 0 and seconds is not None and seconds < 40,
            "exit %s after %s s: %s" % (code, seconds, err[-400:]))
    v.check("unplug: one clear message", len(messages) == 1, str(messages))
    v.check("unplug: the recording went on to its count", "- 3/3)" in err, err[-300:])
    result = avi_reader.read_frames(os.path.join(out, "unplug.avi"))
    # vivid comes back once the last handle on it is closed, so a later
    # exposure may get a frame again: one or two frames, every one whole.
    whole = result is not None and 1 <= len(result[2]) <= 2 and all(
        len(f) == ((result[0] * 3 + 3) & ~3) * result[1] and vertical_bars(f, result[0], result[1]) == BARS
        for f in result[2])
    v.check("unplug: file valid to its last frame", whole, str(result and len(result[2])))
    v.check("unplug: no library errors", not library_errors(err), str(library_errors(err)[:2]))
    print("unplug said: " + " | ".join(messages))
    # The frames after the unplug, if any, come from vivid back on its feet.
    print_timing_figures("unplug", judge_timing(out, "unplug", v, 400))


# The capture formats' cases: (name, format, field order Noctra gets, width, height).
FORMAT_CASES = [
    ("yuyv_interlaced", "yuyv", "interlaced", 720, 576),
    ("uyvy_interlaced", "uyvy", "interlaced", 720, 480),
    ("grey_interlaced", "grey", "interlaced", 720, 576),
    ("yuyv_alternate", "yuyv", "alternate", 720, 480),
    ("uyvy_alternate", "uyvy", "alternate", 720, 576),
    ("grey_alternate", "grey", "alternate", 720, 480),
    ("yuyv_none", "yuyv", "none", 640, 480),
    ("uyvy_none", "uyvy", "none", 640, 480),
    ("grey_none", "grey", "none", 640, 480),
]
# Where the luma byte of each pixel is in a line: (bytes a pixel, offset).
LUMA = {"yuyv": (2, 0), "uyvy": (2, 1), "grey": (1, 0)}


def raw_picture(raw, fmt, width, height):
    """The luma lines, top first, of a raw buffer holding a whole picture; None if too short."""
    step, offset = LUMA[fmt]
    line_bytes = width * step
    if len(raw) < line_bytes * height:
        return None
    return [raw[i * line_bytes + offset:(i + 1) * line_bytes:step] for i in range(height)]


def select_field(stored):
    """The documented field selection on stored rows (bottom line first) of luma:
    (rows, kept field)."""
    height = len(stored)
    if height <= 240:
        return stored, "both"
    even = sum(stored[20 + 2 * k][10 + s] for k in range(30) for s in range(30))
    odd = sum(stored[21 + 2 * k][10 + s] for k in range(30) for s in range(30))
    rows = list(stored)
    for k in range(height // 2):
        if odd > even:
            rows[2 * k] = rows[2 * k + 1]
        else:
            rows[2 * k + 1] = rows[2 * k]
    return rows, "odd" if odd > even else "even"


def recorded_luma(frame, width, height):
    """The stored rows of a mono recording's frame: the byte of an 8-bit frame, else the
    blue byte (None when green or red differ from it)."""
    stride8, stride24 = (width + 3) & ~3, (width * 3 + 3) & ~3
    if len(frame) == stride8 * height:
        return [frame[r * stride8:r * stride8 + width] for r in range(height)]
    rows = []
    for r in range(height):
        row = frame[r * stride24:r * stride24 + 3 * width]
        if row[0::3] != row[1::3] or row[0::3] != row[2::3]:
            return None
        rows.append(row[0::3])
    return rows


def judge_video_formats(run, v):
    out = os.path.join(run, "results")
    for name, fmt, field, width, height in FORMAT_CASES:
        code, seconds = status(os.path.join(out, name + ".status"))
        err = read(os.path.join(out, name + ".err"))
        v.check(name + ": exit status 0", code == 0, err[-500:])
        v.check(name + ": stderr free of library errors", not library_errors(err),
                str(library_errors(err)[:2]))
        result = avi_reader.read_frames(os.path.join(out, name + ".avi"))
        v.check(name + ": one frame recorded", result is not None and len(result[2]) == 1,
                str(result and len(result[2])))
        if not result or len(result[2]) != 1:
            continue
        v.check(name + ": %d x %d" % (width, height), result[:2] == (width, height),
                "%sx%s" % result[:2])
        try:
            with open(os.path.join(out, name + ".raw"), "rb") as f:
                raw = f.read()
        except OSError:
            raw = b""
        picture = raw_picture(raw, fmt, width, height)
        v.check(name + ": v4l2-ctl captured the picture", picture is not None,
                "%d bytes: %s" % (len(raw), read(os.path.join(out, name + ".ctl"))[-300:]))
        recorded = recorded_luma(result[2][0], width, height) if result[:2] == (width, height) else None
        v.check(name + ": the recording's luma in blue, green and red alike", recorded is not None)
        if picture is None or recorded is None:
            continue
        expected, kept = select_field(list(reversed(picture)))
        # At 50 Hz the first half of the top line is noise (wide-screen signalling):
        # the pair of lines at the top is left out.
        differing = [r for r in range(height - 2) if recorded[r] != expected[r]]
        v.check(name + ": luma byte for byte as the device delivered it (%s field kept)" % kept,
                not differing, "%d rows differ, first stored rows %s" % (len(differing), differing[:5]))
        if field == "none":
            v.check(name + ": progressive pictures said once", err.count("progressive") == 1, err[-300:])

    code, _ = status(os.path.join(out, "missing_format.status"))
    err = read(os.path.join(out, "missing_format.err"))
    v.check("missing format: exit status 2", code == 2, err[-300:])
    v.check("missing format: names what the device offers",
            re.search(r"format=mjpeg: the device offers yuyv, uyvy, .*grey", err) is not None, err[-400:])
    print("missing format said: " + err.strip().replace("\n", " | ")[:300])
