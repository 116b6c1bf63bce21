#!/usr/bin/env bash
# Runs a command with a private X display (Wine's windows need one).
set -euo pipefail
if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then exec "$@"; fi
for n in $(seq 90 130); do
  [ -e "/tmp/.X${n}-lock" ] || break
done
Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null || true; wineserver -k 2>/dev/null || true' EXIT
export DISPLAY=":$n"
for _ in $(seq 1 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.05; done
"$@"
