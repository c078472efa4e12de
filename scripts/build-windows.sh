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

# The project's own Configuration names everything "kelvane"; a deployer's names derive from its
# brand and application, as the Debian packages' do. A file that cannot name a program stops
# everything here, before any build.
default_option=()
[ "$configuration" != "$source_tree/deploy/Configuration" ] || default_option=(--default)
names="$(python3 packaging/windows/package.py names "${default_option[@]}" \
    --configuration "$configuration")" || exit 1
eval "$names"
echo "build-windows: $NAME $VERSION (\"$APP\" by \"$BRAND\") from $configuration"

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
# One build at a time per cache: a second one waits rather than removing the first one's work.
exec {cache_lock}> "$cache/.lock"
flock "$cache_lock"

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
opus_version="$(source_version opus)"
echo "build-windows: sources qt6-base $qt_version, ffmpeg $ffmpeg_version, lame $lame_version," \
     "libogg $ogg_version, libvorbis $vorbis_version, opus $opus_version"

# Where a source package is unpacked (the version without its epoch, which has a colon).
source_dir() { echo "$cache/src/$1-${2#*:}"; }

# Fetches and unpacks (with Debian's patches applied) one source package into the cache.
unpack() {
    local name="$1" version="$2" dir download
    dir="$(source_dir "$1" "$2")"
    download="$cache/download/$name-${version#*:}"
    if [ ! -f "$dir/.unpacked" ]; then
        rm -rf "$dir" "$download"
        mkdir -p "$download"
        (cd "$download" &&
            apt-get source --download-only -qq "$name=$version" >/dev/null 2>&1 &&
            dpkg-source --no-check -x ./*.dsc "$dir" >/dev/null 2>&1) || {
            echo "build-windows: could not fetch and unpack the source of $name $version" >&2
            return 1
        }
        touch "$dir/.unpacked"
    fi
    echo "$dir"
}

# Runs a build command with its output in a log; on failure shows the log's end.
logged() {
    local log="$1"; shift
    "$@" > "$log" 2>&1 || {
        echo "build-windows: failed: $* (last lines of $log)" >&2
        tail -n 40 "$log" >&2
        return 1
    }
}

# A build's cache key: its source version plus a digest of everything that shapes it.
key() {
    local name="$1" version="$2"; shift 2
    printf "%s\n" "$@" | cat - "$toolchain" | sha256sum | cut -c1-12 | sed "s/^/$name-${version#*:}-/"
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
    logged "$cache/build/$qt_key.configure.log" \
        cmake -G Ninja -S "$qt_src" -B "$cache/build/$qt_key" \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_INSTALL_PREFIX="$qt_prefix" \
        -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
        "${qt_options[@]}"
    logged "$cache/build/$qt_key.build.log" cmake --build "$cache/build/$qt_key" --parallel "$jobs"
    logged "$cache/build/$qt_key.install.log" cmake --install "$cache/build/$qt_key"
    touch "$qt_prefix/.complete"
    rm -rf "$cache/build/$qt_key"
fi
step "Qt $qt_version for Windows ($qt_prefix)"

# --- FFmpeg, with LAME, libogg, libvorbis and Opus, all static ----------------------------------
# Decoders and demuxers for the common sources; encoders and muxers for the common outputs.
# LGPL only: no --enable-gpl, nothing non-free.
ffmpeg_options=(
    --target-os=mingw32 --arch=x86_64 --cross-prefix=$mingw- --enable-cross-compile
    --cc=$mingw-gcc-posix --cxx=$mingw-g++-posix
    --disable-everything --disable-autodetect --enable-w32threads
    --disable-doc --disable-ffplay --disable-ffprobe --disable-network --disable-debug
    --enable-ffmpeg --enable-swresample --enable-protocol=file,pipe
    --enable-demuxer=flac,wav,w64,mp3,ogg,aac,mov,aiff,matroska
    --enable-decoder=flac,mp3,mp3float,vorbis,opus,libopus,aac,aac_fixed,alac
    --enable-decoder=pcm_u8,pcm_s16le,pcm_s24le,pcm_s32le,pcm_f32le,pcm_f64le
    --enable-decoder=pcm_s16be,pcm_s24be,pcm_s32be,pcm_f32be
    --enable-parser=flac,mpegaudio,vorbis,opus,aac
    --enable-encoder=libmp3lame,libvorbis,libopus,flac,aac,alac
    --enable-encoder=pcm_s16le,pcm_s24le,pcm_s32le,pcm_s16be,pcm_s24be
    --enable-muxer=mp3,ogg,oga,opus,flac,wav,ipod,mp4,mov,adts,aiff
    --enable-filter=aresample,aformat,anull,atrim,volume
    --enable-bsf=aac_adtstoasc
    --enable-libmp3lame --enable-libvorbis --enable-libopus
    --extra-ldexeflags=-static --pkg-config=pkg-config --pkg-config-flags=--static
)
audio_key="$(key ffmpeg "$ffmpeg_version" "${ffmpeg_options[@]}" "lame $lame_version" \
    "ogg $ogg_version" "vorbis $vorbis_version" "opus $opus_version")"
audio_prefix="$cache/$audio_key"
autotools_static() {
    local src="$1"; shift
    local build="$cache/build/$audio_key/$(basename "$src")"
    mkdir -p "$build"
    (cd "$build" &&
        logged configure.log "$src/configure" --host=$mingw --prefix="$audio_prefix" \
            --enable-static --disable-shared CC=$mingw-gcc-posix CFLAGS="-O2" \
            PKG_CONFIG_LIBDIR="$audio_prefix/lib/pkgconfig" "$@" &&
        logged make.log make -j"$jobs" && logged install.log make install)
}
if [ ! -f "$audio_prefix/.complete" ]; then
    rm -rf "$cache/build/$audio_key" "$audio_prefix"
    autotools_static "$(unpack lame "$lame_version")" --disable-frontend --disable-decoder
    autotools_static "$(unpack libogg "$ogg_version")"
    autotools_static "$(unpack libvorbis "$vorbis_version")" --disable-docs --disable-examples
    # Opus asks for _FORTIFY_SOURCE, whose checks MinGW keeps in libssp, which FFmpeg's static
    # link does not name.
    autotools_static "$(unpack opus "$opus_version")" --disable-doc --disable-extra-programs \
        CFLAGS="-O2 -D_FORTIFY_SOURCE=0"
    ffmpeg_src="$(unpack ffmpeg "$ffmpeg_version")"
    mkdir -p "$cache/build/$audio_key/ffmpeg"
    (cd "$cache/build/$audio_key/ffmpeg" &&
        PKG_CONFIG_LIBDIR="$audio_prefix/lib/pkgconfig" logged configure.log \
            "$ffmpeg_src/configure" --prefix="$audio_prefix" "${ffmpeg_options[@]}" \
            --extra-cflags="-I$audio_prefix/include" --extra-ldflags="-L$audio_prefix/lib" &&
        logged make.log make -j"$jobs" && logged install.log make install)
    # The exact configure line, for the licence folder.
    printf '%s\n' "$ffmpeg_src/configure --prefix=... ${ffmpeg_options[*]}" \
        | sed "s|$cache/src/||" > "$audio_prefix/ffmpeg-configuration.txt"
    for source in "lame $lame_version" "libogg $ogg_version" "libvorbis $vorbis_version" \
                  "opus $opus_version" "ffmpeg $ffmpeg_version"; do
        set -- $source
        mkdir -p "$audio_prefix/licenses/$1"
        find "$(source_dir "$1" "$2")" -maxdepth 1 \( -name 'COPYING*' -o -name 'LICENSE*' \) \
            -exec cp {} "$audio_prefix/licenses/$1/" \;
        cp "$(source_dir "$1" "$2")/debian/copyright" "$audio_prefix/licenses/$1/debian-copyright"
    done
    touch "$audio_prefix/.complete"
    rm -rf "$cache/build/$audio_key"
fi
step "FFmpeg $ffmpeg_version with LAME, libvorbis and Opus for Windows"

# --- Kelvane ----------------------------------------------------------------------------------
# The project's own program in build-windows/, a deployer's in a folder of its own.
build_dir="$source_tree/build-windows"
[ ${#default_option[@]} -gt 0 ] || build_dir="$source_tree/build-windows-$NAME"
url_option=(-UTELEMETRY_API_URL)
[ -z "$telemetry_url" ] || url_option=(-DTELEMETRY_API_URL="$telemetry_url")
tests_option=(-DKELVANE_BUILD_TESTS=OFF)
[ $with_tests = 0 ] || tests_option=(-DKELVANE_BUILD_TESTS=ON
    -DKELVANE_TEST_FFMPEG="Z:$audio_prefix/bin/ffmpeg.exe")
cmake -G Ninja -S "$source_tree" -B "$build_dir" \
    -DCMAKE_TOOLCHAIN_FILE="$qt_prefix/lib/cmake/Qt6/qt.toolchain.cmake" \
    -DQT_CHAINLOAD_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DKELVANE_QT_VERSION=6 -DKELVANE_FUZZ=OFF \
    -DKELVANE_CONFIGURATION="$configuration" \
    -DZLIB_LIBRARY=/usr/$mingw/lib/libz.a -DZLIB_INCLUDE_DIR=/usr/$mingw/include \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$source_tree/tests/windows/wine-run.sh" \
    "${tests_option[@]}" "${url_option[@]}" > "$cache/kelvane-configure.log" \
    || { cat "$cache/kelvane-configure.log" >&2; exit 1; }
cmake --build "$build_dir" --parallel "$jobs"
# For the tests: where the Qt they run against is.
echo "$qt_prefix" > "$build_dir/qt-prefix"
step "Kelvane for Windows ($build_dir)"

[ $package = 1 ] || exit 0

# --- The application folder, the zip and the installer -----------------------------------------
python3 packaging/windows/package.py build "${default_option[@]}" \
    --configuration "$configuration" --program "$build_dir/kelvane.exe" \
    --qt "$qt_prefix" --qt-source-dir "$(source_dir qt6-base "$qt_version")" \
    --audio "$audio_prefix" --work "$build_dir/package" --output "$output" \
    --qt-source "qt6-base $qt_version" --sources "ffmpeg $ffmpeg_version" \
    "lame $lame_version" "libogg $ogg_version" "libvorbis $vorbis_version" "opus $opus_version"
step "application folder, zip and installer"

if [ $with_sources = 1 ]; then
    mkdir -p "$output/sources"
    for name in qt6-base ffmpeg lame libogg libvorbis opus; do
        find "$cache/download" -maxdepth 2 -path "*/$name-*/*" -type f \
            -exec cp -p {} "$output/sources/" \;
    done
    step "Debian source files in $output/sources"
fi
