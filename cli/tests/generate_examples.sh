#!/usr/bin/env bash
# kivora-cli generate on every bundled model and on the built-in one: the
# instrument it writes lists its notes with "info", and its WAV files read
# with Python's wave module as 16-bit mono at the asked rate and length.
# Refused models exit with 1 and the user's message.
set -euo pipefail
cli=$1
source_dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

check_instrument() { # INS NOTES RATE FRAMES
    local lines
    lines=$("$cli" info "$1" | grep -vc '^--')
    [ "$lines" -eq "$2" ] || { echo "$1: $lines sounds, expected $2"; exit 1; }
    python3 - "$1" "$3" "$4" <<'PY'
import os, sys, wave, array
ins, rate, frames = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
base = os.path.dirname(ins)
for line in open(ins):
    fields = line.split()
    if line.startswith("--") or len(fields) < 3:  # where the instrument came from
        continue
    with wave.open(os.path.join(base, fields[2])) as w:
        assert w.getnchannels() == 1 and w.getsampwidth() == 2, fields[2]
        assert w.getframerate() == rate and w.getnframes() == frames, (fields[2], w.getframerate(), w.getnframes())
        samples = array.array("h", w.readframes(frames))
        assert max(abs(s) for s in samples) > 1000, fields[2] + " is nearly silent"
PY
}

for model in "$source_dir"/examples/models/*.json; do
    name=$(basename "$model" .json)
    "$cli" generate "$model" -o "$work/$name.ins" --octaves 1 --duration 200 2>/dev/null >"$work/$name.out"
    grep -q "^Base frequency: " "$work/$name.out" || { echo "$name: no base frequency printed"; exit 1; }
    check_instrument "$work/$name.ins" 12 44100 8820
done

"$cli" generate -o "$work/default.ins" --octaves 0 --rate 8000 --duration 300 --flat 2>/dev/null >/dev/null
check_instrument "$work/default.ins" 1 8000 2400
[ -f "$work/simpleNote.wav" ] || { echo "--flat did not write beside the instrument"; exit 1; }

echo '{"kivora_model":1,"elements":[{"nodes":[{"id":"a","x0":0.5}]}]}' >"$work/unflagged.json"
echo '{"kivora_model":1,"elements":[]}' >"$work/empty.json"
for case in 'unflagged:Put FLAG, to specify dot, which SOUNDs (the model file names no sounding node: set "flag")' \
    'empty:Draw something first... (the model file has no nodes: add an element with "nodes")'; do
    name=${case%%:*}
    set +e
    message=$("$cli" generate "$work/$name.json" -o "$work/$name.ins" 2>&1)
    status=$?
    set -e
    [ "$status" -eq 1 ] || { echo "$name: exit status $status"; exit 1; }
    [ "$message" = "${case#*:}" ] || { echo "$name: \"$message\""; exit 1; }
    [ ! -e "$work/$name.ins" ] || { echo "$name: wrote an instrument"; exit 1; }
done
echo "generate: all checks passed"
