#!/usr/bin/env bash
# Sets up a Debian 12 machine for Kivora, builds what is asked for and runs it.
#   ./kivora.sh          install what is missing, build kivora-cli, run the headless main job
#   ./kivora.sh test     install what is missing, build everything, run the whole test suite
#   ./kivora.sh gui [FILE]  install what is missing, build the window program, start it
set -euo pipefail
invoked_from=$PWD
cd "$(dirname "$0")"

BUILD_DIR=${KIVORA_BUILD_DIR:-build}
OUT_DIR=${KIVORA_OUT_DIR:-out}

# Every Debian package the build, the tests, the sanitizer pass and the fuzzers use
# (stress-ng keeps the cores busy while the suite is checked for timing faults;
# the installation test validates the desktop files and renders the manuals;
# the window tests pin DejaVu Sans where they need one font's metrics).
PACKAGES=(
    cmake ninja-build g++ pkg-config python3 ccache
    libgtest-dev libgmock-dev libbenchmark-dev
    nlohmann-json3-dev libsdl2-dev libsamplerate0-dev
    clang-14 libclang-rt-14-dev libclang-rt-19-dev
    sox strace
    libeigen3-dev libspectra-dev
    stress-ng
    fluidsynth fluid-soundfont-gm planetblupi-music-midi python3-mido librtmidi-dev
    qt6-base-dev qt6-base-dev-tools libqt6opengl6-dev libgl1-mesa-dri fonts-dejavu-core
    xvfb xauth xdotool x11-xkb-utils imagemagick
    help2man desktop-file-utils libxml2-utils man-db dpkg-dev
    lv2-dev liblilv-dev lilv-utils lv2-examples jalv jackd2 libjack-jackd2-dev python3-numpy python3-jack-client
)

install_packages() {
    local missing=()
    for package in "${PACKAGES[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$package")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    "${sudo[@]}" apt-get update -q
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
}

# build [TARGET...]: configures once, then builds the targets (all without).
build() {
    local werror=OFF
    [ -n "${CI:-}" ] && werror=ON
    cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKIVORA_WERROR="$werror" >/dev/null
    local targets=()
    for target in "$@"; do targets+=(--target "$target"); done
    cmake --build "$BUILD_DIR" "${targets[@]}"
}

# The headless main job: works through the libraries with the bundled files
# and prints where its results are.
main_job() {
    local cli="$BUILD_DIR/cli/kivora-cli"
    mkdir -p "$OUT_DIR"
    echo "Bundled instrument:"
    "$cli" info examples/instruments/duo.ins
    "$cli" resave examples/instruments/duo.ins "$OUT_DIR/duo.ins"
    echo "Saved a copy: $OUT_DIR/duo.ins"
    echo "Generating an instrument from the built-in plucked string:"
    "$cli" generate -o "$OUT_DIR/plucked-string.ins"
    "$cli" info "$OUT_DIR/plucked-string.ins" | head -n 3
    echo "Generated instrument: $OUT_DIR/plucked-string.ins"
    render_melodies "$cli"
}

# Melody scripts: the duo march carries its own instrument; the generated tune
# plays through the instrument generated from the built-in model. Chords sum
# above 16 bits, so the mix is normalized instead of clipped, and checked.
render_melodies() {
    local cli=$1
    echo "Rendered melodies:"
    "$cli" render examples/melodies/duo-march.snc -o "$OUT_DIR/duo-march.wav" --mix normalize
    "$cli" render examples/melodies/generated-tune.snc -i "$OUT_DIR/plucked-string.ins" \
        -o "$OUT_DIR/generated-tune.wav" --mix normalize
    check_not_clipped "$OUT_DIR/duo-march.wav" "$OUT_DIR/generated-tune.wav"
}

# Fails when a 16-bit WAV file holds samples at the limits of the range.
check_not_clipped() {
    python3 - "$@" <<'PY'
import array, sys, wave
for path in sys.argv[1:]:
    with wave.open(path) as w:
        samples = array.array("h", w.readframes(w.getnframes()))
    clipped = sum(1 for s in samples if s in (32767, -32768))
    if clipped:
        sys.exit("%s: %d clipped samples" % (path, clipped))
PY
}

install_packages
case "${1:-}" in
    test)
        build
        ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$(nproc)"
        ;;
    "")
        build kivora-cli
        main_job
        ;;
    gui)
        build kivora
        # A FILE is named from where the script was started.
        program=$(realpath "$BUILD_DIR/app/kivora")
        cd "$invoked_from"
        exec "$program" "${@:2}"
        ;;
    *)
        echo "usage: ./kivora.sh [test | gui [FILE]]" >&2
        exit 2
        ;;
esac
