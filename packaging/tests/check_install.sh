#!/usr/bin/env bash
# check_install.sh BUILD_DIR WORK_DIR: installs the build into a fresh prefix
# and checks what a desktop and a user meet there, away from the source tree.
set -euo pipefail
build_dir=$1
work=$2
rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

cmake --install "$build_dir" --prefix "$prefix" >"$work/install.log"
share=$prefix/share

# The programs and the examples.
for program in kivora kivora-cli; do
    [ -x "$prefix/bin/$program" ] || fail "$program is not installed"
    # The installed programs load the installed libraries, never the build's.
    if readelf -d "$prefix/bin/$program" | grep -F -q "$build_dir"; then
        fail "$program still looks into the build folder"
    fi
done
[ -f "$share/kivora/examples/models/plucked-string.json" ] || fail "the bundled models are missing"
[ -f "$share/kivora/examples/instruments/duo.ins" ] || fail "the bundled instruments are missing"

# The desktop entry and the file types.
desktop-file-validate "$share/applications/kivora.desktop" || fail "the desktop entry is invalid"
xmllint --noout "$share/mime/packages/kivora.xml" || fail "the MIME types are not well-formed XML"
cp -r "$share/mime" "$work/mime"
update-mime-database "$work/mime" 2>"$work/mime.log" || fail "update-mime-database refused the types"
grep -q "application/x-kivora-instrument:\*\.ins" "$work/mime/globs2" || fail "no glob for .ins"
grep -q "text/x-kivora-melody:\*\.snc" "$work/mime/globs2" || fail "no glob for .snc"
for type in application/x-kivora-instrument application/x-kivora-model; do
    grep -q "$type" "$share/applications/kivora.desktop" || fail "the desktop entry does not open $type"
    grep -q "type=\"$type\"" "$share/mime/packages/kivora.xml" || fail "$type is not defined"
done
[ -f "$share/icons/hicolor/scalable/apps/kivora.svg" ] || fail "no scalable icon"
for size in 16 32 48 64 128 256; do
    icon=$share/icons/hicolor/${size}x${size}/apps/kivora.png
    [ -f "$icon" ] || fail "no ${size}px icon"
    python3 -c 'import struct, sys
data = open(sys.argv[1], "rb").read(24)
width, height = struct.unpack(">II", data[16:24])
sys.exit(0 if data[:8] == b"\x89PNG\r\n\x1a\n" and width == height == int(sys.argv[2]) else 1)' "$icon" "$size" ||
        fail "the ${size}px icon is not a ${size}x${size} PNG"
done

# The manuals render, and name what they document.
for page in kivora kivora-cli; do
    manual=$share/man/man1/$page.1
    [ -f "$manual" ] || fail "no manual page $page(1)"
    # Justified lines may hold two blanks between words.
    MANWIDTH=80 man -l "$manual" 2>"$work/$page.err" | tr -s ' ' >"$work/$page.txt" || fail "man -l $page.1 failed"
    [ ! -s "$work/$page.err" ] || fail "man -l $page.1 warned: $(cat "$work/$page.err")"
done
for command in info resave render convert export play pitch generate modes; do
    grep -q "kivora-cli $command" "$work/kivora-cli.txt" || fail "kivora-cli(1) does not describe $command"
done
grep -q "FILE" "$work/kivora.txt" || fail "kivora(1) does not describe its arguments"

# The installed tool works from another folder on the installed examples.
mkdir -p "$work/elsewhere"
cd "$work/elsewhere"
"$prefix/bin/kivora-cli" --version | grep -q "^kivora-cli " || fail "kivora-cli --version"
"$prefix/bin/kivora" --version | grep -q "^kivora " || fail "kivora --version"
"$prefix/bin/kivora-cli" generate "$share/kivora/examples/models/plucked-string.json" -o string.ins --octaves 1 2>/dev/null
[ "$("$prefix/bin/kivora-cli" info string.ins | grep -vc '^--')" -eq 12 ] || fail "the generated instrument has not 12 sounds"
"$prefix/bin/kivora-cli" render "$share/kivora/examples/melodies/duo-march.snc" -o march.wav --mix normalize
python3 -c 'import sys, wave; w = wave.open(sys.argv[1]); sys.exit(0 if w.getnframes() > 0 else 1)' march.wav ||
    fail "the rendered melody is empty"
# play opens the installed sound module.
module=$(find "$prefix" -name kivora-cli-play.so)
[ -n "$module" ] || fail "the play module kivora-cli-play.so is not installed"
if readelf -d "$module" | grep -F -q "$build_dir"; then
    fail "the play module still looks into the build folder"
fi
SDL_AUDIODRIVER=dummy "$prefix/bin/kivora-cli" play "$share/kivora/examples/instruments/drum.wav" >/dev/null ||
    fail "the installed kivora-cli cannot play"

# The LV2 bundle, when the build made one: found by a host on the prefix's
# lib/lv2 and loading the installed libraries.
if [ -f "$build_dir/lv2/kivora.lv2/manifest.ttl" ]; then
    bundle=$prefix/lib/lv2/kivora.lv2
    [ -f "$bundle/kivora.so" ] && [ -f "$bundle/manifest.ttl" ] && [ -f "$bundle/kivora.ttl" ] ||
        fail "the LV2 bundle is incomplete in $bundle"
    if readelf -d "$bundle/kivora.so" | grep -F -q "$build_dir"; then
        fail "the LV2 plugin still looks into the build folder"
    fi
    ldd "$bundle/kivora.so" | grep "libkivora_voices" | grep -F -q "$prefix/" ||
        fail "the LV2 plugin does not load the installed voices library"
    if command -v lv2info >/dev/null; then
        LV2_PATH=$prefix/lib/lv2:/usr/lib/lv2 lv2info urn:kivora:live-model | grep -q "Kivora Model" ||
            fail "lv2info does not find the installed plugin"
    fi
fi

# Every installed header compiles on its own against the installed headers.
cxx=${CXX:-c++}
while IFS= read -r header; do
    case $header in */muntero/view/*) continue ;; esac # needs Qt's flags
    relative=${header#"$prefix/include/"}
    echo "#include <$relative>" >"$work/header.cpp"
    "$cxx" -std=c++20 -fsyntax-only -I"$prefix/include" "$work/header.cpp" ||
        fail "the installed header $relative does not compile alone"
done < <(find "$prefix/include" -name '*.h' | sort)
echo "installation checked: $prefix"
