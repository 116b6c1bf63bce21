#!/usr/bin/env bash
# Builds the Windows installer with NSIS.
#   build-setup.sh VERSION X86_64_EXE I686_EXE OUTPUT_EXE [NSIS_TARGET]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
sed 's/$/\r/' "$here/packaging/README-windows.txt" >"$stage/README.txt"
makensis -V2 ${5:+-DTARGET="$5"} -DVERSION="$1" -DX64EXE="$(realpath "$2")" -DX86EXE="$(realpath "$3")" \
  -DREADME="$stage/README.txt" -DOUTFILE="$(realpath -m "$4")" "$here/packaging/windows/druvo.nsi"
echo "setup: $4"
