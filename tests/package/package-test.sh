#!/usr/bin/env bash
# The Debian packages end to end: `bash run.sh package` builds them, lintian
# finds no error, and on a clean Debian 12 root (made by mmdebstrap from
# Debian's archive, booted with systemd-nspawn in a network of its own) the
# README's `apt install` line installs them, CUPS lists the PPDs and prints
# the sample receipt through a queue, the service runs and prints, and remove
# and purge leave nothing running and, on purge, no state.
#
#   bash tests/package/package-test.sh WORKDIR
#
# A clean root rather than an overlay of this machine: the machine already
# has CUPS, avahi and every library, so only a root with nothing but Debian's
# base shows that the packages' dependencies are complete.
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
work=$1
for tool in mmdebstrap systemd-nspawn lintian dpkg-buildpackage; do
  command -v "$tool" >/dev/null || { echo "package test: $tool is missing: not run"; exit 77; }
done
[ "$(id -u)" = 0 ] || { echo "package test: needs root (mmdebstrap, systemd-nspawn): not run"; exit 77; }
arch=$(dpkg --print-architecture)
rm -rf "$work" && mkdir -p "$work"
elapsed() { echo "package test: $1 took $((SECONDS - $2)) s"; }

t=$SECONDS
LABELFILTER_DIST="$work/dist" bash "$src/run.sh" package
elapsed "bash run.sh package" "$t"

# lintian: no error on any package; the warnings are shown.
lintian --fail-on error "$work"/dist/*/*.deb \
  | tee "$work/lintian.log"

# The clean root: Debian 12 with systemd, and the packages' dependencies
# downloaded by apt (resolved from the .debs themselves, with the
# recommended packages, as `apt install` takes them) into a cache of the
# root's own that mmdebstrap does not empty, so that the boot below needs no
# network.
t=$SECONDS
debs=("$work/dist/$arch"/*.deb)
mirror=http://deb.debian.org/debian
mmdebstrap --quiet --variant=apt --include=systemd-sysv,dbus --skip=cleanup/apt \
  --customize-hook="copy-in ${debs[*]} $src/samples/receipt.pdf $src/tests/package/in-root.sh $src/tests/support/fake-printer.pl $src/README.md /root" \
  --customize-hook='echo "Dir::Cache::Archives \"/var/cache/labelfilter-test/\";" >"$1/etc/apt/apt.conf.d/99labelfilter-test"' \
  --customize-hook='mkdir -p "$1/var/cache/labelfilter-test/partial"' \
  --customize-hook='chroot "$1" sh -c "cd /root && apt-get install --download-only -y -qq -o APT::Install-Recommends=true ./labelfilter_*.deb ./labelfilter-printer-app_*.deb"' \
  bookworm "$work/root" "deb $mirror bookworm main" "deb $mirror bookworm-updates main" \
  "deb http://deb.debian.org/debian-security bookworm-security main"
elapsed "the clean root (mmdebstrap)" "$t"

# Boot it: systemd as the container's PID 1, loopback only, no registration
# with a host systemd (this machine may have none). The container's /run is
# its own; the host's /run/systemd/nspawn bookkeeping lives in a tmpfs that
# goes with this namespace.
t=$SECONDS
unshare -m --propagation private bash -c '
  mkdir -p /run/systemd/nspawn && mount -t tmpfs tmpfs /run/systemd/nspawn
  exec systemd-nspawn --quiet --register=no --keep-unit --private-network -D "$1" -b --console=passive' _ "$work/root" \
  </dev/null >"$work/boot.log" 2>&1 &
boot=$!
leader=
stop() {
  [ -n "$leader" ] && timeout 60 nsenter -t "$leader" -a systemctl poweroff 2>/dev/null || kill "$boot" 2>/dev/null || true
  wait "$boot" 2>/dev/null || true
}
trap stop EXIT
for _ in $(seq 300); do
  for p in $(pgrep -x systemd || true); do
    [ -e "/proc/$p/root/root/in-root.sh" ] && leader=$p
  done
  [ -n "$leader" ] && timeout 60 nsenter -t "$leader" -a systemctl is-system-running --wait >/dev/null 2>&1 && break
  sleep 0.2
done
[ -n "$leader" ] || { cat "$work/boot.log"; echo "package test: the container did not boot" >&2; exit 1; }
elapsed "booting the clean root" "$t"

t=$SECONDS
nsenter -t "$leader" -a bash /root/in-root.sh
elapsed "install, print, service, remove, purge" "$t"
stop
trap - EXIT
rm -rf "$work/root"
echo "package test: passed"
