#!/usr/bin/env bash
# play_in_jalv.sh LV2_DIR WORK_DIR: the plugin in a real host. A JACK server
# with the dummy driver (48 kHz, 1024-frame periods) runs jalv with the plugin
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

# Real-time scheduling where the system grants it (root, or an rtprio limit):
# a busy machine then takes the clients' time, not theirs.
realtime=--no-realtime
if [ "$(id -u)" -eq 0 ] || [ "$(ulimit -r)" != 0 ]; then realtime=--realtime; fi
jackd "$realtime" --name "$server" -d dummy -r 48000 -p 1024 >"$work/jackd.log" 2>&1 &
pids+=($!)
jack_wait --server "$server" --wait --timeout 10 >>"$work/jackd.log" 2>&1 || {
    cat "$work/jackd.log"
    echo "FAIL: the JACK server did not start"
    exit 1
}

# A song's state as a host saves it: the struck membrane's own text, no file.
membrane_state=$work/membrane-song
mkdir -p "$membrane_state"
{
    echo '@prefix lv2: <http://lv2plug.in/ns/lv2core#> .'
    echo '@prefix pset: <http://lv2plug.in/ns/ext/presets#> .'
    echo '@prefix state: <http://lv2plug.in/ns/ext/state#> .'
    echo '<> a pset:Preset ; lv2:appliesTo <urn:kivora:live-model> ; state:state ['
    echo '    <urn:kivora:live-model#model> "struck-membrane.json" ;'
    echo '    <urn:kivora:live-model#modelText> """'
    cat "$here/../../../examples/models/struck-membrane.json"
    echo '""" ] .'
} >"$membrane_state/state.ttl"
/usr/bin/python3 "$here/make_song.py" "$work/song.mid"

# play NAME [JALV OPTION...]: jalv with the plugin, the song played through it.
play() {
    local name=$1
    shift
    echo "== $name"
    # jalv reads commands on its input: a pipe kept open while it plays.
    rm -f "$work/jalv-input"
    mkfifo "$work/jalv-input"
    jalv -n kivora -x "$@" urn:kivora:live-model <"$work/jalv-input" >"$work/jalv-$name.log" 2>&1 &
    local jalv_pid=$!
    pids+=($jalv_pid)
    exec 3>"$work/jalv-input"
    for _ in $(seq 100); do
        jack_lsp --server "$server" 2>/dev/null | grep -q "^kivora:out$" && break
        sleep 0.1
    done
    if ! jack_lsp --server "$server" | grep -q "^kivora:control$"; then
        cat "$work/jalv-$name.log"
        echo "FAIL: jalv did not show the plugin's ports"
        return 1
    fi
    local status=0
    /usr/bin/python3 "$here/jack_play_record.py" "$work/song.mid" kivora:control kivora:out \
        "$work/$name.wav" || status=$?
    exec 3>&-
    kill "$jalv_pid" 2>/dev/null || true
    wait "$jalv_pid" 2>/dev/null || true
    if grep -q "Kivora Model" "$work/jalv-$name.log"; then
        echo "the plugin logged:"
        grep "Kivora Model" "$work/jalv-$name.log"
    fi
    if command -v sox >/dev/null; then
        sox "$work/$name.wav" -n stat 2>&1 | grep -E "Maximum amplitude|RMS +amplitude" || true
    fi
    return $status
}

status=0
play plucked-string || status=1
play struck-membrane -l "$membrane_state" || status=1
if cmp -s "$work/plucked-string.wav" "$work/struck-membrane.wav"; then
    echo "FAIL: the restored song did not play the membrane"
    status=1
fi
exit $status
