#!/usr/bin/env bash
# Proves the README's two commands on a machine that has nothing installed:
# builds a pristine Debian 12 root with debootstrap (the minimal variant, as a
# container image would be), clones this repository's committed HEAD into it
# and runs `make demo` and then `make test` there, timing each. Only `make`
# itself is installed first, as a newcomer would; everything else must come
# from the project's own set-up.
#
# Usage (as root): scripts/fresh-check.sh [ROOT]
#   ROOT     where the new system goes (default /var/tmp/ostra-fresh); it is
#            created from scratch, so an earlier one is removed first.
#   MIRROR   the Debian mirror (default http://deb.debian.org/debian).
#   KEEP=1   leave the root in place afterwards for a look around.
# Takes about 20-40 minutes on two cores, mostly the sanitizer builds.
set -euo pipefail
SRC=$(cd "$(dirname "$0")/.." && pwd)
ROOT=${1:-/var/tmp/ostra-fresh}
[ "$(id -u)" -eq 0 ] || { echo "fresh-check: run as root (debootstrap and chroot)" >&2; exit 2; }
MIRROR=${MIRROR:-http://deb.debian.org/debian}
command -v debootstrap >/dev/null || apt-get install -y -qq debootstrap >/dev/null

mounted=()
cleanup() {
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[i]}" 2>/dev/null || true; done
    [ "${KEEP:-0}" = 1 ] || rm -rf "$ROOT"
}
trap cleanup EXIT
mount_into() {  # mount_into TYPE_OR_BIND SOURCE TARGET
    mkdir -p "$ROOT$3"
    if [ "$1" = bind ]; then mount --bind "$2" "$ROOT$3"; else mount -t "$1" "$2" "$ROOT$3"; fi
    mounted+=("$ROOT$3")
}

rm -rf "$ROOT"
echo "fresh-check: debootstrap bookworm into $ROOT from $MIRROR"
start=$(date +%s)
debootstrap --variant=minbase bookworm "$ROOT" "$MIRROR" >"${ROOT%/}.debootstrap.log" 2>&1 || {
    tail -20 "${ROOT%/}.debootstrap.log" >&2
    exit 1
}
echo "fresh-check: base system in $(($(date +%s) - start)) s"
cp /etc/resolv.conf "$ROOT/etc/resolv.conf"
mount_into proc proc /proc
mount_into sysfs sysfs /sys
mount_into bind /dev /dev
mount_into devpts devpts /dev/pts
mount_into tmpfs tmpfs /dev/shm

# The committed state, as CI sees it: a clone, not the working tree.
# The checkout lives in the new root's /opt.
git clone -q --no-hardlinks "$SRC" "$ROOT/opt/ostra"

in_root() { chroot "$ROOT" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
    TERM=dumb /bin/bash -c "$1"; }
in_root 'apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends make >/dev/null'

status=0
for target in demo test; do
    start=$(date +%s)
    if in_root "cd /opt/ostra && make $target" >"${ROOT%/}.$target.log" 2>&1; then
        result=passed
    else
        result=FAILED
        status=1
    fi
    echo "fresh-check: make $target $result in $(($(date +%s) - start)) s (log ${ROOT%/}.$target.log)"
done
[ $status -eq 0 ] || tail -40 "${ROOT%/}.test.log" >&2
exit $status
