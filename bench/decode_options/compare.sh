#!/usr/bin/env bash
# Runs this benchmark against the decoder of an earlier commit and against the
# work tree's, one after the other in the same session, so that the figures
# compare. The earlier tree is exported to a scratch directory (no worktree is
# made) and this benchmark's folder is copied into it.
#   bench/decode_options/compare.sh REV [benchmark flags...]
set -euo pipefail
cd "$(dirname "$0")/../.."
rev=${1:?usage: compare.sh REV [benchmark flags...]}
shift
scratch=$(mktemp -d /tmp/decode-options-bench-XXXXXX)
trap 'rm -rf "$scratch"' EXIT

git archive "$rev" | tar -x -C "$scratch"
rm -rf "$scratch/bench/decode_options"
cp -r bench/decode_options "$scratch/bench/"
grep -q decode_options "$scratch/bench/CMakeLists.txt" || echo 'add_subdirectory(decode_options)' >>"$scratch/bench/CMakeLists.txt"

for tree in "$scratch" "$PWD"; do
  cmake -S "$tree" -B "$tree/build-bench-decode" -DLMFS_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$tree/build-bench-decode" --target bench_decode_options -j2 >/dev/null
done
for tree in "$scratch" "$PWD"; do
  echo "== $( [ "$tree" = "$PWD" ] && echo "work tree" || echo "$rev" )"
  "$tree/build-bench-decode/bench/decode_options/bench_decode_options" "$@"
done
