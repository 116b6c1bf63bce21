#!/usr/bin/env bash
# Packs both Windows executables and the Windows README into one zip.
#   package.sh X86_64_EXE I686_EXE OUTPUT_ZIP
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
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
