#!/usr/bin/env bash
# The packaged arm64 druvo under qemu-aarch64 (build it first with
# scripts/test-pi.sh arm64): CPU per receipt sent to a loopback printer,
# and CPU and resident memory while 1,000 files wait for a printer that is
# not there. qemu-user translates every instruction, so CPU figures are an
# upper bound for a real Pi; resident memory includes qemu's own (about
# 10-20 MB), measured alone below.
set -euo pipefail
cd "$(dirname "$0")/.."
deb=$(ls build/linux-arm64/druvo_*_arm64.deb)
work=$(mktemp -d /tmp/druvo-pibench-XXXXXX)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
dpkg-deb -x "$deb" "$work/root"
run() {
  DRUVO_STATE_DIR="$work/state" DRUVO_LOCK_DIR="$work/locks" DRUVO_NO_INOTIFY=${NOINOTIFY:-} \
    RUNTIME_DIRECTORY="$work/run" qemu-aarch64 -L / "$work/root/usr/bin/druvo" "$1" "$work/drop/*.*" >/dev/null 2>>"$work/log" &
  echo $!
}
cpu() { awk '{print $14 + $15}' "/proc/$1/stat"; }  # clock ticks
hz=$(getconf CLK_TCK)

mkdir -p "$work/drop" "$work/state" "$work/paper" "$work/run"
python3 tests/integration/capture_printer.py --port-file "$work/port" --out "$work/paper" &
for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.1; done
pid=$(run "socket://127.0.0.1:$(cat "$work/port")")
sleep 3
before=$(cpu "$pid")
n=300
for i in $(seq $n); do printf 'receipt %04d\n%0400d\n' "$i" 0 >"$work/drop/r$i.prn"; done
for _ in $(seq 600); do [ -z "$(ls "$work/drop")" ] && break; sleep 0.1; done
after=$(cpu "$pid")
kill "$pid"; wait "$pid" 2>/dev/null || true
per=$(awk -v b="$before" -v a="$after" -v n="$n" -v hz="$hz" 'BEGIN { printf "%.2f", (a - b) * 1000 / hz / n }')
echo "arm64 under qemu: $n receipts of 414 bytes: $per ms CPU per receipt"

for i in $(seq 1000); do printf 'waiting %04d\n' "$i" >"$work/drop/w$i.prn"; done
pid=$(run "socket://127.0.0.1:9")   # nothing listens: the files wait
sleep 5
before=$(cpu "$pid")
sleep 20
after=$(cpu "$pid")
rss=$(awk '/VmRSS/ {print $2}' "/proc/$pid/status")
kill "$pid"; wait "$pid" 2>/dev/null || true
qemu_alone=$( (qemu-aarch64 -L / /lib/ld-linux-aarch64.so.1 --help >/dev/null 2>&1 &
  p=$!; sleep 0.3; awk '/VmRSS/ {print $2}' "/proc/$p/status" 2>/dev/null || echo 0; wait $p 2>/dev/null) || echo 0)
idle=$(awk -v b="$before" -v a="$after" -v hz="$hz" 'BEGIN { printf "%.1f", (a - b) * 100 / hz / 20 }')
echo "arm64 under qemu, 1,000 files waiting, printer unreachable: ${idle}% of a core, ${rss} kB resident (qemu included)"
