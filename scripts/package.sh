#!/usr/bin/env bash
# Packs both Windows executables and the Windows README into one zip:
#   package.sh X86_64_EXE I686_EXE OUTPUT_ZIP
# or builds the Linux daemon's three Debian packages (amd64, and arm64 and
# armhf for the Raspberry Pi) into OUTPUT_DIR:
#   package.sh --debs OUTPUT_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
if [ "${1:-}" = "--debs" ]; then
  out=$(realpath -m "${2:?package.sh --debs OUTPUT_DIR}")
  mkdir -p "$out"
  cd "$here"
  for preset in release linux-arm64 linux-armhf; do
    cmake --preset "$preset" >/dev/null
    cmake --build "build/$preset" -j"$(nproc)" --target druvo druvo_docs
    (cd "build/$preset" && rm -f druvo_*.deb && cpack -G DEB >/dev/null && cp druvo_*.deb "$out/")
  done
  ls "$out"/druvo_*.deb
  exit 0
fi
out=$(realpath -m "$3")
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir "$stage/druvo"
cp "$1" "$stage/druvo/druvo-x86_64.exe"
cp "$2" "$stage/druvo/druvo-i686.exe"
sed 's/$/\r/' "$here/packaging/README-windows.txt" >"$stage/druvo/README.txt"
(cd "$stage" && zip -q -r -X druvo.zip druvo)
mv "$stage/druvo.zip" "$out"
echo "package: $out"
