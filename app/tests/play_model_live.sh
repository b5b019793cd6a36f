#!/usr/bin/env bash
# End to end under an X server (run through testsupport/with-xvfb.sh): opens a
# model in kivora, turns on Instrument > Play the Model Live with the menu's
# keys, holds Q, W and E in turn through SDL's disk driver and checks that the
# captured voices are C3, D3 and E3 within 1 %; then, with nothing sounding,
# that the program takes under 3 % of a core (live voices sleep in silence).
#   play_model_live.sh KIVORA MODEL.json WORK_FOLDER
set -euo pipefail
kivora=$1 model=$2 work=$3
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../testsupport/x-windows.sh"
# The voices play at the model's rate (the generator's 44 100 Hz), in stereo.
export CAPTURED_NOTES_RATE=44100
notes() { python3 "$here/captured_notes.py" "$@"; }
mkdir -p "$work"
raw=$work/captured.raw
rm -f "$raw"

SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=$raw QT_QPA_PLATFORM=xcb XDG_CONFIG_HOME=$work/config \
    "$kivora" -qwindowgeometry 1280x1024+0+0 "$model" > "$work/kivora.log" 2>&1 &
pid=$!
trap 'kill $pid 2>/dev/null || true; wait $pid 2>/dev/null || true' EXIT

frame=$(wait_for_window 'Kivora$' 60)
xdotool windowfocus --sync "$frame"
# A busy machine may map the window before it takes keys: the menu is asked
# again when the device file (the live mode opens it) has not appeared within
# 15 s. Each try toggles the mode, so a try is given time before the next one,
# which would turn a slowly starting live mode off again.
for attempt in $(seq 1 4); do
    xdotool key alt+i
    sleep 0.5
    xdotool key v
    for _ in $(seq 1 60); do
        [ -e "$raw" ] && break 2
        sleep 0.25
    done
done
[ -e "$raw" ] || { echo "the live mode did not start" >&2; exit 1; }
xdotool windowfocus --sync "$frame"

# A voice sounds while its key is held: each key is held for 0.4 s, enough
# for the pitch measured over 340 ms and below the X server's auto-repeat
# delay (660 ms), whose release and press pairs a busy machine may deliver
# as a new note.
hold() { xdotool keydown "$1"; sleep 0.4; xdotool keyup "$1"; }
hold q
notes wait "$raw" 1 --quiet --bound 20
hold w
notes wait "$raw" 2 --quiet --bound 20
hold e
notes wait "$raw" 3 --quiet --bound 20

# The processor time of the whole program (every thread: interface, voices'
# render and helpers, SDL's) over 10 s once the last voice has faded.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$pid/stat"; }
sleep 2
ticks_before=$(cpu_ticks)
sleep 10
ticks=$(($(cpu_ticks) - ticks_before))
per_second=$(getconf CLK_TCK)
echo "idle in live mode: $ticks ticks of $((10 * per_second)) in 10 s"
# A render thread stepping silent voices costs some 10 % of a core.
if [ $((ticks * 100)) -gt $((3 * 10 * per_second)) ]; then
    echo "the live mode keeps the processor busy while nothing sounds" >&2
    exit 1
fi
kill $pid
wait $pid 2>/dev/null || true
trap - EXIT

notes expect "$raw" C3=130.81 D3=146.83 E3=164.81
