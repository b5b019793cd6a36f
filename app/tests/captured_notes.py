#!/usr/bin/env python3
"""Notes in what SDL's disk driver captured (raw 16-bit stereo at 48 kHz, or
at the rate in CAPTURED_NOTES_RATE).

  captured_notes.py onsets RAW              the number of notes started so far
  captured_notes.py wait RAW COUNT [--quiet] [--bound SECONDS]
        waits until COUNT notes have started (and, with --quiet, the last has
        ended); exit status 1 when the bound passes first
  captured_notes.py pitches RAW             one line per note: its frequency in Hz
  captured_notes.py expect RAW NAME=HZ ...  the notes, in order, are these pitches within 1 %

A note starts where the sound rises above a threshold after at least 30 ms of
silence. Pitches come from sox (mixed to mono, resampled to 12 kHz) and a
Goertzel scan of each note's first 340 ms for the strongest partial.
"""
import array
import math
import os
import subprocess
import sys
import tempfile
import time
import wave

RATE = int(os.environ.get("CAPTURED_NOTES_RATE", "48000"))
CHANNELS = 2
FRAME = RATE // 100  # 10 ms
THRESHOLD = 200  # of 32767
SILENT_FRAMES = 3


def frame_levels(path):
    data = array.array("h")
    with open(path, "rb") as raw:
        data.frombytes(raw.read())
    if sys.byteorder != "little":
        data.byteswap()
    step = FRAME * CHANNELS
    usable = len(data) - len(data) % step
    return [max(map(abs, data[i:i + step])) for i in range(0, usable, step)]


def note_spans(path):
    """(first frame, frame after the last loud one) of each note."""
    spans, quiet, start = [], SILENT_FRAMES, None
    levels = frame_levels(path) if os.path.exists(path) else []
    for index, level in enumerate(levels):
        if level > THRESHOLD:
            if start is None and quiet >= SILENT_FRAMES:
                start = index
            quiet = 0
        else:
            quiet += 1
            if start is not None and quiet >= SILENT_FRAMES:
                spans.append((start, index - quiet + 1))
                start = None
    if start is not None:
        spans.append((start, None))
    return spans


def strongest_partial(samples, rate, low, high, step):
    best, best_power = low, -1.0
    f = low
    while f <= high:
        w = 2.0 * math.pi * f / rate
        coefficient = 2.0 * math.cos(w)
        s1 = s2 = 0.0
        for x in samples:
            s1, s2 = x + coefficient * s1 - s2, s1
        power = s1 * s1 + s2 * s2 - coefficient * s1 * s2
        if power > best_power:
            best, best_power = f, power
        f += step
    return best


def pitch_of(path, start_frame):
    with tempfile.TemporaryDirectory() as folder:
        note = os.path.join(folder, "note.wav")
        subprocess.run(["sox", "-t", "raw", "-r", str(RATE), "-e", "signed", "-b", "16", "-c", str(CHANNELS),
                        path, "-r", "12000", "-c", "1", note, "trim", "%.3f" % (start_frame * 0.01), "0.34"],
                       check=True)
        with wave.open(note, "rb") as reader:
            values = array.array("h", reader.readframes(reader.getnframes()))
            rate = reader.getframerate()
    samples = [v / 32768.0 for v in values]
    # Hann window against leakage from the note's onset and end.
    n = len(samples)
    samples = [s * (0.5 - 0.5 * math.cos(2.0 * math.pi * i / (n - 1))) for i, s in enumerate(samples)]
    coarse = strongest_partial(samples, rate, 50.0, 1000.0, 1.0)
    return strongest_partial(samples, rate, coarse - 1.0, coarse + 1.0, 0.01)


def main(argv):
    command, path = argv[1], argv[2]
    if command == "onsets":
        print(len(note_spans(path)))
        return 0
    if command == "wait":
        count = int(argv[3])
        quiet = "--quiet" in argv
        bound = float(argv[argv.index("--bound") + 1]) if "--bound" in argv else 60.0
        deadline = time.monotonic() + bound
        while time.monotonic() < deadline:
            spans = note_spans(path)
            if len(spans) >= count and (not quiet or spans[-1][1] is not None):
                return 0
            time.sleep(0.1)
        print("captured_notes: %d notes after %.0f s, waited for %d" % (len(note_spans(path)), bound, count),
              file=sys.stderr)
        return 1
    if command == "pitches":
        for start, _ in note_spans(path):
            print("%.2f" % pitch_of(path, start))
        return 0
    if command == "expect":
        expected = [(name, float(hz)) for name, hz in (pair.split("=") for pair in argv[3:])]
        heard = [pitch_of(path, start) for start, _ in note_spans(path)]
        print("heard: %s Hz" % " ".join("%.2f" % hz for hz in heard))
        if len(heard) != len(expected):
            print("expected %d notes, heard %d" % (len(expected), len(heard)))
            return 1
        failed = False
        for (name, hz), got in zip(expected, heard):
            off = abs(got - hz) / hz
            print("%s: expected %.2f Hz, heard %.2f Hz (%.2f %%)" % (name, hz, got, 100 * off))
            failed |= off > 0.01
        return 1 if failed else 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
