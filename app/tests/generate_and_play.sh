#!/usr/bin/env bash
# End to end under an X server (run through testsupport/with-xvfb.sh): opens a model in
# kivora, generates from the piano toolbar with the dialog's "Generate!",
# plays Q, W and E through SDL's disk driver and checks that the captured
# notes are C3, D3 and E3 within 1 %.
#   generate_and_play.sh KIVORA MODEL.json WORK_FOLDER
set -euo pipefail
kivora=$1 model=$2 work=$3
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../testsupport/x-windows.sh"
notes() { python3 "$here/captured_notes.py" "$@"; }
mkdir -p "$work"
raw=$work/captured.raw
rm -f "$raw"

# The program remembers recent files: in the test's folder, never the user's.
SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=$raw QT_QPA_PLATFORM=xcb XDG_CONFIG_HOME=$work/config \
    "$kivora" -qwindowgeometry 1280x1024+0+0 "$model" > "$work/kivora.log" 2>&1 &
pid=$!
trap 'kill $pid 2>/dev/null || true; wait $pid 2>/dev/null || true' EXIT

frame=$(wait_for_window 'Kivora$' 60)
# The toolbar's "Generate Number of Notes" button: the second of the piano
# pane's toolbar, whose place the window's fixed layout gives at 1280 × 1024.
# A busy machine may map the window before it takes clicks: click again until
# the dialog shows (while it is open, the modal dialog ignores further clicks).
dialog=
for attempt in $(seq 1 30); do
    xdotool mousemove --sync 695 803 click 1
    dialog=$(wait_for_window '^Create Razuviv$' 2 2>/dev/null) && break
done
[ -n "$dialog" ] || { echo "the generation dialog did not open" >&2; exit 1; }
xdotool windowfocus --sync "$dialog"
xdotool key Return # "Generate!" is the default button

# The run ends when the piano has an instrument: a key then sounds. Until
# then a key is ignored, so Q is pressed again until a note is heard.
xdotool windowfocus --sync "$frame"
for attempt in $(seq 1 120); do
    xdotool key q
    if notes wait "$raw" 1 --quiet --bound 2 2>/dev/null; then break; fi
done
notes wait "$raw" 1 --quiet --bound 10
xdotool key w
notes wait "$raw" 2 --quiet --bound 20
xdotool key e
notes wait "$raw" 3 --quiet --bound 20
kill $pid
wait $pid 2>/dev/null || true
trap - EXIT

notes expect "$raw" C3=130.81 D3=146.83 E3=164.81
