# Shell functions for tests that drive a program's windows with xdotool;
# source it from bash.

# Prints the id of the first shown window whose title matches REGEX, waiting
# up to SECONDS for it; fails saying so when none shows.
#   wait_for_window REGEX SECONDS
# Each look is a fresh `xdotool search`, whose failures are looked past: it
# gives up with an X error when a window vanishes while it inspects it, as
# the short-lived windows of a starting program do, and `--sync` would end
# the wait with it.
wait_for_window() {
    local regex=$1 seconds=$2 id
    local deadline=$((SECONDS + seconds))
    while [ "$SECONDS" -lt "$deadline" ]; do
        id=$(xdotool search --onlyvisible --name "$regex" 2>/dev/null | head -n 1) || true
        if [ -n "$id" ]; then
            echo "$id"
            return 0
        fi
        sleep 0.2
    done
    echo "no window titled like '$regex' showed within $seconds s" >&2
    return 1
}
