#!/usr/bin/env bash
# Builds Kelvane's Debian package for the release this machine runs (Debian 12 or 13): installs
# what is missing, builds the Qt 6 program in build-package/, lays out the package (application
# folder in /usr/lib/<package>, command in /usr/bin, desktop entry, icons, AppStream metainfo,
# manual page, copyright and changelog), computes its dependencies from the binary with
# dpkg-shlibdeps, and writes the package only if lintian, appstreamcli and desktop-file-validate
# pass on it.
#
#   scripts/package.sh                          # dist/kelvane_<version>_<arch>.deb
#   scripts/package.sh --configuration FILE     # a deployer's package around FILE
#   scripts/package.sh --collector              # dist/kelvane-collector_<version>_<arch>.deb
#
# Options:
#   --configuration FILE  carry FILE, byte for byte, as the package's Configuration; the
#                         package's version is its AppVersion, and its names derive from its
#                         BrandName and AppName (README, "Packages")
#   --output DIR          where the package is written (default dist)
#   --telemetry-url URL   compile another telemetry API URL in, for test packages; without it
#                         the package has the build's default
#   --maintainer TEXT     "Name <address>" for the package's Maintainer field
#   --screenshot-url URL  the metainfo's screenshot (default: under the Configuration's homepage)
#   --collector           the telemetry collector's package instead: the command, its systemd
#                         service and configuration, manual page and copyright (packaging/
#                         collector/), checked with lintian; its version is the project's
# It ends with "package: PASS" and the file it wrote, or "package: FAIL" and why (status 1;
# status 2 for a wrong command line).
set -euo pipefail
cd "$(dirname "$0")/.."
umask 022

usage() {
    sed -n '/^#   scripts/,/^# status/p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
}

configuration=deploy/Configuration
default=1
output=dist
telemetry_url=""
maintainer=""
screenshot_url=""
collector=0
while [ $# -gt 0 ]; do
    if [ "$1" = --collector ]; then
        collector=1
        shift
        continue
    fi
    [ $# -ge 2 ] || usage
    case "$1" in
        --configuration) configuration="$2"; default=0 ;;
        --output) output="$2" ;;
        --telemetry-url) telemetry_url="$2" ;;
        --maintainer) maintainer="$2" ;;
        --screenshot-url) screenshot_url="$2" ;;
        *) usage ;;
    esac
    shift 2
done
if [ -z "$maintainer" ] && [ -n "${DEBEMAIL:-}" ]; then
    maintainer="${DEBFULLNAME:-$DEBEMAIL} <$DEBEMAIL>"
fi

started=$SECONDS
step_started=$SECONDS
step() {
    echo "package: $1 took $((SECONDS - step_started)) s"
    step_started=$SECONDS
}
fail() {
    echo "package: FAIL: $*" >&2
    exit 1
}

release="unknown"
if [ -r /etc/os-release ]; then
    release="$(. /etc/os-release && echo "${ID:-unknown} ${VERSION_ID:-}")"
fi
case "$release" in
    "debian 12" | "debian 13") ;;
    *) fail "packages are made for Debian 12 and 13; this machine runs '$release'" ;;
esac

# Building needs the Qt 6 program's dependencies and the collector's libraries, which the Qt 6
# build configures with it; the test suite's tools are not needed.
needed=(
    cmake g++ make pkg-config zlib1g-dev qt6-base-dev
    libmicrohttpd-dev libsqlite3-dev libpq-dev libsodium-dev
    dpkg-dev binutils python3 lintian appstream desktop-file-utils
)
missing=()
for package in "${needed[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "package: installing ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" > /dev/null
    step "installing what was missing"
fi

build_dir=build-package
mkdir -p "$build_dir"
work="$(mktemp -d "$PWD/$build_dir/package.XXXXXX")"
trap 'rm -rf "$work"' EXIT

# Debian's compiler and linker flags, hardening included, as a Debian build would use them.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
configure() {
    cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=None -DKELVANE_QT_VERSION=6 \
        -DKELVANE_BUILD_TESTS=OFF -DKELVANE_FUZZ=OFF -DKELVANE_BUILD_COLLECTOR=ON "$@" \
        -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
        -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" > "$work/cmake.log" \
        || { cat "$work/cmake.log" >&2; fail "configuring the build failed"; }
}

