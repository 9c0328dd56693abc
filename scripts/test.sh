#!/usr/bin/env bash
# Builds the project and runs every test suite.
#   scripts/test.sh              plain build (build/)
#   scripts/test.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer build (build-asan/)
#   scripts/test.sh --tsan       ThreadSanitizer build (build-tsan/): the unit suites and the
#                                threaded tests (labels unit and threads)
set -euo pipefail
cd "$(dirname "$0")/.."
# What the build makes must be writable by its owner alone: the plug-in
# refuses to run tools from a folder that others may write.
umask 022
labels=()

mode=plain
case "${1:-}" in
  --sanitize) mode=sanitize ;;
  --tsan) mode=tsan ;;
esac

scripts/setup.sh

if [ "$mode" = sanitize ]; then
  dir=build-asan
  cmake -S . -B "$dir" -DLMFS_SANITIZE=ON -DLMFS_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug >/dev/null
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
elif [ "$mode" = tsan ]; then
  dir=build-tsan
  cmake -S . -B "$dir" -DLMFS_TSAN=ON -DLMFS_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  export TSAN_OPTIONS=halt_on_error=1:exitcode=66:second_deadlock_stack=1
  labels=(-L 'unit|threads')
else
  dir=build
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$dir" -j"$(nproc)"
cd "$dir"
# The whole fault matrix (label faults) is run on its own: ctest -L faults.
ctest --output-on-failure -j2 --timeout 600 -LE faults "${labels[@]}"
