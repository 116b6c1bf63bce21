#!/usr/bin/env bash
# Builds every configuration and runs every test:
#   native debug with ASan/UBSan: unit, platform, private-cupsd integration tests,
#     and the Windows program end to end under Wine;
#   native release (with the benchmarks, built not run);
#   Windows x86_64 and i686, win32 threads: the shipped programs and the zip,
#     checked to load on Windows XP (no post-XP import);
#   Windows x86_64, posix threads: the unit and Win32 platform tests under Wine;
#   the soak under ASan and LeakSanitizer, and a short run of every fuzz target;
#   the Raspberry Pi builds (arm64, armhf): their unit and POSIX tests under
#     qemu-user, their Debian packages, and a receipt through the arm64 one.
#
#   scripts/test.sh --quick   only the unit and platform tests, under ASan
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)
root=$(pwd)

if [ "${1:-}" = "--quick" ]; then
  cmake --preset debug-asan >/dev/null
  cmake --build --preset debug-asan -j"$jobs" --target druvo_unit_tests druvo_posix_tests
  ctest --preset quick
  exit 0
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEPREFIX=${WINEPREFIX:-$HOME/.wine-druvo}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

echo "== [${SECONDS} s] build: native debug (ASan, UBSan)"
cmake --preset debug-asan >/dev/null
cmake --build build/debug-asan -j"$jobs"

echo "== [${SECONDS} s] build: native release"
cmake --preset release >/dev/null
cmake --build build/release -j"$jobs"

echo "== [${SECONDS} s] Debian package: lintian, unit hardening, install, run as user druvo, purge"
bash scripts/test-deb.sh

echo "== [${SECONDS} s] build: Windows i686 (compile and link only)"
cmake --preset mingw-i686 -DDRUVO_TESTS=OFF >/dev/null
cmake --build build/mingw-i686 -j"$jobs"

echo "== [${SECONDS} s] build: Windows x86_64 and the zip"
cmake --preset mingw-x86_64 -DDRUVO_I686_EXE="$root/build/mingw-i686/tray/druvo.exe" >/dev/null
cmake --build build/mingw-x86_64 -j"$jobs"
cmake --build build/mingw-x86_64 --target package_zip
unzip -l build/mingw-x86_64/druvo-*-windows.zip
cmake --build build/mingw-x86_64 --target setup

echo "== [${SECONDS} s] the shipped programs load on Windows XP SP3"
bash scripts/check-xp-imports.sh build/mingw-x86_64/tray/druvo.exe build/mingw-i686/tray/druvo.exe \
  "$(ls build/mingw-x86_64/druvo-setup-*.exe | grep -v -- '-x64\.exe$')"

echo "== [${SECONDS} s] Wine prefix"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  scripts/with-xvfb.sh bash -c 'wineboot -i >/dev/null 2>&1; wineserver -w'
fi

# The fault matrix and the native suites share nothing (each starts its own
# cupsd, printers and folders) and mostly wait: they run side by side, the
# matrix in two halves.
# The Raspberry Pi builds (cross compiles, their tests and a receipt under
# qemu) take CPU while the suites below mostly wait: they run beside them,
# at low priority.
echo "== [${SECONDS} s] Raspberry Pi builds (arm64, armhf), beside the tests below: build/pi.log"
nice -n 19 bash scripts/test-pi.sh >build/pi.log 2>&1 &
pi=$!
# So do the simulator's runs, and the builds of what runs after them: the
# Windows GoogleTest suites and the fuzz targets.
echo "== [${SECONDS} s] druvo-sim and the later suites' builds, beside the tests below: build/beside.log"
(
  set -e
  renice -n 19 -p "$BASHPID" >/dev/null
  echo "== druvo-sim: the engine against a simulated world, its invariants after every step"
  # The modes that promise at least once (deleted once accepted, or once
  # taken by a direct printer); see README for the other two.
  for mode in accepted direct; do
    build/release/tests/sim/druvo-sim --mode "$mode" --seeds 15 --steps 20000 | tail -1
  done
  echo "== druvo-sim: each fault this engine once had, brought back, breaks a world that holds without it"
  build/release/tests/sim/druvo-sim --find-faults --seeds 50 --steps 5000 | tail -7
  echo "== build: Windows x86_64 GoogleTest suites (posix threads)"
  cmake --preset mingw-x86_64-gtest >/dev/null
  cmake --build build/mingw-x86_64-gtest -j"$jobs" >/dev/null
  echo "== build: fuzz targets"
  bash scripts/fuzz.sh --build-only >/dev/null
) >build/beside.log 2>&1 &
beside=$!

echo "== [${SECONDS} s] tests: native (with the Windows program end to end under Wine), beside the fault matrix"
GTEST_TOTAL_SHARDS=2 GTEST_SHARD_INDEX=0 build/debug-asan/tests/faults/druvo_fault_matrix \
  >build/fault_matrix.log 2>&1 &
matrix=$!
GTEST_TOTAL_SHARDS=2 GTEST_SHARD_INDEX=1 build/debug-asan/tests/faults/druvo_fault_matrix \
  >build/fault_matrix.2.log 2>&1 &
matrix2=$!
native=0
DRUVO_WIN_BUILD="$root/build/mingw-x86_64" \
  scripts/with-xvfb.sh ctest --test-dir build/debug-asan --output-on-failure -E fault_matrix ||
  native=$?
matrix_status=0
wait "$matrix" || matrix_status=$?
wait "$matrix2" || matrix_status=$?

pi_status=0
wait "$pi" || pi_status=$?
beside_status=0
wait "$beside" || beside_status=$?

echo "== [${SECONDS} s] fault matrix (its table of scenarios and outcomes, in two halves)"
cat build/fault_matrix.log build/fault_matrix.2.log
echo "== [${SECONDS} s] Raspberry Pi builds"
grep -E '^(-- |FAIL|Raspberry|[0-9]+% tests passed)|tests passed|lintian|^[EW]: ' build/pi.log || true
cat build/beside.log
if [ "$native" -ne 0 ] || [ "$matrix_status" -ne 0 ] || [ "$pi_status" -ne 0 ] ||
  [ "$beside_status" -ne 0 ]; then
  [ "$pi_status" -ne 0 ] && tail -40 build/pi.log
  echo "tests failed: native suites $native, fault matrix $matrix_status, Raspberry Pi $pi_status," \
    "druvo-sim and builds $beside_status" >&2
  exit 1
fi

echo "== [${SECONDS} s] tests: Windows x86_64 under Wine"
scripts/with-xvfb.sh ctest --test-dir build/mingw-x86_64-gtest --output-on-failure

echo "== [${SECONDS} s] soak: 100,000 files, ASan and LeakSanitizer"
build/debug-asan/bench/druvo_soak 100000

echo "== [${SECONDS} s] fuzz: every target for ${FUZZ_SECONDS:-20}s"
bash scripts/fuzz.sh

echo "all tests passed in ${SECONDS} s"
