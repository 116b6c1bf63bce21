#!/usr/bin/env bash
# The Raspberry Pi builds: cross-builds arm64 and armhf (release), runs their
# unit and POSIX platform tests under qemu-user, packs and lints their
# Debian packages, and sends a receipt through the packaged arm64 druvo,
# under qemu, to a loopback capture printer over socket://.
#   test-pi.sh [ARCH...]     default: arm64 armhf
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
arches=("$@")
[ ${#arches[@]} -eq 0 ] && arches=(arm64 armhf)

build() {
  local arch=$1
  cmake --preset "linux-$arch" >/dev/null
  cmake --build "build/linux-$arch" -j"$(nproc)" --target druvo druvo_docs druvo_unit_tests druvo_posix_tests
  echo "-- $arch: unit and POSIX tests under qemu"
  ctest --test-dir "build/linux-$arch" --output-on-failure -L 'unit|platform'
  (cd "build/linux-$arch" && rm -f druvo_*.deb && cpack -G DEB >/dev/null)
  local deb
  deb=$(ls "$root/build/linux-$arch"/druvo_*_"$arch".deb)
  echo "-- $arch: $(basename "$deb"): Architecture $(dpkg-deb -f "$deb" Architecture); Depends $(dpkg-deb -f "$deb" Depends)"
  [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || { echo "FAIL: $deb is not $arch"; exit 1; }
  dpkg-deb -f "$deb" Depends | grep -q 'libcups2' || { echo "FAIL: $deb does not depend on libcups2"; exit 1; }
  # The same files as the amd64 package, where that one was built.
  local amd64
  amd64=$(ls "$root"/build/release/druvo_*_amd64.deb 2>/dev/null | head -1 || true)
  if [ -n "$amd64" ] && ! diff <(dpkg-deb -c "$amd64" | awk '{print $1, $6}') \
                                <(dpkg-deb -c "$deb" | awk '{print $1, $6}') >/dev/null; then
    echo "FAIL: $deb holds other files than $(basename "$amd64")"; exit 1
  fi
  local lint
  lint=$(lintian "$deb" 2>&1 | grep -v 'running with root privileges' || true)
  [ -n "$lint" ] && echo "$lint"
  if echo "$lint" | grep -q '^E:'; then echo "FAIL: lintian errors in $deb"; exit 1; fi
}

receipt() {
  # The packaged binary, unpacked, under qemu: a receipt from the drop
  # folder to the capture printer, byte for byte, and the file deleted.
  local arch=$1 qemu=$2 sysroot=$3
  local work deb
  work=$(mktemp -d /tmp/druvo-pi-XXXXXX)
  deb=$(ls "$root/build/linux-$arch"/druvo_*_"$arch".deb)
  dpkg-deb -x "$deb" "$work/root"
  mkdir -p "$work/drop" "$work/state" "$work/paper" "$work/run"
  python3 tests/integration/capture_printer.py --port-file "$work/port" --out "$work/paper" &
  local printer=$!
  for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.1; done
  RUNTIME_DIRECTORY="$work/run" DRUVO_STATE_DIR="$work/state" DRUVO_LOCK_DIR="$work/locks" \
    "$qemu" -L "$sysroot" "$work/root/usr/bin/druvo" "socket://127.0.0.1:$(cat "$work/port")" \
    "$work/drop/*.*" 2>"$work/log" &
  local druvo=$!
  printf 'DRUVO ON A PI\nkitchen ticket 42\n\x1dV\x00' >"$work/drop/.t"
  mv "$work/drop/.t" "$work/drop/ticket.prn"
  for _ in $(seq 100); do [ -e "$work/drop/ticket.prn" ] || break; sleep 0.1; done
  kill "$druvo" "$printer" 2>/dev/null || true
  wait "$druvo" 2>/dev/null || true
  wait "$printer" 2>/dev/null || true
  if [ -e "$work/drop/ticket.prn" ] || ! cmp -s <(printf 'DRUVO ON A PI\nkitchen ticket 42\n\x1dV\x00') <(cat "$work"/paper/job-*.bin 2>/dev/null); then
    echo "FAIL: the $arch druvo did not print and delete the receipt"; cat "$work/log"; exit 1
  fi
  echo "-- $arch: the packaged druvo under $qemu printed a receipt to socket:// and deleted it"
  rm -rf "$work"
}

for arch in "${arches[@]}"; do build "$arch"; done
for arch in "${arches[@]}"; do
  case $arch in
    arm64) receipt arm64 qemu-aarch64 / ;;
    armhf) receipt armhf qemu-arm / ;;
  esac
done
echo "Raspberry Pi builds: ok (${arches[*]})"
