#!/usr/bin/env bash
# Screenshots of druvo.exe under Wine and Xvfb: the About box, the
# Configuration dialog and the tray popup, as PNGs in the build tree.
#   screenshots.sh [BUILD_DIR]   (default build/mingw-x86_64, built beforehand)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build/mingw-x86_64}")
if [ -z "${DISPLAY:-}" ]; then exec scripts/with-xvfb.sh "$0" "$build"; fi
export WINEDEBUG=-all WINEPREFIX=${WINEPREFIX:-$HOME/.wine-druvo}
out="$build/screenshots"
mkdir -p "$out"
# Without a window manager Wine must draw captions and frames itself. The
# setting is taken back at the end: the Wine suite reads the tray's picture
# where the managed default puts it.
scripts/wine-run.sh reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 || true
trap "scripts/wine-run.sh reg delete 'HKCU\\Software\\Wine\\X11 Driver' /v Managed /f >/dev/null 2>&1 || true" EXIT
probe() { scripts/wine-run.sh "$build/tests/win32/druvo_probe.exe" "$@"; }

scripts/wine-run.sh "$build/tray/druvo.exe" &
probe wait
for what in about config popup; do
  probe open "$what" >/dev/null
  sleep 1
  import -window root "$out/$what.png"
  probe close >/dev/null
  sleep 0.5
done
wineserver -k || true
ls "$out"/*.png
