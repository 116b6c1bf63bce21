#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan, UBSan) and runs each for a fixed
# time from its seed corpus, all at once (default 20 s; FUZZ_SECONDS=600 for a
# long run). --build-only builds them and runs nothing.
# New inputs go to a scratch folder, so the committed seeds stay as they are.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-20}
targets="fuzz_text_helpers fuzz_command_line fuzz_print_stream fuzz_wildcard"
cmake --preset fuzz >/dev/null
# shellcheck disable=SC2086
cmake --build build/fuzz -j"$(nproc)" --target $targets
[ "${1:-}" = "--build-only" ] && exit 0
# All at once: each has its own corpus and log.
declare -A runs
for target in $targets; do
  work="build/fuzz/corpus/$target"
  mkdir -p "$work"
  build/fuzz/tests/fuzz/$target -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="build/fuzz/$target-" "$work" "tests/fuzz/corpus/$target" \
    >"build/fuzz/$target.log" 2>&1 &
  runs[$target]=$!
done
status=0
for target in $targets; do
  echo "== $target, ${seconds}s"
  if ! wait "${runs[$target]}"; then
    status=1
    echo "FAILED: $target"; tail -40 "build/fuzz/$target.log"
  fi
  grep -E "stat::number_of_executed_units|stat::peak_rss_mb|cov:" "build/fuzz/$target.log" | tail -3
done
exit $status