# Dependencies from the binaries in STAGE, then the control file, through Debian's own tools;
# then the checksums, the time stamps and the package itself (DEB).
assemble() {
    local meta="$1" package="$2" stage="$3" deb="$4"
    shift 4
    (
        cd "$meta"
        dpkg-shlibdeps -Tdebian/substvars "$@"
        dpkg-gencontrol -p"$package" -P"$stage" -Tdebian/substvars
    ) || fail "computing the dependencies or the control file failed"
    (cd "$stage" && find usr -type f -print0 | LC_ALL=C sort -z | xargs -0 md5sum) \
        > "$stage/DEBIAN/md5sums"
    chmod 0644 "$stage/DEBIAN/control" "$stage/DEBIAN/md5sums"
    # The same input makes the same package: every time stamp is the release's date.
    SOURCE_DATE_EPOCH="$(date -u -d "$(sed -n 's/^ -- .*>  //p' "$meta/debian/changelog")" +%s)"
    export SOURCE_DATE_EPOCH
    find "$stage" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
    dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" > /dev/null
}

# Writes DEB to the output folder if lintian passes on it.
lint_and_write() {
    local deb="$1"
    echo "package: lintian --fail-on error,warning --display-info $(basename "$deb"):"
    lintian --fail-on error,warning --display-info "$deb" \
        || fail "lintian failed on $(basename "$deb"); no package written"
    step "lintian"
    mkdir -p "$output"
    mv "$deb" "$output/"
    deb="$output/$(basename "$deb")"
    dpkg-deb --field "$deb" Package Version Architecture Depends Installed-Size
    echo "package: PASS: wrote $deb in $((SECONDS - started)) s"
}

# The collector: one command, its service and its configuration.
collector_package() {
    local package=kelvane-collector version date revision="" arch deb
    version="$(sed -n 's/^project(Kelvane VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"
    [ -n "$version" ] || fail "no project version found in CMakeLists.txt"
    date="$(date -u +%F)"
    if command -v git > /dev/null && git rev-parse --git-dir > /dev/null 2>&1; then
        date="$(git log -1 --format=%cs)"
        revision=" commit $(git rev-parse --short HEAD)"
    fi
    arch="$(dpkg --print-architecture)"
    deb="$work/${package}_${version}_${arch}.deb"
    echo "package: $package $version ($arch)"

    configure
    cmake --build "$build_dir" --target kelvane-collector --parallel "$(nproc)" \
        > "$work/build.log" 2>&1 \
        || { tail -n 40 "$work/build.log" >&2; fail "building the collector failed"; }
    step "building the collector"

    local meta="$work/collector" texts=packaging/collector
    local stage="$meta/debian/$package"
    local doc="$stage/usr/share/doc/$package"
    install -d "$stage/usr/bin" "$doc" "$stage/DEBIAN"
    install -m 0755 "$build_dir/collector/kelvane-collector" "$stage/usr/bin/$package"
    strip --remove-section=.comment --remove-section=.note "$stage/usr/bin/$package"
    # /usr/lib/systemd/system is where Debian 12's systemd looks too (/lib is a link to /usr/lib).
    install -D -m 0644 "$texts/kelvane-collector.service" \
        "$stage/usr/lib/systemd/system/kelvane-collector.service"
    install -D -m 0644 "$texts/collector.conf" "$stage/etc/$package/collector.conf"
    echo "/etc/$package/collector.conf" > "$stage/DEBIAN/conffiles"
    local script
    for script in postinst prerm postrm; do
        install -m 0755 "$texts/$script" "$stage/DEBIAN/$script"
    done
    chmod 0644 "$stage/DEBIAN/conffiles"
    local maintainer_text="${maintainer:-Kelvane developers <packages@kelvane.example>}"
    local changelog_date
    changelog_date="$(LC_ALL=C date -u -R -d "$date 12:00")"
    install -d "$meta/debian"
    sed "s|@MAINTAINER@|$maintainer_text|" "$texts/control.in" > "$meta/debian/control"
    sed -e "s/@VERSION@/$version/" -e "s|@MAINTAINER@|$maintainer_text|" \
        -e "s/@CHANGELOG_DATE@/$changelog_date/" \
        -e "s/@CHANGES@/  * kelvane-collector $version, built from Kelvane$revision./" \
        "$texts/changelog.in" > "$meta/debian/changelog"
    sed -e "s/@VERSION@/$version/" -e "s/@DATE@/$date/" "$texts/kelvane-collector.1.in" \
        > "$meta/kelvane-collector.1"
    install -D -m 0644 "$meta/kelvane-collector.1" "$stage/usr/share/man/man1/$package.1"
    gzip -9n "$stage/usr/share/man/man1/$package.1"
    install -m 0644 "$texts/copyright" "$doc/copyright"
    install -m 0644 "$meta/debian/changelog" "$doc/changelog"
    gzip -9n "$doc/changelog"
    assemble "$meta" "$package" "$stage" "$deb" "$stage/usr/bin/$package"
    step "laying out the package"
    lint_and_write "$deb"
}

if [ "$collector" = 1 ]; then
    collector_package
    exit 0
fi

# The Configuration decides the names, so a file that cannot make a package stops everything
# here, before the build, and nothing is written.
fallback_date="$(date -u +%F)"
revision=""
if command -v git > /dev/null && git rev-parse --git-dir > /dev/null 2>&1; then
    fallback_date="$(git log -1 --format=%cs)"
    revision="commit $(git rev-parse --short HEAD)"
