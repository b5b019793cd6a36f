#!/usr/bin/python3
"""Renders single notes of real sampled instruments for the root-key tests.

Writes notes.mid (python3-mido) with one note at a time, each instrument on a
channel of its own, renders it with FluidSynth and the given SoundFont bank,
and lists the notes in notes.txt: "instrument key first_frame frame_count"
(the drum kit's notes are named "drums").

usage: render_real_notes.py SOUNDFONT OUTPUT_FOLDER
"""
import os
import subprocess
import sys

import mido

RATE = 44100
NOTE_SECONDS = 1.0  # key held
SLOT_SECONDS = 1.5  # held, then released

# General MIDI programs (0-based): the piano plays every key, the others every
# sixth key; woodwinds, brass, bowed and plucked strings, organ and mallets.
PIANO = ("piano", 0)
INSTRUMENTS = [("harpsichord", 6), ("vibraphone", 11), ("organ", 19), ("guitar", 24),
               ("violin", 40), ("viola", 41), ("cello", 42), ("strings", 48),
               ("trumpet", 56), ("horn", 60), ("oboe", 68), ("bassoon", 70),
               ("clarinet", 71), ("flute", 73)]
LOWEST_KEY, HIGHEST_KEY = 36, 84
# Unpitched: kick, snare, closed and open hi-hat, crash cymbal of the GM kit.
DRUM_KEYS = [36, 38, 42, 46, 49]
DRUM_CHANNEL = 9


def main():
    bank, folder = sys.argv[1], sys.argv[2]
    song = mido.MidiFile(ticks_per_beat=480)  # 120 beats a minute: 960 ticks a second
    track = mido.MidiTrack()
    song.tracks.append(track)
    notes = []
    pending = 0  # ticks since the last event
    channels = [c for c in range(16) if c != 9]
    for channel, (name, program) in zip(channels, [PIANO] + INSTRUMENTS):
        track.append(mido.Message('program_change', channel=channel, program=program, time=pending))
        pending = 0
        step = 1 if name == "piano" else 6
        for key in range(LOWEST_KEY, HIGHEST_KEY + 1, step):
            track.append(mido.Message('note_on', channel=channel, note=key, velocity=100, time=pending))
            track.append(mido.Message('note_off', channel=channel, note=key, velocity=0,
                                      time=int(NOTE_SECONDS * 960)))
            pending = int((SLOT_SECONDS - NOTE_SECONDS) * 960)
            notes.append((name, key))
    for key in DRUM_KEYS:
        track.append(mido.Message('note_on', channel=DRUM_CHANNEL, note=key, velocity=100, time=pending))
        track.append(mido.Message('note_off', channel=DRUM_CHANNEL, note=key, velocity=0,
                                  time=int(NOTE_SECONDS * 960)))
        pending = int((SLOT_SECONDS - NOTE_SECONDS) * 960)
        notes.append(("drums", key))
    track.append(mido.MetaMessage('end_of_track', time=pending))
    song.save(os.path.join(folder, "notes.mid"))

    subprocess.run(["fluidsynth", "-ni", "-q", "-R", "0", "-C", "0", "-g", "0.5", "-r", str(RATE),
                    "-O", "s16", "-T", "wav", "-F", os.path.join(folder, "notes.wav"), bank,
                    os.path.join(folder, "notes.mid")],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    slot = int(SLOT_SECONDS * RATE)
    with open(os.path.join(folder, "notes.txt"), "w") as listing:
        for index, (name, key) in enumerate(notes):
            listing.write(f"{name} {key} {index * slot} {slot}\n")


if __name__ == "__main__":
    main()
