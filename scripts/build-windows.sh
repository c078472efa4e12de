#!/usr/bin/env bash
# Cross-builds Kelvane for 64-bit Windows 10 and 11 on Debian 12 or 13, from Debian's own
# sources: Qt 6 (qt6-base, the same version as this machine's Qt tools), and an LGPL FFmpeg with
# LAME, libogg and libvorbis. Then it lays out the application folder and writes to dist/:
#   kelvane-<version>-windows-x64.zip        the portable application folder
#   kelvane-<version>-windows-x64-setup.exe  a per-user NSIS installer
#
# What it builds from Debian's sources is kept in $KELVANE_WINDOWS_CACHE
# (default /var/cache/kelvane-windows), one folder per source version and options, and reused
# while neither changes.
#
# Options:
#   --configuration FILE   make a deployer's program around FILE (byte for byte); named and
#                          versioned from its AppName, BrandName and AppVersion
#   --telemetry-url URL    the telemetry API base URL compiled into the program
#   --output DIR           where the zip and installer go (default dist/)
#   --with-sources         also put the Debian source files the build used beside them
#   --tests                also cross-build the test suite (build-windows/tests)
#   --no-package           build only; no zip, no installer
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
source_tree="$PWD"

configuration="$source_tree/deploy/Configuration"
telemetry_url=""
output="$source_tree/dist"
with_sources=0
with_tests=0
package=1
while [ $# -gt 0 ]; do
    case "$1" in
        --configuration) configuration="$(realpath "$2")"; shift 2 ;;
        --telemetry-url) telemetry_url="$2"; shift 2 ;;
        --output) output="$(realpath -m "$2")"; shift 2 ;;
        --with-sources) with_sources=1; shift ;;
        --tests) with_tests=1; shift ;;
        --no-package) package=0; shift ;;
        *) echo "build-windows: unknown option '$1'" >&2; exit 2 ;;
    esac
done

cache="${KELVANE_WINDOWS_CACHE:-/var/cache/kelvane-windows}"
jobs="$(nproc)"
mingw=x86_64-w64-mingw32
toolchain="$source_tree/packaging/windows/mingw-w64-x86_64.cmake"

started=$SECONDS
step_started=$SECONDS
step() {
    echo "build-windows: $1 took $((SECONDS - step_started)) s (total $((SECONDS - started)) s)"
    step_started=$SECONDS
}

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

# --- What this machine needs -------------------------------------------------------------------
release="$(. /etc/os-release && echo "${ID:-unknown} ${VERSION_ID:-}")"
case "$release" in
    "debian 12"|"debian 13") ;;
    *) echo "build-windows: this script knows Debian 12 and 13; this machine runs '$release'." >&2
       exit 1 ;;
