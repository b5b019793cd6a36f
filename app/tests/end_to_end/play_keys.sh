#!/usr/bin/env bash
# The real program under an X server: opens the bundled instrument, plays Q
# (low) and E (high) with xdotool, then Q's key on a French layout, and checks that SDL's disk driver captured
# those notes at their pitch (within 1 %), then quits through the File menu.
#   play_keys.sh KIVORA SOURCE_DIR      (run it under testsupport/with-xvfb.sh)
set -euo pipefail
kivora=$1
source_dir=$2
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../../testsupport/x-windows.sh"
measure="python3 $here/captured_audio.py"

if [ -z "${DISPLAY:-}" ]; then
    echo "no X display: run under testsupport/with-xvfb.sh" >&2
    exit 1
fi
work=$(mktemp -d)
pid=
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

export SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=$work/device.raw QT_QPA_PLATFORM=xcb
# The program remembers recent files: in the test's folder, never the user's.
export XDG_CONFIG_HOME=$work/config
instrument=$source_dir/examples/instruments/duo.ins
# No window manager: the geometry stands in for maximising.
"$kivora" -qwindowgeometry 1280x1024+0+0 "$instrument" >"$work/kivora.log" 2>&1 &
pid=$!
wid=$(wait_for_window 'Kivora$' 60)
xdotool windowfocus --sync "$wid"

# One note at a time: each key once its predecessor has died away.
xdotool key q
$measure wait-notes "$work/device.raw" 1 60
xdotool key e
$measure wait-notes "$work/device.raw" 2 60
# On a French keyboard the key where Q sits on a US one types "a": it still
# plays the low note.
setxkbmap fr
xdotool key a
$measure wait-notes "$work/device.raw" 3 60
setxkbmap us

# File > Exit from the keyboard.
xdotool key alt+f
xdotool key x
status=0
timeout 30 tail --pid="$pid" -f /dev/null || { echo "kivora did not quit through File > Exit" >&2; exit 1; }
wait "$pid" || status=$?
pid=
if [ "$status" -ne 0 ]; then
    echo "kivora exited with status $status:" >&2
    cat "$work/kivora.log" >&2
    exit 1
fi

expected_low=$($measure wav-pitch "$source_dir/examples/instruments/duo/1/low.wav")
expected_high=$($measure wav-pitch "$source_dir/examples/instruments/duo/1/high.wav")
mapfile -t notes < <($measure notes "$work/device.raw")
echo "captured notes (start s, pitch Hz): ${notes[*]}"
echo "expected: low $expected_low Hz, high $expected_high Hz"
if [ "${#notes[@]}" -ne 3 ]; then
    echo "expected 3 notes, captured ${#notes[@]}" >&2
    exit 1
fi
check() { # captured expected nominal name
    python3 - "$@" <<'PY'
import sys
captured, expected, nominal, name = float(sys.argv[1]), float(sys.argv[2]), float(sys.argv[3]), sys.argv[4]
for reference in (expected, nominal):
    if abs(captured - reference) > 0.01 * reference:
        sys.exit(f"{name}: captured {captured:.2f} Hz, not within 1 % of {reference:.2f} Hz")
print(f"{name}: {captured:.2f} Hz ok")
PY
}
check "${notes[0]#* }" "$expected_low" 130.8128 "Q (low, C3)"
check "${notes[1]#* }" "$expected_high" 164.8138 "E (high, E3)"
check "${notes[2]#* }" "$expected_low" 130.8128 "A on AZERTY (low, C3)"
