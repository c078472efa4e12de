#!/usr/bin/env bash
# Checks Kelvane's Debian packages, from building them to removing them again.
#
#   tests/package_check.sh build [--copy-to DIR]
#       On this machine: builds the default package and a deployer's (tests/package/deployer)
#       with scripts/package.sh, which runs lintian, appstreamcli and desktop-file-validate,
#       and the collector's (scripts/package.sh --collector);
#       checks their names, versions, contents and that they share no file; checks that
#       Configurations that cannot make a package stop scripts/package.sh with the file and the
#       problem named and nothing written; and builds the same two packages again with the
#       telemetry URL on port $KELVANE_PACKAGE_CHECK_PORT (default 47900) in dist/check/, for
#       the install test (the collector's package beside them). --copy-to copies dist/ there.
#   tests/package_check.sh install DEB...
#       On a machine the packages may change, a fresh root (as root): installs the packages
#       with apt-get, dependencies from Debian; checks the installed files; starts each command
#       under Xvfb and converts a FLAC file; purges them and checks that nothing they installed
#       is left. It installs them twice, so that the second purge can be compared with a system
#       that already has their dependencies. The collector's package is checked as a service:
#       its unit (systemd-analyze verify), and its ExecStart run by hand as a user of its own
#       with the installed configuration, answering events (tests/package/collector_check.py).
#   tests/package_check.sh fresh SUITE [--product | DEB...]
#       Both of the above, each in its own fresh root of SUITE (bookworm, trixie) made by
#       scripts/fresh-root.sh: the build root's packages from dist/check/ (or, with --product,
#       the product packages from dist/, whose programs talk to the default port 47800: only
#       when nothing else uses it) are installed in a second root. Given DEBs, only the install
#       test runs, on them.
# Each step prints its time; the last line is "package_check: N passed, 0 failed" or names
# what failed.
set -euo pipefail
cd "$(dirname "$0")/.."
repository="$PWD"
check_port="${KELVANE_PACKAGE_CHECK_PORT:-47900}"

