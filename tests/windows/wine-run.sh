#!/usr/bin/env bash
# Runs a cross-built Windows program under Wine for ctest: in the Wine prefix of the Windows
# version that KELVANE_WINE_WINDOWS names (7, 8.1 or 10; default 7), made on first use under
# KELVANE_WINE_PREFIXES for a user with a non-ASCII name. The Qt and MinGW DLLs come from
# WINEPATH and the X server from DISPLAY, both set by scripts/test-windows.sh.
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
export WINEPREFIX="$root/win-$version" WINEDEBUG=-all WINEARCH=win64
export HOME="$root/home-$version" USER="Jürgen" LOGNAME="Jürgen"
export WINEDLLOVERRIDES="winemenubuilder.exe=d"
mkdir -p "$root"
(
    flock 9
    if [ ! -f "$WINEPREFIX/.ready" ]; then
        # Wine links the user's Desktop to HOME/Desktop only if it exists at this point.
        mkdir -p "$HOME/Desktop"
        wineboot --init > /dev/null 2>&1
        wine reg add 'HKCU\Software\Wine' /v Version /d "$wine_version" /f > /dev/null 2>&1
        wineserver -w
        touch "$WINEPREFIX/.ready"
    fi
) 9> "$root/.lock-$version"
# A QtTest program under Wine writes its log where ctest cannot see it: it goes to a file, which
# is printed once the program has ended.
case "$(basename "$1")" in
    tst_*)
        log="$(mktemp "$root/log.XXXXXX")"
        status=0
        wine "$@" -o "Z:${log//\//\\},txt" || status=$?
        cat "$log"
        rm -f "$log"
        exit "$status"
        ;;
esac
exec wine "$@"
