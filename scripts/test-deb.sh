#!/usr/bin/env bash
# Builds the Debian package from the release build, checks it (lintian,
# systemd-analyze), installs it on this machine, runs the installed druvo as
# user druvo against a private cupsd, and purges it again.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

(cd build/release && rm -f druvo_*.deb && cpack -G DEB >/dev/null)
deb=$(ls "$root"/build/release/druvo_*_amd64.deb)
echo "package: $(basename "$deb")"

echo "-- lintian (errors fail, warnings are shown)"
lint=$(lintian "$deb" 2>&1 | grep -v 'running with root privileges' || true)
[ -n "$lint" ] && echo "$lint"
if echo "$lint" | grep -q '^E:'; then echo "FAIL: lintian errors"; exit 1; fi

echo "-- systemd-analyze security --offline=yes (at most 2.5)"
for unit in druvo.service druvo@.service; do
  score=$(cd build/release/daemon && systemd-analyze security --offline=yes "$unit" 2>/dev/null |
          awk '/Overall exposure level/ {print $(NF-2)}')
  echo "$unit: $score"
  awk -v s="$score" 'BEGIN { exit !(s != "" && s <= 2.5) }' || { echo "FAIL: $unit exposure $score"; exit 1; }
done

cleanup() {
  [ -n "${pid:-}" ] && kill "$pid" 2>/dev/null || true
  [ -n "${work:-}" ] && [ -e "$work/policy-rc.d" ] && mv "$work/policy-rc.d" /usr/sbin/policy-rc.d
  rm -f /usr/local/sbin/systemctl
  [ -n "${made_run:-}" ] && rmdir /run/systemd/system 2>/dev/null || true
  [ -n "${work:-}" ] && tests/integration/cupsenv.sh stop "$work/cups" >/dev/null 2>&1 || true
  dpkg --purge druvo >/dev/null 2>&1 || true
  [ -n "${work:-}" ] && rm -rf "$work"
}
trap cleanup EXIT

echo "-- install"
dpkg --purge druvo >/dev/null 2>&1 || true
dpkg -i "$deb" >/dev/null
getent passwd druvo >/dev/null || { echo "FAIL: no user druvo"; exit 1; }
[ "$(stat -c '%a %U %G' /var/spool/druvo)" = "2775 druvo druvo" ] || { echo "FAIL: /var/spool/druvo is $(stat -c '%a %U %G' /var/spool/druvo)"; exit 1; }
for f in /usr/bin/druvo /usr/lib/systemd/system/druvo.service /usr/lib/systemd/system/druvo@.service \
         /etc/druvo/default.conf /usr/lib/sysusers.d/druvo.conf /usr/lib/tmpfiles.d/druvo.conf; do
  [ -e "$f" ] || { echo "FAIL: $f missing"; exit 1; }
done
man -w druvo >/dev/null || { echo "FAIL: no man page"; exit 1; }
verify=$(systemd-analyze verify /usr/lib/systemd/system/druvo.service /usr/lib/systemd/system/druvo@.service 2>&1 || true)
if [ -n "$verify" ]; then echo "$verify"; echo "FAIL: systemd-analyze verify"; exit 1; fi
echo "user druvo, /var/spool/druvo 2775 druvo:druvo, units, man page, conffile: ok; systemd-analyze verify: clean"

echo "-- the installed druvo, as user druvo, against a private cupsd"
work=$(mktemp -d /tmp/druvo-deb-XXXXXX)
chmod 755 "$work"
CUPS_SERVER=$(tests/integration/cupsenv.sh start "$work/cups")
export CUPS_SERVER
drop=/var/spool/druvo/deb-test
install -d -o druvo -g druvo -m 2775 "$drop"
install -d -o druvo -g druvo -m 750 "$work/state"
DRUVO_STATE_DIR="$work/state" setpriv --reuid=druvo --regid=druvo --init-groups \
  /usr/bin/druvo RACUN "$drop/*.*" 2>"$work/druvo.log" &
pid=$!
printf 'DEB TEST\r\nreceipt\r\n' >"$drop/.r.tmp"
mv "$drop/.r.tmp" "$drop/r.prn"
for _ in $(seq 1 100); do compgen -G "$work/cups/jobs/job-*.bin" >/dev/null && break; sleep 0.1; done
got=$(cat "$work"/cups/jobs/job-*.bin 2>/dev/null || true)
kill "$pid"; wait "$pid" || true; pid=
if [ "$got" != "$(printf 'DEB TEST\nreceipt\n')" ] || [ -e "$drop/r.prn" ]; then
  cat "$work/druvo.log"; echo "FAIL: the installed druvo did not print"; exit 1
fi
echo "printed byte-exact and deleted, running as $(id -un druvo)"

echo "-- upgrade restarts the running druvos; purge leaves no enable link"
# No systemd runs here: a stand-in systemctl records what the scripts ask of it.
shim=/usr/local/sbin/systemctl
made_run=
if [ ! -d /run/systemd/system ]; then mkdir -p /run/systemd/system; made_run=1; fi
printf '#!/bin/sh\necho "$*" >>%s\n' "$work/systemctl.log" >"$shim"
chmod 755 "$shim"
# A container's policy-rc.d forbids service actions; a till's allows them.
policy=/usr/sbin/policy-rc.d
[ -e "$policy" ] && mv "$policy" "$work/policy-rc.d"
dpkg -i "$deb" >/dev/null
[ -e "$work/policy-rc.d" ] && mv "$work/policy-rc.d" "$policy"
grep -q "try-restart druvo.service druvo@\*.service" "$work/systemctl.log" ||
  { cat "$work/systemctl.log"; rm -f "$shim"; echo "FAIL: an upgrade does not restart druvo"; exit 1; }
wants=/etc/systemd/system/multi-user.target.wants
mkdir -p "$wants"
ln -sf /usr/lib/systemd/system/druvo.service "$wants/druvo.service"
ln -sf /usr/lib/systemd/system/druvo@.service "$wants/druvo@kitchen.service"
printf 'waiting\n' >"$drop/left.prn"
dpkg --purge druvo 2>"$work/purge.err" >/dev/null
rm -f "$shim"
[ -n "$made_run" ] && rmdir /run/systemd/system && made_run=
for f in /usr/bin/druvo /usr/lib/systemd/system/druvo.service /etc/druvo/default.conf \
         "$wants/druvo.service" "$wants/druvo@kitchen.service"; do
  [ ! -e "$f" ] && [ ! -L "$f" ] || { echo "FAIL: $f still there after purge"; exit 1; }
done
[ -e "$drop/left.prn" ] && grep -q "still holds files; they are kept" "$work/purge.err" ||
  { cat "$work/purge.err"; echo "FAIL: purge and the producer's files"; exit 1; }
getent passwd druvo >/dev/null || { echo "FAIL: purge removed the user druvo"; exit 1; }
rm -rf /var/spool/druvo
echo "upgrade: try-restart; purged: no enable links, producer files and the user kept"
