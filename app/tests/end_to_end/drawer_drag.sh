#!/usr/bin/env bash
# The model drawer in the real program under an X server: opens the bundled
# membrane, which is shown at once (and again after Model > Refresh), plays it with Model > Play, drags
# across it with the left button held (the picked nodes' ends turn red), lets
# go, turns the picture with the arrow keys, and quits through the File menu.
#   drawer_drag.sh KIVORA SOURCE_DIR [SHOT_DIR]      (run it under testsupport/with-xvfb.sh)
# The screenshots stay in SHOT_DIR when one is given.
set -euo pipefail
kivora=$1
source_dir=$2
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../../testsupport/x-windows.sh"
# The window is 1280 pixels wide: the drawer's pane starts halfway.
pixels() { python3 "$here/drawer_pixels.py" "$1" "$2" 640; }

if [ -z "${DISPLAY:-}" ]; then
    echo "no X display: run under testsupport/with-xvfb.sh" >&2
    exit 1
fi
work=$(mktemp -d)
shots=${3:-$work}
mkdir -p "$shots"
pid=
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# Takes screenshots into $shots/NAME.png until `$pixels SHOT KIND` reports a
# count that satisfies the test ("-gt 0" or "-eq 0"), for at most 60 s.
count=0
box=()
wait_for() { # NAME KIND TEST LIMIT [SECONDS]
    local name=$1 kind=$2 test=$3 limit=$4 seconds=${5:-60} result
    for _ in $(seq 1 "$seconds"); do
        import -window root "$shots/$name.png"
        read -r -a result < <(pixels "$shots/$name.png" "$kind")
        count=${result[0]}
        box=("${result[@]:1}")
        # shellcheck disable=SC2086
        if [ "$count" $test "$limit" ]; then
            echo "$name: $count $kind pixels in ${box[*]}"
            return 0
        fi
        sleep 1
    done
    echo "$name: $count $kind pixels after $seconds s; see $shots/$name.png" >&2
    return 1
}

export SDL_AUDIODRIVER=dummy QT_QPA_PLATFORM=xcb
# The program remembers recent files: in the test's folder, never the user's.
export XDG_CONFIG_HOME=$work/config
"$kivora" -qwindowgeometry 1280x1024+0+0 "$source_dir/examples/models/struck-membrane.json" \
    >"$work/kivora.log" 2>&1 &
pid=$!
wid=$(wait_for_window 'Kivora$' 60)
xdotool windowfocus --sync "$wid"

wait_for 1-refresh free -gt 1000 # shown as soon as it is opened
xdotool key alt+m r
wait_for 1-refresh free -gt 1000
read -r x0 y0 x1 y1 <<<"${box[*]}"
fixed=$(pixels "$shots/1-refresh.png" fixed)
echo "1-refresh: fixed-node blue: $fixed"
[ "${fixed%% *}" -gt 0 ] || { echo "no fixed-node blue after Refresh" >&2; exit 1; }

xdotool key alt+m p
sleep 0.5
import -window root "$shots/2-play.png"

# A drag along the picture's middle, left to right, with the left button down.
y=$(((y0 + y1) / 2))
drag_to_middle() {
    xdotool mousemove "$((x0 + 10))" "$y" mousedown 1
    for x in $(seq "$((x0 + 10))" 12 "$(((x0 + x1) / 2))"); do
        xdotool mousemove "$x" "$y"
    done
}
drag_to_middle
# Once in a full suite run on a loaded machine no pick showed within 60 s
# (the cause is not known yet): the drag is made once more before the test
# fails, and the first attempt is reported.
if ! wait_for 3-held left -gt 0 20; then
    echo "3-held: no pick after the first drag; dragging again" >&2
    xdotool mouseup 1
    sleep 0.5
    drag_to_middle
    wait_for 3-held left -gt 0
fi
for x in $(seq "$(((x0 + x1) / 2))" 12 "$((x1 - 10))"); do
    xdotool mousemove "$x" "$y"
done
xdotool mouseup 1
wait_for 4-released left -eq 0

# The click gave the view the focus: the arrow keys turn the picture (30° about y).
xdotool key --delay 20 Left Left Left Left Left Left Left Left Left Left
turned=
for _ in $(seq 1 60); do
    import -window root "$shots/5-turned.png"
    read -r _ tx0 ty0 tx1 ty1 < <(pixels "$shots/5-turned.png" free)
    if [ $((tx0 - x0)) -gt 10 ] || [ $((x0 - tx0)) -gt 10 ] || [ $((ty1 - y1)) -gt 10 ] || [ $((y1 - ty1)) -gt 10 ]; then
        turned=yes
        break
    fi
    sleep 1
done
echo "5-turned: picture from $x0 $y0 $x1 $y1 to $tx0 $ty0 $tx1 $ty1"
[ -n "$turned" ] || { echo "the arrow keys did not turn the picture" >&2; exit 1; }

xdotool key alt+f x
status=0
timeout 30 tail --pid="$pid" -f /dev/null || { echo "kivora did not quit through File > Exit" >&2; exit 1; }
wait "$pid" || status=$?
pid=
if [ "$status" -ne 0 ]; then
    echo "kivora exited with status $status:" >&2
    cat "$work/kivora.log" >&2
    exit 1
fi
echo "drawer end to end: passed"
