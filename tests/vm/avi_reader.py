"""Just enough of a RIFF AVI reader for the VM cases: the frames of a file."""
import struct


def _chunks(data, start, end):
    while start + 8 <= end:
        fourcc, size = data[start:start + 4], struct.unpack_from("<I", data, start + 4)[0]
        body = start + 8
        if body + size > end:
            return
        yield fourcc, body, size
        start = body + size + (size & 1)


def read_frames(path):
    """(width, height, [frame bytes]) of the first RIFF segment; None if unreadable."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError:
        return None
    if data[:4] != b"RIFF" or data[8:12] != b"AVI ":
        return None
    riff_end = min(len(data), 8 + struct.unpack_from("<I", data, 4)[0])
    width = height = None
    frames = []

    def walk(start, end):
        nonlocal width, height
        for fourcc, body, size in _chunks(data, start, end):
            if fourcc == b"LIST":
                walk(body + 4, body + size)
            elif fourcc == b"strf" and size >= 40:
                width, height = struct.unpack_from("<ii", data, body + 4)
            elif fourcc == b"00db":
                frames.append(data[body:body + size])

    walk(12, riff_end)
    return width, height, frames


def frame_count(path):
    result = read_frames(path)
    return None if result is None else len(result[2])
