#!/usr/bin/env bash
# Phones find the printer: the printer application announces each printer by
# DNS-SD with the TXT keys driverless clients need, and a job sent to the
# address found prints.
#
#   bash tests/app/dnssd-test.sh APP ESCPOS-PREVIEW WORKDIR
#
# Two network namespaces, "printer" and "phone", joined by a veth pair with
# documentation addresses (192.0.2.0/24), each with its own D-Bus system bus
# and avahi-daemon in a mount namespace with its own /run: nothing of this
# machine's D-Bus, avahi or network is seen or touched, and no packet leaves
# the pair. The printer is a fake one on the printer side's loopback.
set -euo pipefail
if [ "${1:-}" != --inside ]; then
  for tool in avahi-daemon avahi-browse ippfind ipptool dbus-daemon ip; do
    command -v "$tool" >/dev/null || { echo "dnssd test: $tool is missing: not run"; exit 77; }
  done
  unshare -m --propagation private true 2>/dev/null || { echo "dnssd test: needs root: not run"; exit 77; }
  exec unshare -m --propagation private bash "$0" --inside "$@"
fi
shift
app=$1 preview=$2 work=$3
src=$(cd "$(dirname "$0")/../.." && pwd)
rm -rf "$work" && mkdir -p "$work/printed" "$work/spool" "$work/tmp"
# Temporary files of everything run here go to the test's directory. /tmp
# itself stays visible: the tree under test may be in it (a clone in /tmp).
export TMPDIR=$work/tmp
fail() { echo "dnssd test: $*" >&2; exit 1; }

mount -t tmpfs tmpfs /run
ip netns add printer
ip netns add phone
ip link add lf0 netns printer type veth peer name lf1 netns phone
ip -n printer addr add 192.0.2.1/24 dev lf0
ip -n phone addr add 192.0.2.2/24 dev lf1
for ns in printer phone; do ip -n $ns link set lo up; done
ip -n printer link set lf0 up
ip -n phone link set lf1 up

# side NAME IFACE: a shell in namespace NAME with its own /run, running
# D-Bus and avahi-daemon as its children (it reaps them and ends when
# they are stopped); prints the shell's pid, for nsenter.
side() {
  cat >"$work/$1-avahi.conf" <<CONF
[server]
host-name=lf-$1
use-ipv4=yes
use-ipv6=no
allow-interfaces=$2
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
CONF
  ip netns exec "$1" unshare -m --propagation private sh -c '
    mount -t tmpfs tmpfs /run && mkdir -p /run/dbus
    dbus-daemon --system --nofork --nopidfile --print-pid=3 3>/run/dbus/pid &
    while [ ! -S /run/dbus/system_bus_socket ]; do sleep 0.05; done
    avahi-daemon -f "$1" --no-chroot --no-drop-root &
    wait' _ "$work/$1-avahi.conf" >>"$work/$1.log" 2>&1 &
  echo $!
}
printer=$(side printer lf0)
phone=$(side phone lf1)
ns() { local pid=$1; shift; nsenter -t "$pid" -m -n "$@"; }
stop() {
  for pid in "$printer" "$phone"; do
    for f in /run/labelfilter-printer-app.pid /run/fake-printer.pid /run/avahi-daemon/pid /run/dbus/pid; do
      p=$(ns "$pid" cat "$f" 2>/dev/null) && kill "$p" 2>/dev/null || true
    done
  done
}
trap stop EXIT
wait_for() {  # wait_for SECONDS COMMAND...
  local n=$(($1 * 10)); shift
  until "$@" >/dev/null 2>&1; do ((n--)) || fail "timed out waiting for: $*"; sleep 0.1; done
}
# avahi-daemon and the server start slowly on a machine busy with builds.
for pid in "$printer" "$phone"; do wait_for 60 ns "$pid" test -S /run/avahi-daemon/socket; done

# The server, as the package's service runs it but listening on the network.
ns "$printer" sh -c 'echo $$ >/run/labelfilter-printer-app.pid; exec "$@"' _ "$app" server \
  -o listen-hostname='*' -o server-port=8000 -o log-file="$work/app.log" -o log-level=debug \
  -o spool-directory="$work/spool" -o state-file="$work/state" >>"$work/printer.log" 2>&1 &
wait_for 60 ns "$printer" test -S /run/labelfilter-printer-app.sock
ns "$printer" sh -c 'echo $$ >/run/fake-printer.pid; exec perl "$@"' _ "$src/tests/support/fake-printer.pl" 9100 \
  "$work/printed" &
ns "$printer" "$app" add -d receipt -m escpos-80mm-203dpi -v socket://127.0.0.1:9100

# What a phone sees: the resolved _ipp._tcp service, its _print subtype and
# the _printer._tcp name IPP Everywhere asks for.
browse() { ns "$phone" avahi-browse -rtp "$1" | grep "^=;lf1;IPv4;receipt;"; }
wait_for 20 browse _ipp._tcp
record=$(browse _ipp._tcp)
echo "dnssd test: the phone sees: $record"
browse _print._sub._ipp._tcp
browse _printer._tcp
IFS=';' read -r _ _ _ _ _ _ host address port txt <<<"$record"
[ "$address" = 192.0.2.1 ] || fail "resolved address $address"
for key in txtvers=1 qtotal=1 'rp=ipp/print/receipt' ty= pdl= 'pdl=[^"]*image/pwg-raster' 'pdl=[^"]*image/urf' \
           URF= Color=F UUID= 'adminurl=http' kind=receipt 'product=\(' note= priority= Duplex=F; do
  grep -Eq "\"$key" <<<"$txt" || fail "TXT key $key missing in: $txt"
done

# CUPS's ippfind finds the same printer and its keys.
found=$(ns "$phone" ippfind -T 3 _ipp._tcp,_print -x echo '{service_uri} {txt_pdl} {txt_URF}' \;)
echo "dnssd test: ippfind: $found"
grep -q "^ipp://$host:$port/ipp/print/receipt .*image/urf.* [A-Z]" <<<"$found" || fail "ippfind found: $found"

# A job sent from the phone to the address found prints.
rp=$(grep -o '"rp=[^"]*"' <<<"$txt" | sed 's/"rp=\(.*\)"/\1/')
ns "$phone" ipptool -tq -f "$src/samples/receipt.pdf" "ipp://$address:$port/$rp" print-job.test
wait_for 30 sh -c 'ls "$1"/*.escpos' _ "$work/printed"
"$preview" "$(ls -S "$work"/printed/*.escpos | head -1)" | tee "$work/preview.log"
grep -q '^paper: 576 x [0-9]* dots' "$work/preview.log" || fail "the job printed nothing"
echo "dnssd test: passed"
