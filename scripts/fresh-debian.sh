#!/usr/bin/env bash
# fresh-debian.sh - tries the README's two commands the way a newcomer meets them: makes a
# minimal Debian 12 with debootstrap (--variant=minbase, from the Debian mirror this machine's apt
# uses), puts a clean clone of the project's committed HEAD into it (and ../shared beside it when
# present), and runs scripts/demo.sh and then scripts/test.sh there as root in a chroot, with a
# bare environment. Prints how long each step took. Run as root; needs network to the mirror and
# the npm registry. Not part of CI.
#
#   scripts/fresh-debian.sh [--dir DIR] [--keep]
#
#   --dir DIR  make the system in DIR (default: a new folder under /var/tmp)
#   --keep     keep the system afterwards (default: removed once everything is unmounted)
set -euo pipefail
project=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dir=""
keep=0
while [[ $# -gt 0 ]]; do
    case "$1" in
    --dir) dir=$(realpath -m "$2"); shift 2 ;;
    --keep) keep=1; shift ;;
    -h|--help) sed -n '2,12p' "$0"; exit 0 ;;
    *) echo "fresh-debian: unknown argument $1" >&2; exit 2 ;;
    esac
done
[[ $(id -u) -eq 0 ]] || { echo "fresh-debian: run as root (debootstrap and chroot need it)" >&2; exit 1; }
[[ -n $dir ]] || dir=$(mktemp -d /var/tmp/vesk-fresh-debian.XXXXXX)
rootfs=$dir/rootfs
started=$SECONDS
timings=()
timed() { # timed LABEL COMMAND...: runs it and keeps "LABEL: N s"
    local label=$1 t=$SECONDS rc=0
    shift
    echo "== $label"
    "$@" || rc=$?
    timings+=("$label: $((SECONDS - t)) s$([[ $rc -eq 0 ]] || echo ", FAILED")")
    return $rc
}

arch=$(dpkg --print-architecture)
mirror_of() { apt-cache policy | sed -n "s|^ *[0-9]* \(https\?://[^ ]*\) $1/main $arch Packages\$|\1|p" | head -1; }
mirror=$(mirror_of bookworm)
security=$(mirror_of bookworm-security)
[[ -n $mirror ]] || { echo "fresh-debian: apt has no bookworm mirror configured" >&2; exit 1; }
"$project/scripts/install-packages.sh" debootstrap git

mounted=()
cleanup() {
    # Processes the tests left behind in the chroot would keep its mounts busy.
    local pid
    for pid in /proc/[0-9]*; do
        [[ $(readlink "$pid/root" 2>/dev/null) == "$rootfs" ]] && kill -9 "${pid#/proc/}" 2>/dev/null || true
    done
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" || true
    done
    if [[ $keep -eq 0 && -d $rootfs ]]; then
        if findmnt -rn -o TARGET | grep -q "^$rootfs"; then
            echo "fresh-debian: something is still mounted under $rootfs; not removing $dir" >&2
        else
            rm -rf --one-file-system "$dir"
        fi
    fi
}
trap cleanup EXIT

timed "debootstrap --variant=minbase bookworm from $mirror" \
    debootstrap --variant=minbase bookworm "$rootfs" "$mirror" >"$dir/debootstrap.log" 2>&1 ||
    { tail -20 "$dir/debootstrap.log"; exit 1; }
{
    echo "deb $mirror bookworm main"
    echo "deb $mirror bookworm-updates main"
    [[ -z $security ]] || echo "deb $security bookworm-security main"
} >"$rootfs/etc/apt/sources.list"
# The network's settings come along, as a newcomer's machine on this network would have them:
# the name server, and local CA certificates (a proxy that inspects TLS), which Debian's
# ca-certificates adds to the trust store when the commands install it.
cp /etc/resolv.conf "$rootfs/etc/resolv.conf"
[[ ! -d /usr/local/share/ca-certificates ]] ||
    cp -r /usr/local/share/ca-certificates/. "$rootfs/usr/local/share/ca-certificates/"

git clone -q "$project" "$rootfs/root/vesk-mcp"
echo "   project: $(git -C "$rootfs/root/vesk-mcp" log --oneline -1)"
[[ ! -d $project/../shared ]] || cp -a "$project/../shared" "$rootfs/root/shared"

for m in proc sys dev dev/pts; do
    case $m in
    proc) mount -t proc proc "$rootfs/proc" ;;
    sys) mount -t sysfs sysfs "$rootfs/sys" ;;
    *) mount --bind "/$m" "$rootfs/$m" ;;
    esac
    mounted+=("$rootfs/$m")
done

# Node.js's official build trusts only its own CA list unless told otherwise.
extra=()
[[ -z ${NODE_EXTRA_CA_CERTS:-} ]] || extra=(NODE_EXTRA_CA_CERTS=/etc/ssl/certs/ca-certificates.crt)
inside() { # runs a command line in the project folder of the new system, as a login would
    chroot "$rootfs" /usr/bin/env -i HOME=/root TERM=dumb "${extra[@]}" \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        /bin/bash -c "cd /root/vesk-mcp && $1"
}
inside 'echo "   Debian $(cat /etc/debian_version), $(dpkg-query -W | wc -l) packages"'
status=0
timed "scripts/demo.sh" inside 'scripts/demo.sh' >"$dir/demo.log" 2>&1 || status=$?
[[ $status -eq 0 ]] || { tail -40 "$dir/demo.log"; echo "fresh-debian: scripts/demo.sh FAILED (log: $dir/demo.log)"; keep=1; exit 1; }
tail -3 "$dir/demo.log"
timed "scripts/test.sh" inside 'scripts/test.sh' >"$dir/test.log" 2>&1 || status=$?
[[ $status -eq 0 ]] || { tail -60 "$dir/test.log"; echo "fresh-debian: scripts/test.sh FAILED (log: $dir/test.log)"; keep=1; exit 1; }
grep -E "tests passed|^# (pass|fail)" "$dir/test.log" || true
timed "scripts/test.sh again (nothing to install or build)" inside 'scripts/test.sh' >"$dir/test-again.log" 2>&1 ||
    { tail -40 "$dir/test-again.log"; echo "fresh-debian: the second scripts/test.sh FAILED"; keep=1; exit 1; }

echo "== fresh Debian 12: both commands passed in $((SECONDS - started)) s"
printf '   %s\n' "${timings[@]}"