started=$SECONDS
step_started=$SECONDS
step() {
    echo "package_check: $1 took $((SECONDS - step_started)) s"
    step_started=$SECONDS
}
passed=0
failures=()
pass() { passed=$((passed + 1)); }
failed() {
    echo "package_check: FAIL: $*" >&2
    failures+=("$*")
}
finish() {
    echo "package_check: total $((SECONDS - started)) s"
    local failure
    for failure in "${failures[@]}"; do
        echo "package_check: failed: $failure" >&2
    done
    echo "$passed passed, ${#failures[@]} failed"
    [ ${#failures[@]} -eq 0 ]
}
give_up() {
    failed "$@"
    finish || true
    exit 1
}

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

json_field() {  # FILE KEY: the value as the program reads it (numbers as text)
    python3 -c 'import json, sys
value = json.loads(open(sys.argv[1], "rb").read())[sys.argv[2]]
print(value if isinstance(value, str) else json.dumps(value))' "$1" "$2"
}

# -- build -----------------------------------------------------------------------------------

# Checks one built package against the Configuration it was made from.
check_package() {
    local deb="$1" configuration="$2" name="$3"
    local tree="$scratch/tree-$name"
    local app_name version failures_before=${#failures[@]}
    app_name="$(json_field "$configuration" AppName)"
    version="$(json_field "$configuration" AppVersion)"
    rm -rf "$tree"
    dpkg-deb -x "$deb" "$tree"

    [ "$(dpkg-deb -f "$deb" Package)" = "$name" ] || failed "$deb: not named $name"
    [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] \
        || failed "$deb: version is not the AppVersion $version"
    local depends
    depends="$(dpkg-deb -f "$deb" Depends)"
    for needed in ffmpeg libqt6core6 libqt6widgets6 libc6; do
        grep -Eq "(^|, )${needed}[a-z0-9]*( |,|$)" <<< "$depends" \
            || failed "$deb: does not depend on $needed: $depends"
    done
    cmp -s "$configuration" "$tree/usr/lib/$name/Configuration" \
        || failed "$deb: the Configuration is not $configuration byte for byte"
    [ "$(readlink "$tree/usr/bin/$name")" = "../lib/$name/kelvane" ] \
        || failed "$deb: /usr/bin/$name does not link the program"
    [ -x "$tree/usr/lib/$name/kelvane" ] || failed "$deb: no program in /usr/lib/$name"
    [ "$(readlink "$tree/usr/lib/$name/ffmpeg-win/ffmpeg.exe")" = "../../../bin/ffmpeg" ] \
        || failed "$deb: ffmpeg-win/ffmpeg.exe does not link /usr/bin/ffmpeg"
    local desktop="$tree/usr/share/applications/$name.desktop"
    grep -qxF "Name=$app_name" "$desktop" || failed "$deb: desktop entry's Name is not AppName"
    grep -qxF "Exec=$name" "$desktop" || failed "$deb: desktop entry does not run $name"
    grep -qxF "Icon=$name" "$desktop" || failed "$deb: desktop entry does not name icon $name"
    desktop-file-validate "$desktop" || failed "$deb: desktop-file-validate"
    local metainfo
    metainfo="$(find "$tree/usr/share/metainfo" -name '*.metainfo.xml')"
    [ "$(wc -l <<< "$metainfo")" = 1 ] || failed "$deb: not one metainfo file: $metainfo"
    python3 - "$metainfo" "$app_name" "$version" "$name" <<'EOF' || failed "$deb: metainfo"
import os, sys, xml.etree.ElementTree as tree
path, name, version, package = sys.argv[1:]
root = tree.parse(path).getroot()
assert root.findtext("name") == name, root.findtext("name")
assert os.path.basename(path) == root.findtext("id") + ".metainfo.xml", path
assert root.find("releases/release").get("version") == version
assert root.findtext("launchable") == package + ".desktop"
EOF
    appstreamcli validate --no-net "$metainfo" > "$scratch/appstream.txt" \
        || { cat "$scratch/appstream.txt"; failed "$deb: appstreamcli validate --no-net"; }
    local size
    for size in 16 24 32 48 64 128; do
        [ -s "$tree/usr/share/icons/hicolor/${size}x$size/apps/$name.png" ] \
            || failed "$deb: no ${size}x$size icon"
    done
    [ -s "$tree/usr/share/man/man1/$name.1.gz" ] || failed "$deb: no manual page"
    [ -s "$tree/usr/share/doc/$name/copyright" ] || failed "$deb: no copyright file"
    zcat "$tree/usr/share/doc/$name/changelog.gz" | head -n 1 | grep -qF "$name ($version)" \
        || failed "$deb: changelog does not start with $name ($version)"
    lintian --fail-on error,warning "$deb" 2>/dev/null || failed "$deb: lintian"
    [ ${#failures[@]} -ne "$failures_before" ] || pass
}

# Checks the collector's package: the command, the service, its configuration as a conffile.
check_collector_package() {
    local deb="$1" tree="$scratch/tree-collector" failures_before=${#failures[@]}
    rm -rf "$tree"
    mkdir -p "$tree"
    dpkg-deb -x "$deb" "$tree"
    dpkg-deb -e "$deb" "$tree/DEBIAN"
    [ "$(dpkg-deb -f "$deb" Package)" = kelvane-collector ] || failed "$deb: wrong name"
    local version depends
    version="$(sed -n 's/^project(Kelvane VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"
    [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] \
        || failed "$deb: version is not the project's $version"
    depends="$(dpkg-deb -f "$deb" Depends)"
    for needed in libqt6core6 libmicrohttpd libsqlite3-0 libpq5 libsodium libc6; do
        grep -Eq "(^|, )${needed}[a-z0-9]*( |,|$)" <<< "$depends" \
            || failed "$deb: does not depend on $needed: $depends"
    done
    [ -x "$tree/usr/bin/kelvane-collector" ] || failed "$deb: no /usr/bin/kelvane-collector"
    local unit="$tree/usr/lib/systemd/system/kelvane-collector.service"
    cmp -s packaging/collector/kelvane-collector.service "$unit" \
        || failed "$deb: the unit is not packaging/collector/kelvane-collector.service"
    local setting
    for setting in DynamicUser=yes StateDirectory=kelvane-collector NoNewPrivileges=yes \
            ProtectSystem=strict CapabilityBoundingSet= \
            "ExecStart=/usr/bin/kelvane-collector serve --config /etc/kelvane-collector/collector.conf"
    do
        grep -qxF "$setting" "$unit" || failed "$deb: the unit lacks $setting"
    done
    local conf="$tree/etc/kelvane-collector/collector.conf"
    for setting in "listen = 127.0.0.1:47800" "retention-days = 365" \
            "database = sqlite:/var/lib/kelvane-collector/collector.db"; do
        grep -qxF "$setting" "$conf" || failed "$deb: collector.conf lacks '$setting'"
    done
    grep -qxF /etc/kelvane-collector/collector.conf "$tree/DEBIAN/conffiles" \
        || failed "$deb: collector.conf is not a conffile"
    local script
    for script in postinst prerm postrm; do
        [ -x "$tree/DEBIAN/$script" ] || failed "$deb: no $script to enable and forget the service"
    done
    [ -s "$tree/usr/share/man/man1/kelvane-collector.1.gz" ] || failed "$deb: no manual page"
    [ -s "$tree/usr/share/doc/kelvane-collector/copyright" ] || failed "$deb: no copyright file"
    zcat "$tree/usr/share/doc/kelvane-collector/changelog.gz" | head -n 1 \
        | grep -qF "kelvane-collector ($version)" || failed "$deb: changelog's first line"
    lintian --fail-on error,warning "$deb" 2>/dev/null || failed "$deb: lintian"
    [ ${#failures[@]} -ne "$failures_before" ] || pass
}

# A Configuration, what scripts/package.sh must say about it; one case a line:
# NAME|CONTENT (printf format; MISSING: no file at all)|expected message
bad_configurations() {
    cat <<'EOF'
not-json|{"AppName": "Acme Tool", "AppVersion": "1.0",}|is not valid JSON
empty|   |is not valid JSON
not-utf8|{"AppName": "Acme \xff", "AppVersion": "1.0"}|is not valid JSON
array|["AppName", "AppVersion"]|holds a JSON array, not an object
no-name|{"AppVersion": "1.0", "BrandName": "Acme"}|lacks AppName
no-version|{"AppName": "Acme Tool", "BrandName": "Acme"}|lacks AppVersion
empty-name|{"AppName": " ", "AppVersion": "1.0"}|AppName is empty
name-not-text|{"AppName": ["Acme"], "AppVersion": "1.0"}|AppName must be text
version-not-text|{"AppName": "Acme Tool", "AppVersion": true}|AppVersion must be text
bad-version|{"AppName": "Acme Tool", "AppVersion": "v2 beta"}|AppVersion "v2 beta" cannot be a package version
bad-date|{"AppName": "Acme Tool", "AppVersion": "1.0", "AppVersionReleaseDate": "soon"}|AppVersionReleaseDate "soon" is not a date
takes-default-name|{"AppName": "Kelvane", "AppVersion": "1.0", "BrandName": "Kelvane"}|Kelvane's own package
no-letters|{"AppName": "!!", "AppVersion": "1.0"}|too few letters or digits
missing|MISSING|cannot be read
EOF
}

# BrandName, AppName and homepage, and the package name and metainfo id they must give.
# NAME|CONFIGURATION|PACKAGE|METAINFO_ID
derived_names() {
    cat <<'EOF'
app-carries-brand|{"BrandName": "Kelvane", "AppName": "Kelvane FLAC to MP3", "AppVersion": "1", "BrandHomepage": "www.kelvane.example"}|kelvane-flac-to-mp3|example.kelvane.kelvane_flac_to_mp3
brand-prefixed|{"BrandName": "Acme", "AppName": "Sound Converter", "AppVersion": "1", "BrandHomepage": "https://www.acme.example/"}|acme-sound-converter|example.acme.acme_sound_converter
other-brand-same-app|{"BrandName": "Zed", "AppName": "Sound Converter", "AppVersion": "1", "AppHomepage": "zed.example/sound"}|zed-sound-converter|example.zed.zed_sound_converter
no-brand-accents|{"AppName": "Müller WAV-Konverter", "AppVersion": "1"}|muller-wav-konverter|example.kelvane.muller_wav_konverter
digits-first|{"BrandName": "3D Audio", "AppName": "3D Audio Pro", "AppVersion": "1", "AppHomepage": "3daudio.example/pro"}|3d-audio-pro|example._3daudio._3d_audio_pro
EOF
}

# The files (not folders) of each package given, one a line; a file of two packages twice.
files_of_each() {
    local deb
    for deb in "$@"; do
        dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort -u
    done
}

build() {
    local copy_to=""
    if [ $# -gt 0 ]; then
        if [ "$1" != --copy-to ] || [ $# -ne 2 ]; then
            echo "usage: $0 build [--copy-to DIR]" >&2
            exit 2
        fi
        copy_to="$2"
    fi
    local deployer=tests/package/deployer/Configuration
    local deployer_name=tonwerk-klange-flac-to-ogg-more
    local arch
    # The product packages, then the test packages for the install check.
    scripts/package.sh || failed "scripts/package.sh"
    step "scripts/package.sh (default package)"
    scripts/package.sh --configuration "$deployer" || failed "scripts/package.sh --configuration"
    step "scripts/package.sh --configuration $deployer"
    arch="$(dpkg --print-architecture)"
    local default_deb deployer_deb
    default_deb="dist/kelvane_$(json_field deploy/Configuration AppVersion)_$arch.deb"
    deployer_deb="dist/${deployer_name}_$(json_field "$deployer" AppVersion)_$arch.deb"
    check_package "$default_deb" deploy/Configuration kelvane
    check_package "$deployer_deb" "$deployer" "$deployer_name"
    local collector_deb
    scripts/package.sh --collector || failed "scripts/package.sh --collector"
    step "scripts/package.sh --collector"
    collector_deb="dist/kelvane-collector_$(sed -n \
        's/^project(Kelvane VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)_$arch.deb"
    if [ -f "$collector_deb" ]; then
        check_collector_package "$collector_deb"
    else
        failed "no $collector_deb"
        collector_deb=""
    fi
    # Side by side: no file of one package may be a file of another.
    files_of_each "$default_deb" "$deployer_deb" ${collector_deb:+"$collector_deb"} | sort \
        | uniq -d > "$scratch/shared.txt"
    if [ -s "$scratch/shared.txt" ]; then
        failed "the packages share files: $(tr '\n' ' ' < "$scratch/shared.txt")"
    else
        pass
    fi
    step "checking the packages' contents"

    local case content expected file
    while IFS='|' read -r case content expected; do
        file="$scratch/bad-$case/Configuration"
        mkdir -p "$scratch/bad-$case"
        # shellcheck disable=SC2059  # the content is a printf format on purpose (\xff)
        [ "$content" = MISSING ] || printf "$content" > "$file"
        if scripts/package.sh --configuration "$file" --output "$scratch/bad-$case/dist" \
                > "$scratch/bad-$case/out.txt" 2>&1; then
            failed "bad Configuration '$case' made a package"
        elif ! grep -qF "$file: " "$scratch/bad-$case/out.txt" \
                || ! grep -qF "$expected" "$scratch/bad-$case/out.txt"; then
            failed "bad Configuration '$case': expected '$file: ... $expected', got:" \
                   "$(cat "$scratch/bad-$case/out.txt")"
        elif [ -e "$scratch/bad-$case/dist" ]; then
            failed "bad Configuration '$case' left $scratch/bad-$case/dist"
        else
            pass
        fi
    done < <(bad_configurations)
    local name configuration package id
    while IFS='|' read -r name configuration package id; do
        printf '%s' "$configuration" > "$scratch/names-$name.json"
        if ! python3 packaging/describe.py "$scratch/names-$name.json" "$scratch/names-$name"; then
            failed "names '$name': refused"
            continue
        fi
        if grep -qx "PACKAGE=$package" "$scratch/names-$name/package.env" \
                && grep -qx "METAINFO_ID=$id" "$scratch/names-$name/package.env"; then
            pass
        else
            failed "names '$name': expected $package and $id, got" \
                   "$(tr '\n' ' ' < "$scratch/names-$name/package.env")"
        fi
    done < <(derived_names)
    step "Configurations that make no package, and derived names"

    local url="http://127.0.0.1:$check_port/API/"
    scripts/package.sh --telemetry-url "$url" --output dist/check \
        || failed "scripts/package.sh --telemetry-url"
    scripts/package.sh --configuration "$deployer" --telemetry-url "$url" --output dist/check \
        || failed "scripts/package.sh --configuration --telemetry-url"
    # The collector has no telemetry URL of its own: the same package serves both checks.
    [ -z "$collector_deb" ] || cp "$collector_deb" dist/check/
    step "the packages for the install test (telemetry on port $check_port)"
    if [ -n "$copy_to" ]; then
        mkdir -p "$copy_to"
        cp -r dist/. "$copy_to/"
    fi
    finish
}

# -- install ---------------------------------------------------------------------------------

# Every path outside what apt and dpkg keep for themselves, and outside the places tests write.
snapshot() {
    find / -xdev \( -path /proc -o -path /sys -o -path /dev -o -path /run -o -path /tmp \
        -o -path /root -o -path /var/lib/dpkg -o -path /var/lib/apt -o -path /var/cache \
        -o -path /var/log -o -path /var/tmp \) -prune -o -print | LC_ALL=C sort
}

# The collector's installed files: command, manual page, conffile, and a unit that systemd
# accepts and that the installation enabled.
collector_installed_files() {
    local failures_before=${#failures[@]}
    local unit=/usr/lib/systemd/system/kelvane-collector.service
    [ "$(command -v kelvane-collector)" = /usr/bin/kelvane-collector ] \
        || failed "kelvane-collector: not on PATH"
    [ -s /usr/share/man/man1/kelvane-collector.1.gz ] || failed "kelvane-collector: no manual page"
    dpkg-query -W -f='${Conffiles}\n' kelvane-collector \
        | grep -q '^ /etc/kelvane-collector/collector.conf ' \
        || failed "kelvane-collector: collector.conf is not a registered conffile"
    [ -L /etc/systemd/system/multi-user.target.wants/kelvane-collector.service ] \
        || failed "kelvane-collector: the service was not enabled"
    if command -v systemd-analyze > /dev/null; then
        # --man=no: the page is checked above, and man-db need not be installed.
        systemd-analyze verify --man=no "$unit" > "$scratch/verify.txt" 2>&1 \
            || { cat "$scratch/verify.txt"; failed "kelvane-collector: systemd-analyze verify"; }
        echo "package_check: systemd-analyze security of the collector's unit (exposure):"
        systemd-analyze security --offline=true "$unit" 2>/dev/null | tail -n 1 || true
    else
        echo "package_check: no systemd-analyze here; the unit was not verified"
    fi
    [ ${#failures[@]} -ne "$failures_before" ] || pass
}

install_check() {
    [ $# -gt 0 ] || { echo "usage: $0 install DEB..." >&2; exit 2; }
    [ "$(id -u)" -eq 0 ] || { echo "$0 install changes the system: run it as root" >&2; exit 2; }
    # packages: all of them; programs: the converters' (the collector is checked as a service).
    local debs=() packages=() programs=() collector="" deb package
    for deb in "$@"; do
        debs+=("$(realpath "$deb")")
        package="$(dpkg-deb -f "$deb" Package)"
        packages+=("$package")
        if [ "$package" = kelvane-collector ]; then collector=1; else programs+=("$package"); fi
    done
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    # What the check itself uses; the packages' own dependencies must come with them.
    # (ImageMagick only to take the pictures that KELVANE_PACKAGE_SCREENSHOTS asks for; systemd
    # only for systemd-analyze, which checks the collector's unit.)
    apt-get install -y -qq --no-install-recommends python3 python3-xlib xvfb xauth xdotool \
        appstream desktop-file-utils ${KELVANE_PACKAGE_SCREENSHOTS:+imagemagick} \
        ${collector:+systemd} > /dev/null
    step "installing the check's tools"

    local before_deps
    before_deps="$(dpkg-query -W -f='${Package}\n' | LC_ALL=C sort)"
    apt-get install -y --no-install-recommends "${debs[@]}" > "$scratch/apt-install.txt" 2>&1 \
        || { cat "$scratch/apt-install.txt"; give_up "apt-get install ${debs[*]}"; }
    local pulled
    pulled="$(comm -13 <(echo "$before_deps") \
        <(dpkg-query -W -f='${Package}\n' | LC_ALL=C sort) | tr '\n' ' ')"
    echo "package_check: apt-get install brought $(wc -w <<< "$pulled") packages: $pulled"
    for package in "${packages[@]}" ${programs[0]:+ffmpeg}; do
        if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"
        then pass; else failed "$package is not installed"; fi
    done
    apt-get purge -y -qq "${packages[@]}" > /dev/null
    local without
    without="$(snapshot)"
    step "first install (with dependencies) and purge"

    apt-get install -y --no-install-recommends "${debs[@]}" > "$scratch/apt-install.txt" 2>&1 \
        || { cat "$scratch/apt-install.txt"; give_up "apt-get install (again)"; }
    grep -q "^0 upgraded, ${#debs[@]} newly installed" "$scratch/apt-install.txt" \
        || failed "the second install brought more than the packages: $(grep newly "$scratch/apt-install.txt")"
    local ports=()
    for package in "${programs[@]}"; do
        local app="/usr/lib/$package" failures_before=${#failures[@]}
        [ "$(command -v "$package")" = "/usr/bin/$package" ] || failed "$package: not on PATH"
        [ "$(readlink -f "/usr/bin/$package")" = "$app/kelvane" ] \
            || failed "$package: /usr/bin/$package does not lead to $app/kelvane"
        [ "$(readlink -f "$app/ffmpeg-win/ffmpeg.exe")" = "$(readlink -f /usr/bin/ffmpeg)" ] \
            || failed "$package: the converter link does not reach /usr/bin/ffmpeg"
        desktop-file-validate "/usr/share/applications/$package.desktop" \
            || failed "$package: desktop-file-validate"
        local metainfo
        metainfo="$(dpkg -L "$package" | grep '^/usr/share/metainfo/.*\.metainfo\.xml$')"
        echo "package_check: appstreamcli validate --no-net $metainfo:"
        appstreamcli validate --no-net "$metainfo" || failed "$package: appstreamcli validate"
        [ -s "/usr/share/man/man1/$package.1.gz" ] || failed "$package: no manual page"
        # The port of the telemetry URL compiled in, a QStringLiteral: UTF-16 in the binary.
        ports+=("$(python3 -c 'import re, sys
data = open(sys.argv[1], "rb").read()
for start in (0, 1):
    found = re.search(r"https?://[^/:]+:([0-9]+)/API/", data[start:].decode("utf-16-le", "replace"))
    if found:
        print(found.group(1))
        break' "$app/kelvane")")
        [ ${#failures[@]} -ne "$failures_before" ] || pass
    done
    if [ ${#programs[@]} -gt 0 ]; then
        if [ "$(printf '%s\n' "${ports[@]}" | sort -u | wc -l)" != 1 ] || [ -z "${ports[0]}" ]
        then
            give_up "the packages' programs talk to different ports or none: ${ports[*]}"
        fi
    fi
    [ -z "$collector" ] || collector_installed_files
    step "installed files"

    if [ ${#programs[@]} -gt 0 ]; then
        echo "package_check: converting with ${programs[*]} (telemetry on port ${ports[0]})"
        if (cd tests/package && KELVANE_PACKAGES="${programs[*]}" KELVANE_E2E_PORT="${ports[0]}" \
                KELVANE_E2E_SERVER="$repository/tests/package/telemetry_stub.py" \
                KELVANE_E2E_PROGRAM="/usr/bin/${programs[0]}" PYTHONDONTWRITEBYTECODE=1 \
                python3 -m unittest -v test_installed); then
            pass
        else
            failed "converting with the installed commands"
        fi
        step "the installed commands under Xvfb"
    fi
    if [ -n "$collector" ]; then
        # A network namespace of its own: port 47800 of the configuration is free there.
        if (cd tests/package && PYTHONDONTWRITEBYTECODE=1 \
                unshare --net python3 collector_check.py); then
            pass
        else
            failed "the installed collector service, started by hand"
        fi
        step "the installed collector, as its service runs it"
    fi

    local listed="$scratch/listed.txt"
    for package in "${packages[@]}"; do dpkg -L "$package"; done | LC_ALL=C sort -u > "$listed"
    apt-get purge -y -qq "${packages[@]}" > /dev/null
    local left=()
    local path
    while IFS= read -r path; do
        # Folders that other packages (or the system) own stay; nothing of ours may.
        if [ -e "$path" ] || [ -L "$path" ]; then
            [ -d "$path" ] && [ ! -L "$path" ] && dpkg -S "$path" > /dev/null 2>&1 && continue
            [ -d "$path" ] && [ ! -L "$path" ] && [ -n "$(ls -A "$path")" ] && continue
            left+=("$path")
        fi
    done < "$listed"
    if [ ${#left[@]} -eq 0 ]; then pass; else failed "purge left ${left[*]}"; fi
    if diff <(echo "$without") <(snapshot) > "$scratch/snapshot.diff"; then
        pass
    else
        failed "purge did not restore the system: $(cat "$scratch/snapshot.diff")"
    fi
    step "purge"
    finish
}

# -- fresh -----------------------------------------------------------------------------------

fresh() {
    [ $# -ge 1 ] || { echo "usage: $0 fresh SUITE [--product | DEB...]" >&2; exit 2; }
    local suite="$1"
    shift
    # scripts/fresh-root.sh binds this machine's /dev into the root, so a folder in /dev/shm is
    # one that both sides see: the way the packages leave one root and reach the next.
    share="$(mktemp -d /dev/shm/kelvane-package-check.XXXXXX)"
    trap 'rm -rf "$scratch" "$share"' EXIT
    local debs=()
    if [ $# -eq 0 ] || [ "$1" = --product ]; then
        if scripts/fresh-root.sh "$suite" tests/package_check.sh build --copy-to "$share"; then
            pass
        else
            give_up "building and checking the packages in a fresh $suite root"
        fi
        step "build root ($suite)"
        if [ "${1:-}" = --product ]; then
            debs=("$share"/*.deb)
        else
            debs=("$share"/check/*.deb)
        fi
    else
        local deb
        for deb in "$@"; do cp "$deb" "$share/"; debs+=("$share/$(basename "$deb")"); done
    fi
    if scripts/fresh-root.sh "$suite" tests/package_check.sh install "${debs[@]}"; then
        pass
    else
        failed "installing and checking the packages in a fresh $suite root"
    fi
    step "install root ($suite)"
    finish
}

mode="${1:-}"
shift || true
case "$mode" in
    build) build "$@" ;;
    install) install_check "$@" ;;
    fresh) fresh "$@" ;;
    *) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2; exit 2 ;;
esac
