#!/usr/bin/env bash
# Runs COMMAND [ARGS...] under a private Xvfb server with a 1280x1024x24 screen
# and returns its status.
#   with-xvfb.sh COMMAND [ARGS...]
# The server picks a free display number itself (-displayfd) and holds it from
# the moment it reports it, so tests started in parallel, or by two test runs at
# once, never race for one number as `xvfb-run -a` can: it checks for a free
# number and starts the server afterwards, and the loser fails at once.
set -euo pipefail
work=$(mktemp -d)
server=
cleanup() {
    if [ -n "$server" ]; then
        kill "$server" 2>/dev/null || true
        wait "$server" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# The file exists before the server starts: the background job opens it only
# once it runs, which may be after the first look below.
: >"$work/display"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>>"$work/display" 2>"$work/xvfb.log" &
server=$!
display=
# Up to 60 s: a busy machine starts the server slowly.
for _ in $(seq 1 600); do
    display=$(cat "$work/display" 2>/dev/null || true)
    [[ $display =~ ^[0-9]+$ ]] && break
    if ! kill -0 "$server" 2>/dev/null; then
        echo "Xvfb failed to start:" >&2
        cat "$work/xvfb.log" >&2
        exit 1
    fi
    sleep 0.1
done
if ! [[ $display =~ ^[0-9]+$ ]]; then
    echo "Xvfb reported no display within 60 s" >&2
    exit 1
fi
export DISPLAY=:$display
"$@"
