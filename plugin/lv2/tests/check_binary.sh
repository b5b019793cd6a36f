#!/usr/bin/env bash
# check_binary.sh PLUGIN.so: the plugin lives in the host's process, so it
# exports its entry point alone and loads no window, sound-device or codec
# library, directly or through the libraries it links.
set -euo pipefail
plugin=$1
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
exported=$(nm -D --defined-only "$plugin" | awk '{print $3}' | sort -u)
[ "$exported" = "lv2_descriptor" ] || fail "exports more than lv2_descriptor: $(echo $exported)"
loaded=$(ldd "$plugin")
echo "$loaded" | grep -q "not found" && fail "unresolved libraries: $loaded"
echo "$loaded" | grep -q "libkivora_voices" || fail "does not load the voices library"
for forbidden in libQt libSDL libaubio libsndfile libavcodec libavformat libvorbis libFLAC libmpg123 libopus \
    librtmidi libasound libjack libpulse; do
    if echo "$loaded" | grep -q "$forbidden"; then
        fail "loads $forbidden: $(echo "$loaded" | grep "$forbidden")"
    fi
done
echo "$plugin: exports lv2_descriptor only; loads $(echo "$loaded" | wc -l) libraries, none of a window, device or codec"
