#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks that the result is a runnable
# application: the program finds its Configuration and converter beside it when started
# through the link on PATH, and the desktop entry and icon are in place.
set -euo pipefail
build_dir="$1"
prefix=$(mktemp -d)
home=$(mktemp -d)
trap 'rm -rf "$prefix" "$home"' EXIT

cmake --install "$build_dir" --prefix "$prefix" >/dev/null
app="$prefix/lib/kelvane"
fail() { echo "FAIL: $*"; exit 1; }

[ -x "$app/kelvane" ] || fail "no executable in $app"
[ -f "$app/Configuration" ] || fail "no Configuration beside the executable"
[ -x "$app/ffmpeg-win/ffmpeg.exe" ] || fail "no converter at $app/ffmpeg-win/ffmpeg.exe"
[ -L "$prefix/bin/kelvane" ] || fail "no link on PATH"
entry="$prefix/share/applications/kelvane.desktop"
grep -qx 'Exec=kelvane' "$entry" || fail "desktop entry does not start kelvane"
grep -qx 'Icon=kelvane' "$entry" || fail "desktop entry names no icon"
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$entry" || fail "desktop entry does not validate"
fi
file_type=$(head -c 8 "$prefix/share/icons/hicolor/128x128/apps/kelvane.png" | od -An -tx1 | tr -d ' \n')
[ "$file_type" = "89504e470d0a1a0a" ] || fail "icon is not a PNG"

mkdir -m 700 "$home/runtime"
stderr="$home/stderr.txt"
HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_RUNTIME_DIR="$home/runtime" \
    QT_QPA_PLATFORM=offscreen PATH="$prefix/bin:$PATH" kelvane 2>"$stderr" &
pid=$!
for _ in $(seq 1 100); do
    [ "$(grep -c '^Debug: ~~~~' "$stderr" || true)" -ge 2 ] && break
    sleep 0.1
done
kill "$pid" 2>/dev/null || true
wait "$pid" 2>/dev/null || true
grep -q '^Debug: EmbeddedConfigurationFileData: .*Kelvane FLAC to MP3' "$stderr" \
    || fail "the installed program did not read its Configuration: $(cat "$stderr")"
grep -q "^Debug: ~~~~ \"$home/.config/Kelvane/Kelvane FLAC to MP3.conf\"" "$stderr" \
    || fail "the installed program opened other settings: $(cat "$stderr")"
echo "1 passed, 0 failed"
