#!/usr/bin/python3
"""Plays a MIDI file into a JACK MIDI input and records a JACK audio output.

    jack_play_record.py SONG.mid MIDI_PORT AUDIO_PORT OUT.wav

Writes OUT.wav (16-bit mono at the server's rate, through Python's wave) and
prints, for every note of the song that sounds alone, the pitch an FFT
(numpy) finds against the key's equal-tempered pitch. Exits with 1 when a
note is more than 1 % off, or the recording holds a non-number or is silent.
Xruns are counted, not failed: a busy machine meets some, and a note's pitch
is the median of its three thirds', so one seam moves none.
"""
import sys
import threading
import wave

import jack
import mido
import numpy as np

LEAD_SECONDS = 0.25
TAIL_SECONDS = 0.5


def song_events(path, rate):
    """(frame, bytes) of every channel message, and the notes (key, on, off)."""
    events, notes, held = [], [], {}
    seconds = LEAD_SECONDS
    for message in mido.MidiFile(path):
        seconds += message.time
        if message.is_meta:
            continue
        frame = int(seconds * rate)
        events.append((frame, bytes(message.bytes())))
        if message.type == "note_on" and message.velocity > 0:
            held[message.note] = frame
        elif message.type in ("note_off", "note_on") and message.note in held:
            notes.append((message.note, held.pop(message.note), frame))
    return events, notes, int((seconds + TAIL_SECONDS) * rate)


def dominant_hz(samples, rate):
    windowed = samples * np.hanning(len(samples))
    size = 1 << 19
    spectrum = np.abs(np.fft.rfft(windowed, size))
    low, high = int(40 * size / rate), int(4000 * size / rate)
    peak = low + int(np.argmax(spectrum[low:high]))
    a, b, c = np.log(spectrum[peak - 1 : peak + 2] + 1e-30)
    offset = 0.5 * (a - c) / (a - 2 * b + c)
    return (peak + offset) * rate / size


def main():
    song, midi_port, audio_port, out_path = sys.argv[1:5]
    client = jack.Client("kivora-player", no_start_server=True)
    rate = client.samplerate
    events, notes, total = song_events(song, rate)
    recording = np.zeros(total, dtype=np.float32)
    midi_out = client.midi_outports.register("midi")
    audio_in = client.inports.register("in")
    state = {"position": 0, "next": 0, "xruns": 0}
    finished = threading.Event()

    @client.set_process_callback
    def process(frames):
        position = state["position"]
        midi_out.clear_buffer()
        while state["next"] < len(events) and events[state["next"]][0] < position + frames:
            frame, data = events[state["next"]]
            midi_out.write_midi_event(max(0, frame - position), data)
            state["next"] += 1
        count = min(frames, total - position)
        if count > 0:
            recording[position : position + count] = audio_in.get_array()[:count]
        state["position"] = position + frames
        if state["position"] >= total:
            finished.set()

    @client.set_xrun_callback
    def xrun(delay):
        state["xruns"] += 1

    with client:
        client.connect(midi_out, midi_port)
        client.connect(audio_port, audio_in)
        if not finished.wait(timeout=total / rate + 30):
            print("the recording did not finish")
            return 1

    with wave.open(out_path, "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(rate)
        out.writeframes((np.clip(recording, -1.0, 1.0) * 32767).astype("<i2").tobytes())

    failures = []
    if not np.all(np.isfinite(recording)):
        failures.append("the recording holds non-numbers")
    peak = float(np.max(np.abs(recording)))
    print(f"{out_path}: {total / rate:.2f} s at {rate} Hz, peak {peak:.3f}, {state['xruns']} xruns")
    if peak < 0.01:
        failures.append("the recording is silent")
    for key, on, off in notes:
        overlapping = [n for n in notes if n[0] != key and n[1] < off and n[2] > on]
        if overlapping:
            continue
        # A period or two of latency through the graph: skip 40 ms. An xrun
        # may leave a seam in one third of the note: the median of three.
        start = on + int(0.04 * rate)
        third = (off - start) // 3
        measured = float(np.median([dominant_hz(recording[start + i * third : start + (i + 1) * third], rate)
                                    for i in range(3)]))
        expected = 130.8127826502993 * 2 ** ((key - 48) / 12)
        cents = 1200 * np.log2(measured / expected)
        print(f"key {key}: {measured:.2f} Hz, expected {expected:.2f} Hz ({cents:+.1f} cents)")
        if abs(measured / expected - 1) > 0.01:
            failures.append(f"key {key} is {cents:+.1f} cents off")
    for failure in failures:
        print("FAIL:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
