#!/usr/bin/env bash
# The real program under an X server, three runs over one settings folder:
#  1. an empty start: the title is "Kivora", the status bar shows its hint from
#     the start and View > Status Bar hides and shows it again;
#  2. the bundled instrument from the command line: the title names it;
#  3. a model from the command line, then File > Recent Instruments > 1: the
#     instrument of the second run is back and the title names both.
#   window_session.sh KIVORA SOURCE_DIR      (run it under testsupport/with-xvfb.sh)
set -euo pipefail
kivora=$1
source_dir=$2
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../../testsupport/x-windows.sh"

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

export SDL_AUDIODRIVER=dummy QT_QPA_PLATFORM=xcb
# The remembered files go here, never to the user's settings.
export XDG_CONFIG_HOME=$work/config
instrument=$source_dir/examples/instruments/duo.ins
model=$source_dir/examples/models/plucked-string.json

start() { # [FILE]
    "$kivora" -qwindowgeometry 1280x1024+0+0 "$@" >"$work/kivora.log" 2>&1 &
    pid=$!
    wid=$(wait_for_window 'Kivora$' 60) || {
        echo "kivora's output:" >&2
        cat "$work/kivora.log" >&2
        exit 1
    }
    xdotool windowfocus --sync "$wid"
}
quit() { # through File > Exit
    xdotool key alt+f
    xdotool key x
    local status=0
    timeout 30 tail --pid="$pid" -f /dev/null || { echo "kivora did not quit through File > Exit" >&2; exit 1; }
    wait "$pid" || status=$?
    pid=
    if [ "$status" -ne 0 ]; then
        echo "kivora exited with status $status:" >&2
        cat "$work/kivora.log" >&2
        exit 1
    fi
}
expect_title() { # TITLE: waits up to 20 s for the window to take it
    local title
    for _ in $(seq 1 100); do
        title=$(xdotool getwindowname "$wid")
        [ "$title" = "$1" ] && { echo "title: $title"; return 0; }
        sleep 0.2
    done
    echo "title is '$title', expected '$1'" >&2
    exit 1
}
# The window's bottom 18 rows, where the status bar sits, as a picture.
bottom_strip() { # NAME
    import -window root -crop 1280x18+0+1006 +repage "$work/$1.png"
}
dark_pixels() { # NAME: pixels darker than half grey in the strip's left half
    convert "$work/$1.png" -crop 640x18+0+0 -colorspace gray -threshold 50% -negate \
        -format '%[fx:round(mean*w*h)]' info:
}
differing_pixels() { # A B
    compare -metric AE "$work/$1.png" "$work/$2.png" null: 2>&1 || true
}

# 1. The empty start.
start
expect_title "Kivora"
sleep 1
bottom_strip shown
hint=$(dark_pixels shown)
echo "status bar hint: $hint dark pixels"
[ "$hint" -gt 50 ] || { echo "no hint text in the status bar at the start" >&2; exit 1; }
xdotool key alt+v s
sleep 1
bottom_strip hidden
changed=$(differing_pixels shown hidden)
echo "View > Status Bar off: $changed pixels of the bottom strip changed"
[ "$changed" -gt 500 ] || { echo "View > Status Bar did not hide the status bar" >&2; exit 1; }
xdotool key alt+v s
sleep 1
bottom_strip shown-again
back=$(differing_pixels shown shown-again)
echo "View > Status Bar on: $back pixels differ from the start"
[ "$back" -lt 50 ] || { echo "View > Status Bar did not bring the status bar back" >&2; exit 1; }
quit

# 2. An instrument from the command line.
start "$instrument"
expect_title "duo.ins — Kivora"
quit
grep -q "duo.ins" "$XDG_CONFIG_HOME/Kivora/Kivora.conf" ||
    { echo "the recent instrument is not in the settings:" >&2; cat "$XDG_CONFIG_HOME/Kivora/Kivora.conf" >&2; exit 1; }

# 3. A model, then the recent instrument of the last run from the menu.
start "$model"
expect_title "plucked-string.json — Kivora"
xdotool key alt+f
xdotool key i
xdotool key 1
expect_title "plucked-string.json, duo.ins — Kivora"
quit
grep -q "plucked-string.json" "$XDG_CONFIG_HOME/Kivora/Kivora.conf" ||
    { echo "the recent model is not in the settings" >&2; exit 1; }
echo "window session ok"
