#!/usr/bin/env bash
# Runs every benchmark and appends the figures to bench/results.md:
# micro-benchmarks (scan, sort, whole cycle with the printer missing), the
# soak (memory), and the end-to-end runs beside a shell loop around lp
# (throughput, latency, idle cost), and confirmed printing to an emulated
# ESC/POS printer (proof of paper), and the simulator's steps per second.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build build/release -j"$(nproc)" --target druvo druvo_micro_bench druvo_soak druvo-sim

out=bench/results.md
tmp=$(mktemp)
{
  echo
  echo "## Run of $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo
  echo "- machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), $(free -g | awk '/Mem:/{print $2}') GiB"
  echo "- command: \`bash bench/run.sh\` (release build)"
  echo
  echo "### Scale: one cycle with the printer missing, and the sort alone"
  echo
  echo '```'
  build/release/bench/druvo_micro_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    --benchmark_min_time=0.2 2>/dev/null | grep -E "median|BigO|Benchmark"
  echo '```'
  echo
  echo "### Memory: 100,000 files through the real folder with a fake spooler"
  echo
  echo '```'
  build/release/bench/druvo_soak 100000
  echo '```'
  echo
  python3 bench/bench_e2e.py build/release
  echo
  python3 bench/bench_confirm.py build/release
  echo
  echo "### druvo-sim: simulated steps per second, one core, 10 worlds of 20,000 steps"
  echo
  echo '```'
  # The modes whose worlds all pass (a failing world is shrunk, which is no speed).
  for mode in accepted direct; do
    printf '%-9s ' "$mode"
    build/release/tests/sim/druvo-sim --mode "$mode" --seeds 10 --steps 20000 --jobs 1 | tail -1
  done
  echo '```'
  if [ -x build/mingw-x86_64/tray/druvo.exe ]; then
    echo
    echo "### Latency under Wine: close to first byte at the printer"
    echo
    echo "| where | drops | p50 | p95 | max |"
    echo "|---|---:|---:|---:|---:|"
    scripts/with-xvfb.sh python3 bench/wine_latency.py build/mingw-x86_64
    scripts/with-xvfb.sh python3 bench/wine_latency.py build/mingw-x86_64 --via socket
  fi
} | tee "$tmp"
cat "$tmp" >>"$out"
rm -f "$tmp"
