#!/usr/bin/python3
"""Reads the block pattern of the emulated cameras from pictures and clips.

Every frame of an emulated camera carries, in a band of 8 x 4 black and
white cells over its bottom third, the camera number and a frame counter
(see emulation/README.md). This module decodes frames, single JPEG files or
whole clips (Motion-JPEG streams, MP4 files, raw YUYV) through Debian's
ffmpeg to grey pixels and reads the pattern of each; it needs nothing but
the Python standard library and ffmpeg.

    emucam_pattern.py FILE...        prints the reading of every frame
"""
import json
import os
import subprocess
import sys

COLUMNS = 8
ROWS = 4
CAMERA_BITS = 3
COUNTER_BITS = 20
CHECK_BITS = 5
DATA_BITS = CAMERA_BITS + COUNTER_BITS + CHECK_BITS
COUNTER_MASK = (1 << COUNTER_BITS) - 1
# (column, row): white
REFERENCES = {(0, 0): True, (COLUMNS - 1, 0): False, (0, ROWS - 1): False, (COLUMNS - 1, ROWS - 1): True}

FFMPEG = "/usr/bin/ffmpeg"
FFPROBE = "/usr/bin/ffprobe"


def crc5(value, bits):
    crc = 0x1F
    for i in range(bits - 1, -1, -1):
        top = (crc >> 4) & 1
        crc = (crc << 1) & 0x1F
        if ((value >> i) & 1) ^ top:
            crc ^= 0x15
    return crc


def pattern_word(camera, counter):
    payload = ((camera & 7) << COUNTER_BITS) | (counter & COUNTER_MASK)
    return (payload << CHECK_BITS) | crc5(payload, CAMERA_BITS + COUNTER_BITS)


def _sample(gray, width, height, x0, x1, y0, y1):
    w, h = x1 - x0, y1 - y0
    sx0 = min(max(int(x0 + 0.3 * w), 0), width - 1)
    sy0 = min(max(int(y0 + 0.3 * h), 0), height - 1)
    sx1 = min(max(-int(-(x0 + 0.7 * w)), sx0 + 1), width)
    sy1 = min(max(-int(-(y0 + 0.7 * h)), sy0 + 1), height)
    total = 0
    for y in range(sy0, sy1):
        row = gray[y * width + sx0:y * width + sx1]
        total += sum(row)
    return total / ((sx1 - sx0) * (sy1 - sy0))


def read_pattern(gray, width, height):
    """(camera, counter) from a grey picture (bytes, width x height), or None."""
    if width < COLUMNS * 2 or height < ROWS * 6 or len(gray) < width * height:
        return None
    means = {}
    for r in range(ROWS):
        for c in range(COLUMNS):
            x0 = width * c / COLUMNS
            x1 = width * (c + 1) / COLUMNS
            y0 = height * 2.0 / 3.0 + height * r / 12.0
            y1 = height * 2.0 / 3.0 + height * (r + 1) / 12.0
            means[(c, r)] = _sample(gray, width, height, x0, x1, y0, y1)
    min_white = min(means[k] for k, white in REFERENCES.items() if white)
    max_black = max(means[k] for k, white in REFERENCES.items() if not white)
    contrast = min_white - max_black
    if contrast < 40:
        return None
    threshold = (min_white + max_black) / 2
    word = 0
    index = 0
    for r in range(ROWS):
        for c in range(COLUMNS):
            if (c, r) in REFERENCES:
                continue
            m = means[(c, r)]
            if abs(m - threshold) < contrast * 0.15:
                return None
            if m > threshold:
                word |= 1 << (DATA_BITS - 1 - index)
            index += 1
    payload = word >> CHECK_BITS
    if crc5(payload, CAMERA_BITS + COUNTER_BITS) != word & 0x1F:
        return None
    return payload >> COUNTER_BITS, payload & COUNTER_MASK


def jpeg_size(data):
    """(width, height) from a JPEG file's frame header, or None."""
    p = 2
    while p + 9 < len(data):
        if data[p] != 0xFF:
            return None
        marker = data[p + 1]
        length = (data[p + 2] << 8) | data[p + 3]
        if marker in (0xC0, 0xC1, 0xC2):
            return (data[p + 7] << 8) | data[p + 8], (data[p + 5] << 8) | data[p + 6]
        p += 2 + length
    return None


def _input_args(fmt, size):
    args = []
    if fmt == "yuyv":
        if size is None:
            raise ValueError("a raw YUYV clip needs its frame size")
        args += ["-f", "rawvideo", "-pix_fmt", "yuyv422", "-video_size", "%dx%d" % size]
    elif fmt:
        args += ["-f", fmt]
    return args


def probe_size(path, fmt=None, size=None):
    """(width, height) of the first video stream of a file."""
    if fmt == "yuyv":
        return size
    out = subprocess.run([FFPROBE, "-v", "error"] + _input_args(fmt, size) +
                         ["-select_streams", "v:0", "-show_entries", "stream=width,height", "-of", "json", path],
                         check=True, capture_output=True, text=True).stdout
    stream = json.loads(out)["streams"][0]
    return int(stream["width"]), int(stream["height"])


def gray_frames(path, fmt=None, size=None, limit=None):
    """The frames of a picture or clip file as grey pictures: (width, height, [bytes...]).

    `fmt` is the input format as ffmpeg names it ("mjpeg" for a raw
    Motion-JPEG stream, "yuyv" for raw YUYV frames of `size`), None to let
    ffmpeg find it out."""
    width, height = probe_size(path, fmt, size)
    cmd = [FFMPEG, "-v", "error", "-nostdin"] + _input_args(fmt, size) + ["-i", path]
    if limit is not None:
        cmd += ["-frames:v", str(limit)]
    cmd += ["-f", "rawvideo", "-pix_fmt", "gray", "-"]
    raw = subprocess.run(cmd, check=True, capture_output=True).stdout
    n = width * height
    return width, height, [raw[i:i + n] for i in range(0, len(raw) - n + 1, n)]


def read_jpeg(data):
    """(camera, counter) from the bytes of one JPEG picture, or None."""
    size = jpeg_size(data)
    if size is None:
        return None
    run = subprocess.run([FFMPEG, "-v", "error", "-nostdin", "-f", "mjpeg", "-i", "-", "-frames:v", "1",
                          "-f", "rawvideo", "-pix_fmt", "gray", "-"], input=data, capture_output=True)
    if run.returncode != 0 or len(run.stdout) < size[0] * size[1]:
        return None
    return read_pattern(run.stdout, size[0], size[1])


def read_clip(path, fmt=None, size=None, limit=None):
    """The reading of every frame of a clip: a list of (camera, counter) or None."""
    width, height, frames = gray_frames(path, fmt, size, limit)
    return [read_pattern(f, width, height) for f in frames]


def main(argv):
    if not argv:
        print(__doc__)
        return 2
    for path in argv:
        fmt = "mjpeg" if path.endswith((".mjpeg", ".mjpg", ".raw")) else None
        for i, reading in enumerate(read_clip(path, fmt)):
            if reading is None:
                print("%s frame %d: no pattern" % (path, i))
            else:
                print("%s frame %d: camera %d counter %d" % (path, i, reading[0], reading[1]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
