#!/usr/bin/python3
"""make_song.py OUT.mid: a short song for the real-host run: C3, E3, G3 and
C4 alone, then the C major chord held by the sustain pedal, then all notes off."""
import sys

import mido

song = mido.MidiFile(ticks_per_beat=480)  # 120 bpm: 960 ticks a second
track = mido.MidiTrack()
song.tracks.append(track)
for key in (48, 52, 55, 60):
    track.append(mido.Message("note_on", note=key, velocity=127, time=0))
    track.append(mido.Message("note_off", note=key, velocity=0, time=480))
    track.append(mido.Message("control_change", control=1, value=0, time=96))
track.append(mido.Message("control_change", control=64, value=127, time=0))
for key in (48, 52, 55):
    track.append(mido.Message("note_on", note=key, velocity=96, time=0))
for key in (48, 52, 55):
    track.append(mido.Message("note_off", note=key, velocity=0, time=240 if key == 48 else 0))
track.append(mido.Message("control_change", control=64, value=0, time=480))
track.append(mido.Message("control_change", control=123, value=0, time=240))
song.save(sys.argv[1])
