#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan, UBSan) and runs each for a fixed
# time from its seed corpus (default 20 s each; FUZZ_SECONDS=600 for a long run).
# New inputs go to a scratch folder, so the committed seeds stay as they are.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-20}
cmake --preset fuzz >/dev/null
cmake --build build/fuzz -j"$(nproc)" --target fuzz_text_helpers fuzz_command_line fuzz_print_stream fuzz_wildcard
status=0
for target in fuzz_text_helpers fuzz_command_line fuzz_print_stream fuzz_wildcard; do
  work="build/fuzz/corpus/$target"
  mkdir -p "$work"
  echo "== $target, ${seconds}s"
  if ! build/fuzz/tests/fuzz/$target -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="build/fuzz/$target-" "$work" "tests/fuzz/corpus/$target" \
      >"build/fuzz/$target.log" 2>&1; then
    status=1
    echo "FAILED: $target"; tail -40 "build/fuzz/$target.log"
  fi
  grep -E "stat::number_of_executed_units|stat::peak_rss_mb|cov:" "build/fuzz/$target.log" | tail -3
done
exit $status