esac
packages=(
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    mingw-w64-x86-64-dev mingw-w64-tools libz-mingw-w64-dev
    cmake ninja-build nasm make perl pkg-config python3 dpkg-dev xz-utils zip unzip nsis
    qt6-base-dev qt6-base-dev-tools
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

# Debian's sources come from the same mirror and suites as its packages.
sources_list=/etc/apt/sources.list.d/kelvane-deb-src.sources
need_update=0
if ! apt-get indextargets --format '$(IDENTIFIER)' 2>/dev/null | grep -qx 'Sources'; then
    if [ -r /etc/apt/sources.list.d/debian.sources ]; then
        sed -e 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
            | $sudo tee "$sources_list" >/dev/null
    elif [ -r /etc/apt/sources.list ]; then
        grep -E '^deb ' /etc/apt/sources.list | sed -e 's/^deb /deb-src /' \
            | $sudo tee /etc/apt/sources.list.d/kelvane-deb-src.list >/dev/null
    fi
    need_update=1
fi
if [ ${#missing[@]} -gt 0 ] || [ $need_update = 1 ]; then
    $sudo apt-get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
    echo "build-windows: installing ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
step "packages"

$sudo mkdir -p "$cache"
$sudo chown "$(id -u):$(id -g)" "$cache"
mkdir -p "$cache/src" "$cache/build" "$cache/download"

# The version of a source package as Debian's archive has it for this release. Qt must match
# the host tools exactly, so it is taken from the installed host package.
source_version() {
    apt-cache showsrc "$1" 2>/dev/null | awk '/^Version:/ { print $2 }' | sort -V | tail -1
}
qt_version="$(dpkg-query -W -f='${source:Version}' qt6-base-dev)"
ffmpeg_version="$(source_version ffmpeg)"
lame_version="$(source_version lame)"
ogg_version="$(source_version libogg)"
vorbis_version="$(source_version libvorbis)"
echo "build-windows: sources qt6-base $qt_version, ffmpeg $ffmpeg_version, lame $lame_version," \
     "libogg $ogg_version, libvorbis $vorbis_version"

# Fetches and unpacks (with Debian's patches applied) one source package into the cache.
unpack() {
    local name="$1" version="$2" dir="$cache/src/$1-$2"
    if [ ! -f "$dir/.unpacked" ]; then
        rm -rf "$dir" "$cache/download/$name-$version"
        mkdir -p "$cache/download/$name-$version"
        (cd "$cache/download/$name-$version" &&
            apt-get source --download-only -qq "$name=$version" >/dev/null &&
            dpkg-source --no-check -x ./*.dsc "$dir" >/dev/null)
        touch "$dir/.unpacked"
    fi
    echo "$dir"
}

# A build's cache key: its source version plus a digest of everything that shapes it.
key() {
    local name="$1" version="$2"; shift 2
    printf '%s\n' "$@" | cat - "$toolchain" | sha256sum | cut -c1-12 | sed "s/^/$name-$version-/"
}

# --- Qt ---------------------------------------------------------------------------------------
qt_options=(
    -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF
    -DFEATURE_opengl=OFF -DINPUT_opengl=no -DFEATURE_vulkan=OFF
    -DFEATURE_sql=OFF -DFEATURE_dbus=OFF -DFEATURE_icu=OFF -DFEATURE_printsupport=OFF
    -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF
    -DFEATURE_ssl=OFF -DFEATURE_openssl=OFF -DFEATURE_schannel=OFF
    -DFEATURE_brotli=OFF -DFEATURE_zstd=OFF
    -DFEATURE_freetype=OFF -DFEATURE_fontconfig=OFF
    -DFEATURE_jpeg=OFF -DFEATURE_gif=OFF -DFEATURE_ico=ON
    -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_harfbuzz=OFF
    -DFEATURE_system_png=OFF -DFEATURE_system_doubleconversion=OFF
    # Debian's source has no wintab headers.
    -DFEATURE_tabletevent=OFF
    # Without Direct2D, qwindows.dll does not link (it then lacks the DirectWrite font database).
    -DFEATURE_direct2d=ON -DFEATURE_direct2d1_1=OFF
    -DFEATURE_testlib=ON
)
qt_key="$(key qt "$qt_version" "${qt_options[@]}")"
qt_prefix="$cache/$qt_key"
if [ ! -f "$qt_prefix/.complete" ]; then
    qt_src="$(unpack qt6-base "$qt_version")"
    rm -rf "$cache/build/$qt_key" "$qt_prefix"
    cmake -G Ninja -S "$qt_src" -B "$cache/build/$qt_key" \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_INSTALL_PREFIX="$qt_prefix" \
        -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
        "${qt_options[@]}" > "$cache/build/qt-configure.log"
    cmake --build "$cache/build/$qt_key" --parallel "$jobs"
    cmake --install "$cache/build/$qt_key" >/dev/null
    touch "$qt_prefix/.complete"
    rm -rf "$cache/build/$qt_key"
fi
step "Qt $qt_version for Windows ($qt_prefix)"
