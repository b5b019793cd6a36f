#!/bin/sh
# The generator and the engine's core make no sound: neither may load SDL or
# libsamplerate, directly or through another library. The live part is the
# control that the check sees those libraries at all.
# usage: links_no_sound.sh LIVE_LIBRARY LIBRARY...
set -u
live=$1
shift
ldd "$live" | grep -q 'libSDL2' || { echo "the check sees no SDL in $live"; exit 1; }
status=0
for library in "$@"; do
    found=$(ldd "$library") || { echo "ldd failed on $library"; exit 1; }
    if echo "$found" | grep -Ei 'libSDL|libsamplerate'; then
        echo "$library loads a sound library"
        status=1
    fi
done
[ "$status" -eq 0 ] && echo "no sound libraries in: $*"
exit "$status"
