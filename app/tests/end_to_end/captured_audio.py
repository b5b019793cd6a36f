#!/usr/bin/env python3
"""The notes in raw device output of SDL's disk driver (signed 16-bit,
interleaved stereo, 48 kHz), and the pitch of WAV files, measured by
autocorrelation: independent of the program's own pitch measurement.

    captured_audio.py wait-notes RAW COUNT TIMEOUT_S   until COUNT notes have ended
    captured_audio.py notes RAW                         one line per note: start_s pitch_hz
    captured_audio.py wav-pitch FILE.wav                the pitch of a mono or stereo WAV file
"""
import array
import sys
import time
import wave

RATE = 48000
CHANNELS = 2
THRESHOLD = 200          # |sample| above this is sound
GAP_S = 0.08             # silence that separates two notes
ANALYSED_S = 0.12        # the part of a note measured, after its attack
ATTACK_S = 0.02


def left_channel(raw_bytes, channels):
    samples = array.array("h")
    samples.frombytes(raw_bytes[: len(raw_bytes) // 2 * 2])
    if sys.byteorder == "big":
        samples.byteswap()
    return samples[::channels]


def segments(samples, rate):
    """(start, end) sample indices of the runs of sound."""
    gap = int(GAP_S * rate)
    found = []
    start = None
    last_loud = None
    for i, value in enumerate(samples):
        if abs(value) > THRESHOLD:
            if start is None:
                start = i
            last_loud = i
        elif start is not None and i - last_loud > gap:
            found.append((start, last_loud + 1))
            start = None
    ended = list(found)
    return ended, start is not None


def pitch(samples, rate):
    """The fundamental by normalised autocorrelation: the first lag whose
    correlation comes within 90 % of the best, refined by a parabola."""
    n = len(samples)
    mean = sum(samples) / n
    x = [v - mean for v in samples]
    min_lag = int(rate / 1500)
    max_lag = min(int(rate / 50), n // 2)
    window = n - max_lag
    energy0 = sum(v * v for v in x[:window]) or 1.0
    corr = [0.0] * (max_lag + 2)
    for lag in range(min_lag - 1, max_lag + 2):
        if lag >= n - window:
            break
        s = 0.0
        e = 0.0
        for i in range(window):
            s += x[i] * x[i + lag]
            e += x[i + lag] * x[i + lag]
        corr[lag] = s / ((energy0 * e) ** 0.5 or 1.0)
    best = max(corr[min_lag:max_lag])
    for lag in range(min_lag, max_lag):
        if corr[lag] >= 0.9 * best and corr[lag] >= corr[lag - 1] and corr[lag] >= corr[lag + 1]:
            a, b, c = corr[lag - 1], corr[lag], corr[lag + 1]
            denominator = a - 2 * b + c
            shift = 0.5 * (a - c) / denominator if denominator else 0.0
            return rate / (lag + shift)
    return 0.0


def captured_notes(path):
    with open(path, "rb") as f:
        samples = left_channel(f.read(), CHANNELS)
    ended, _ = segments(samples, RATE)
    notes = []
    for start, end in ended:
        first = start + int(ATTACK_S * RATE)
        last = min(first + int(ANALYSED_S * RATE), end)
        notes.append((start / RATE, pitch(samples[first:last], RATE)))
    return notes


def main(argv):
    command = argv[1]
    if command == "wait-notes":
        path, count, timeout = argv[2], int(argv[3]), float(argv[4])
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                with open(path, "rb") as f:
                    ended, _ = segments(left_channel(f.read(), CHANNELS), RATE)
                if len(ended) >= count:
                    return 0
            except FileNotFoundError:
                pass
            time.sleep(0.1)
        print(f"fewer than {count} notes in {path} after {timeout} s", file=sys.stderr)
        return 1
    if command == "notes":
        for start, hz in captured_notes(argv[2]):
            print(f"{start:.3f} {hz:.2f}")
        return 0
    if command == "wav-pitch":
        with wave.open(argv[2], "rb") as w:
            assert w.getsampwidth() == 2, "16-bit WAV files only"
            rate = w.getframerate()
            samples = left_channel(w.readframes(w.getnframes()), w.getnchannels())
        first = int(ATTACK_S * rate)
        print(f"{pitch(samples[first:first + int(ANALYSED_S * rate)], rate):.2f}")
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