fi
describe=(python3 packaging/describe.py "$configuration" "$work/meta"
          --fallback-date "$fallback_date" --revision "$revision")
[ "$default" = 1 ] && describe+=(--default)
[ -n "$maintainer" ] && describe+=(--maintainer "$maintainer")
[ -n "$screenshot_url" ] && describe+=(--screenshot-url "$screenshot_url")
"${describe[@]}" || fail "no package written"
# PACKAGE, VERSION and METAINFO_ID.
# shellcheck source=/dev/null
. "$work/meta/package.env"
arch="$(dpkg --print-architecture)"
# shellcheck disable=SC2153  # PACKAGE comes from package.env
deb_name="${PACKAGE}_${VERSION}_${arch}.deb"
echo "package: $PACKAGE $VERSION ($arch) from $configuration"

url_option=(-UTELEMETRY_API_URL)
[ -z "$telemetry_url" ] || url_option=(-DTELEMETRY_API_URL="$telemetry_url")
configure "${url_option[@]}"
cmake --build "$build_dir" --target kelvane --parallel "$(nproc)" > "$work/build.log" 2>&1 \
    || { tail -n 40 "$work/build.log" >&2; fail "building the program failed"; }
# A QStringLiteral: UTF-16 in the binary.
compiled_url="$(strings -a -e l "$build_dir/kelvane" | grep -m 1 -E '^https?://.*/API/$' || true)"
echo "package: telemetry API URL compiled in: ${compiled_url:-none found}"
step "building the program"

# dpkg-shlibdeps looks for the package's files where a Debian source tree keeps them.
stage="$work/meta/debian/$PACKAGE"
app="$stage/usr/lib/$PACKAGE"
doc="$stage/usr/share/doc/$PACKAGE"
install -d "$app/ffmpeg-win" "$stage/usr/bin" "$doc" "$stage/DEBIAN"
install -m 0755 "$build_dir/kelvane" "$app/kelvane"
strip --remove-section=.comment --remove-section=.note "$app/kelvane"
# install copies bytes: the deployer's file arrives as written.
install -m 0644 "$configuration" "$app/Configuration"
# Relative links, as Debian's policy asks within /usr; the program resolves its own real path.
ln -s ../../../bin/ffmpeg "$app/ffmpeg-win/ffmpeg.exe"
ln -s "../lib/$PACKAGE/kelvane" "$stage/usr/bin/$PACKAGE"
install -D -m 0644 "$work/meta/desktop" "$stage/usr/share/applications/$PACKAGE.desktop"
for icon in packaging/icons/*x*.png; do
    size="$(basename "$icon" .png)"
    install -D -m 0644 "$icon" "$stage/usr/share/icons/hicolor/$size/apps/$PACKAGE.png"
done
install -D -m 0644 "$work/meta/metainfo.xml" "$stage/usr/share/metainfo/$METAINFO_ID.metainfo.xml"
install -D -m 0644 "$work/meta/manpage.1" "$stage/usr/share/man/man1/$PACKAGE.1"
gzip -9n "$stage/usr/share/man/man1/$PACKAGE.1"
install -m 0644 "$work/meta/copyright" "$doc/copyright"
install -m 0644 "$work/meta/debian/changelog" "$doc/changelog"
gzip -9n "$doc/changelog"
if [ -s packaging/lintian-overrides ]; then
    install -D -m 0644 packaging/lintian-overrides "$stage/usr/share/lintian/overrides/$PACKAGE"
fi

assemble "$work/meta" "$PACKAGE" "$stage" "$work/$deb_name" "$app/kelvane"
step "laying out the package"

checks_failed=()
desktop-file-validate "$stage/usr/share/applications/$PACKAGE.desktop" \
    || checks_failed+=(desktop-file-validate)
echo "package: appstreamcli validate --no-net $METAINFO_ID.metainfo.xml:"
appstreamcli validate --no-net "$stage/usr/share/metainfo/$METAINFO_ID.metainfo.xml" \
    || checks_failed+=(appstreamcli)
echo "package: lintian --fail-on error,warning --display-info $deb_name:"
lintian --fail-on error,warning --display-info "$work/$deb_name" || checks_failed+=(lintian)
step "lintian, appstreamcli and desktop-file-validate"
[ ${#checks_failed[@]} -eq 0 ] || fail "${checks_failed[*]} failed on $deb_name; no package written"

mkdir -p "$output"
mv "$work/$deb_name" "$output/$deb_name"
dpkg-deb --field "$output/$deb_name" Package Version Architecture Depends Installed-Size
echo "package: PASS: wrote $output/$deb_name in $((SECONDS - started)) s"
