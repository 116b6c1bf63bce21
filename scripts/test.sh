#!/usr/bin/env bash
# Builds every configuration and runs every test:
#   native debug with ASan/UBSan (unit, platform and private-cupsd integration tests),
#   native release (build), Windows x86_64 (unit tests under Wine),
#   Windows i686 (compile and link only).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

echo "== native debug (ASan, UBSan)"
cmake --preset debug-asan >/dev/null
cmake --build build/debug-asan -j"$jobs"
ctest --test-dir build/debug-asan --output-on-failure

echo "== native release"
cmake --preset release >/dev/null
cmake --build build/release -j"$jobs"

echo "== Windows x86_64 under Wine"
cmake --preset mingw-x86_64 >/dev/null
cmake --build build/mingw-x86_64 -j"$jobs"
scripts/with-xvfb.sh ctest --test-dir build/mingw-x86_64 --output-on-failure

echo "== Windows i686 (compile and link only)"
cmake --preset mingw-i686 -DDRUVO_TESTS=OFF >/dev/null
cmake --build build/mingw-i686 -j"$jobs"

echo "all tests passed"
