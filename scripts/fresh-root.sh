#!/usr/bin/env bash
# Proves that the README's commands set up everything on a fresh machine: makes a minimal
# Debian root (debootstrap --variant=minbase) for the given release, clones the committed tree
# into it and runs a command there as root, by default the README's test command. The root is
# removed afterwards, whatever happened. Needs root and a network path to the Debian mirror that
# this machine's own apt sources name.
#
#   scripts/fresh-root.sh bookworm                  # scripts/test.sh in a fresh Debian 12
#   scripts/fresh-root.sh trixie scripts/run.sh     # any command, run from the clone
#
# KELVANE_FRESH_ROOT_PARENT chooses where the root is made (default /var/tmp).
set -euo pipefail
cd "$(dirname "$0")/.."
repository="$PWD"

if [ $# -lt 1 ]; then
    echo "usage: $0 SUITE [COMMAND...]   (SUITE: bookworm, trixie, ...)" >&2
    exit 2
fi
suite="$1"
shift
command=("$@")
[ ${#command[@]} -gt 0 ] || command=(scripts/test.sh)

if [ "$(id -u)" -ne 0 ]; then
    echo "$0: making and entering a Debian root needs root" >&2
    exit 2
fi

step_started=$SECONDS
step() {
    echo "fresh-root[$suite]: $1 took $((SECONDS - step_started)) s"
    step_started=$SECONDS
}

# The first mirror that this machine's apt sources name for Debian itself (not its security
# archive), in the deb822 format first and the one-line format after.
debian_mirror() {
    local file
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -e "$file" ] || continue
        awk '/^URIs:/ { for (i = 2; i <= NF; ++i) if ($i !~ /security/) { print $i; exit } }' \
            "$file"
    done
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -e "$file" ] || continue
        awk '$1 == "deb" && $0 !~ /security/ {
                 for (i = 2; i <= NF; ++i) if ($i ~ /^[a-z]+:\/\//) { print $i; exit } }' "$file"
    done
}
mirror="$(debian_mirror | head -n 1)"
if [ -z "$mirror" ]; then
    echo "$0: no Debian mirror found in /etc/apt/sources.list.d/*.sources or sources.list" >&2
    exit 1
fi

if ! command -v debootstrap > /dev/null; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap
fi

parent="${KELVANE_FRESH_ROOT_PARENT:-/var/tmp}"
root="$(mktemp -d "$parent/kelvane-fresh-$suite.XXXXXX")"
# mktemp makes the folder 0700: inside the root that would keep every user but root out of /.
chmod 0755 "$root"

# Ends what still runs inside the root, unmounts everything bound into it and only then removes
# it: removing a root whose /dev is still bound would reach into the real /dev.
cleanup() {
    local status=$?
    local pid
    for pid in /proc/[0-9]*; do
        if [ "$(readlink "$pid/root" 2>/dev/null)" = "$root" ]; then
            kill -9 "${pid#/proc/}" 2>/dev/null || true
        fi
    done
    local mount
    for mount in dev sys proc; do
        if mountpoint -q "$root/$mount"; then
            umount -R "$root/$mount" 2>/dev/null || umount -R -l "$root/$mount" || true
        fi
    done
    if grep -q " $root/" /proc/self/mounts; then
        echo "fresh-root[$suite]: $root still has mounts; left in place" >&2
    else
        rm -rf --one-file-system "$root"
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "fresh-root[$suite]: making a minimal root in $root from $mirror"
debootstrap --variant=minbase "$suite" "$root" "$mirror" > "$root.debootstrap.log" 2>&1 || {
    tail -n 30 "$root.debootstrap.log" >&2
    rm -f "$root.debootstrap.log"
    exit 1
}
rm -f "$root.debootstrap.log"
step "debootstrap"

mount -t proc proc "$root/proc"
mount --rbind /sys "$root/sys"
mount --make-rslave "$root/sys"
mount --rbind /dev "$root/dev"
mount --make-rslave "$root/dev"
cp /etc/resolv.conf "$root/etc/resolv.conf"

# The committed tree only: what a clean clone of the repository holds.
git clone --quiet --no-hardlinks "$repository" "$root/root/kelvane"
step "mounts and clone"

# The environment of a bare machine: a minimal install or a container sets no LANG or LC_*, so
# the command runs in the C locale, whose encoding is ASCII, as it would there.
echo "fresh-root[$suite]: running ${command[*]}"
chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    ${KELVANE_FUZZ_SECONDS:+KELVANE_FUZZ_SECONDS=$KELVANE_FUZZ_SECONDS} \
    ${KELVANE_SANITIZERS:+KELVANE_SANITIZERS=$KELVANE_SANITIZERS} \
    ${KELVANE_PACKAGE_SCREENSHOTS:+KELVANE_PACKAGE_SCREENSHOTS=$KELVANE_PACKAGE_SCREENSHOTS} \
    bash -c 'cd /root/kelvane && "$@"' bash "${command[@]}"
step "${command[*]}"
echo "fresh-root[$suite]: passed"
