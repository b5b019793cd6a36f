#!/bin/sh
# The generator makes no sound: it may load neither SDL nor libsamplerate,
# directly or through another library. The engine's core renders melodies,
# converting sounds of another rate with libsamplerate, but never loads SDL.
# The shared base under them all loads neither Qt, SDL nor libsamplerate.
# The live part is the control that the check sees SDL at all.
# usage: links_no_sound.sh LIVE_LIBRARY CORE_LIBRARY GENERATOR_LIBRARY BASE_LIBRARY
set -u
live=$1 core=$2 generator=$3 base=$4
ldd "$live" | grep -q 'libSDL2' || { echo "the check sees no SDL in $live"; exit 1; }
status=0
check() { # library pattern
    found=$(ldd "$1") || { echo "ldd failed on $1"; exit 1; }
    if echo "$found" | grep -Ei "$2"; then
        echo "$1 loads a library it must not"
        status=1
    fi
}
check "$core" 'libSDL'
check "$generator" 'libSDL|libsamplerate'
check "$base" 'libSDL|libsamplerate|libQt'
[ "$status" -eq 0 ] && echo "no SDL in $core; neither SDL nor libsamplerate in $generator; none of them nor Qt in $base"
exit "$status"
