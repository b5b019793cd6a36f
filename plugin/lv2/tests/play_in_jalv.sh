#!/usr/bin/env bash
# play_in_jalv.sh LV2_DIR WORK_DIR: the plugin in a real host. A JACK server
# with the dummy driver (48 kHz, 256-frame periods) runs jalv with the plugin
# from LV2_DIR; a JACK client plays a MIDI song into it, records its output
# into WORK_DIR/recording.wav and measures every note's pitch with an FFT.
# Runs without a sound card, as root or not.
set -euo pipefail
lv2_dir=$1
work=$2
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"
mkdir -p "$work"
export LV2_PATH=$lv2_dir:/usr/lib/lv2
server=kivora-lv2-$$
export JACK_DEFAULT_SERVER=$server
export JACK_NO_AUDIO_RESERVATION=1
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT

jackd --no-realtime --name "$server" -d dummy -r 48000 -p 256 >"$work/jackd.log" 2>&1 &
pids+=($!)
jack_wait --server "$server" --wait --timeout 10 >/dev/null || {
    cat "$work/jackd.log"
    echo "FAIL: the JACK server did not start"
    exit 1
}

# jalv reads commands on its input: a pipe kept open until the end.
mkfifo "$work/jalv-input"
jalv -n kivora -x urn:kivora:live-model <"$work/jalv-input" >"$work/jalv.log" 2>&1 &
pids+=($!)
exec 3>"$work/jalv-input"
for _ in $(seq 100); do
    jack_lsp --server "$server" 2>/dev/null | grep -q "^kivora:out$" && break
    sleep 0.1
done
jack_lsp --server "$server" | grep -q "^kivora:control$" || {
    cat "$work/jalv.log"
    echo "FAIL: jalv did not show the plugin's ports"
    exit 1
}

/usr/bin/python3 "$here/make_song.py" "$work/song.mid"
status=0
/usr/bin/python3 "$here/jack_play_record.py" "$work/song.mid" kivora:control kivora:out "$work/recording.wav" ||
    status=$?
exec 3>&-
if grep -q -i "error\|fail" "$work/jalv.log"; then
    echo "jalv said:"
    cat "$work/jalv.log"
fi
if command -v sox >/dev/null; then
    sox "$work/recording.wav" -n stat 2>&1 | grep -E "Length|Maximum amplitude|RMS +amplitude|Rough" || true
fi
exit $status
