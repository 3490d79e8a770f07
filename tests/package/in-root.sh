#!/usr/bin/env bash
# Runs inside the booted clean root (see package-test.sh), as its root user.
set -euo pipefail
cd /root
fail() { echo "in the clean root: $*" >&2; exit 1; }
wait_for() {  # wait_for SECONDS COMMAND...: until the command succeeds
  local n=$(($1 * 10)); shift
  until "$@" >/dev/null 2>&1; do ((n--)) || fail "timed out waiting for: $*"; sleep 0.1; done
}

# The README's install line, verbatim (apt asks before it installs).
grep '^apt install \./' README.md >install.sh
[ -s install.sh ] || fail "no apt install line in the README"
while read -r line; do eval "$line" <<<Y; done <install.sh

# CUPS finds the PPDs where Debian's cups-driverd looks.
lpinfo -m | grep labelfilter
[ "$(lpinfo -m | grep -c '^lsb/usr/labelfilter/lf[58][80]mm.ppd ')" = 2 ] || fail "lpinfo -m lists no PPDs"

# A queue on a file device (allowed for the test only) prints the receipt.
echo 'FileDevice Yes' >>/etc/cups/cups-files.conf
systemctl restart cups
lpadmin -p receipt -E -v file:///var/tmp/receipt.escpos -m lsb/usr/labelfilter/lf80mm.ppd
lp -d receipt receipt.pdf
wait_for 60 sh -c '[ -z "$(lpstat -o receipt)" ] && [ -s /var/tmp/receipt.escpos ]'
escpos-preview --png receipt.png /var/tmp/receipt.escpos | tee preview.log
grep -q '^paper: 576 x [0-9]* dots' preview.log || fail "the queue printed no receipt"

# The service was enabled and started by the package; a printer added to it prints.
[ "$(systemctl is-enabled labelfilter-printer-app)" = enabled ] || fail "service not enabled"
wait_for 20 test -S /run/labelfilter-printer-app.sock
systemctl is-active labelfilter-printer-app
mkdir -p /var/tmp/app
perl fake-printer.pl 9100 /var/tmp/app &
labelfilter-printer-app add -d receipt -m escpos-80mm-203dpi -v socket://127.0.0.1:9100
labelfilter-printer-app submit -d receipt receipt.pdf
wait_for 60 sh -c 'ls /var/tmp/app/*.escpos'
escpos-preview "$(ls -S /var/tmp/app/*.escpos | head -1)" | tee app.log
grep -q '^paper: 576 x [0-9]* dots' app.log || fail "the service printed no receipt"

# Remove: stopped, nothing running, the printers kept. Purge: nothing left.
apt-get remove -y -qq labelfilter-printer-app
! systemctl is-active labelfilter-printer-app || fail "service still active after remove"
! pgrep -f /usr/bin/labelfilter-printer-app || fail "server still running after remove"
[ -s /var/lib/labelfilter-printer-app.state ] || fail "state lost on remove"
grep -q 'receipt' /var/lib/labelfilter-printer-app.state || fail "printer not in the kept state"
apt-get purge -y -qq labelfilter-printer-app labelfilter
for f in /var/lib/labelfilter-printer-app.state /etc/default/labelfilter-printer-app \
         /etc/systemd/system/multi-user.target.wants/labelfilter-printer-app.service /usr/lib/cups/filter/labelfilter; do
  [ ! -e "$f" ] || fail "$f left after purge"
done
[ -z "$(dpkg -l 'labelfilter*' 2>/dev/null | grep '^[ir]')" ] || fail "packages half-installed after purge"
kill %1
echo "in the clean root: all checks passed"
