#!/usr/bin/env bash
# Shows the main job end to end on this machine: a private CUPS server with a
# raw queue "RACUN" in front of a loopback capture printer, druvo watching a
# local drop folder, and a sample receipt crossing from folder to printer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build build/release -j"$(nproc)" --target druvo

work=$(mktemp -d /tmp/druvo-demo-XXXXXX)
chmod 755 "$work"
mkdir -p "$work/drop"
CUPS_SERVER=$(tests/integration/cupsenv.sh start "$work/cups")
export CUPS_SERVER
cleanup() {
  [ -n "${druvo_pid:-}" ] && kill "$druvo_pid" 2>/dev/null && wait "$druvo_pid" 2>/dev/null || true
  tests/integration/cupsenv.sh stop "$work/cups" || true
  rm -rf "$work"
}
trap cleanup EXIT

echo "== druvo starts"
build/release/daemon/druvo RACUN "$work/drop/*.*" &
druvo_pid=$!
sleep 0.5

echo "== a receipt is dropped"
printf '\x1b@\x1b!\x10DRUVO SHOP\r\n\x1b!\x00Bread      1.20\r\nMilk       0.90\r\nTOTAL      2.10\r\n\x1dV\x00' \
  >"$work/drop/.receipt.tmp"
mv "$work/drop/.receipt.tmp" "$work/drop/receipt-0001.prn"

for _ in $(seq 1 150); do
  compgen -G "$work/cups/jobs/job-*.bin" >/dev/null && break
  sleep 0.1
done
sleep 0.3
echo "== the drop folder now holds: $(ls -A "$work/drop" | wc -l) files"
echo "== bytes received by the printer:"
od -A d -c "$work"/cups/jobs/job-*.bin
