#!/usr/bin/env bash
# Runs a cross-built Windows program under Wine for ctest, in a Wine prefix of its own: a copy of
# the prefix for the Windows version that KELVANE_WINE_WINDOWS names (7, 8.1 or 10; default 7),
# made once under KELVANE_WINE_PREFIXES for a user with a non-ASCII name. Tests run in parallel,
# and a shared prefix would mean a shared registry: one test clearing its settings key would
# pull it from under another writing to it. The Qt and MinGW DLLs come from WINEPATH and the X
# server from DISPLAY, both set by scripts/test-windows.sh.
set -euo pipefail
version="${KELVANE_WINE_WINDOWS:-7}"
case "$version" in
    7) wine_version=win7 ;;
    8.1) wine_version=win81 ;;
    10) wine_version=win10 ;;
    *) echo "wine-run: KELVANE_WINE_WINDOWS must be 7, 8.1 or 10, not '$version'" >&2; exit 2 ;;
esac
root="${KELVANE_WINE_PREFIXES:?KELVANE_WINE_PREFIXES names where the Wine prefixes go}"
export KELVANE_WINE_WINDOWS="$version"
export WINEDEBUG=-all WINEARCH=win64 USER="Jürgen" LOGNAME="Jürgen"
export WINEDLLOVERRIDES="winemenubuilder.exe=d"
template="$root/win-$version"
mkdir -p "$root"
(
    flock 9
    if [ ! -f "$template/.ready" ]; then
        rm -rf "$template"
        # Wine links the user's Desktop to HOME/Desktop only if it exists at this point.
        mkdir -p "$template/home/Desktop"
        export WINEPREFIX="$template/prefix" HOME="$template/home"
        wineboot --init > /dev/null 2>&1
        wine reg add 'HKCU\Software\Wine' /v Version /d "$wine_version" /f > /dev/null 2>&1
        wineserver -w
        touch "$template/.ready"
    fi
) 9> "$root/.lock-$version"

run="$(mktemp -d "$root/run-$version.XXXXXX")"
cp -a "$template/prefix" "$template/home" "$run/"
# The user's folders in the prefix are links into the template's home; they follow the copy.
find "$run/prefix/drive_c/users" -mindepth 2 -maxdepth 2 -type l -lname "$template/*" |
    while IFS= read -r link; do
        target="$(readlink "$link")"
        ln -sfn "$run/${target#"$template"/}" "$link"
    done
export WINEPREFIX="$run/prefix" HOME="$run/home"
finish() {
    wineserver -k 2> /dev/null || true
    wineserver -w 2> /dev/null || true
    rm -rf "$run"
}
trap finish EXIT

status=0
case "$(basename "$1")" in
    tst_*)
        # A QtTest program under Wine writes its log where ctest cannot see it: it goes to a
        # file, which is printed once the program has ended.
        log="$run/test.log"
        wine "$@" -o "Z:${log//\//\\},txt" || status=$?
        [ ! -f "$log" ] || cat "$log"
        ;;
    *)
        wine "$@" || status=$?
        ;;
esac
exit "$status"
