#!/usr/bin/env bash
# Builds the libFuzzer targets with clang-19 and runs each for a while, from
# its checked-in seed corpus (named in TARGET.corpus beside each binary) into
# a working corpus under build-fuzz/corpus.
#   scripts/fuzz.sh [SECONDS_PER_TARGET]   (default 30)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}

scripts/setup.sh
CC=clang-19 CXX=clang++-19 cmake -S . -B build-fuzz -DLMFS_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"$(nproc)"

status=0
while IFS= read -r target; do
  name=$(basename "$target")
  corpus=build-fuzz/corpus/$name
  seeds=$(cat "$target.corpus")
  [ -d "$seeds" ] || { echo "$name: no seed corpus at $seeds"; status=1; continue; }
  mkdir -p "$corpus"
  echo "== $name: ${seconds}s, seeds from ${seeds#"$PWD/"}"
  if ! "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 "$corpus" "$seeds" \
      2>"build-fuzz/$name.log"; then
    echo "$name FAILED:"; tail -n 40 "build-fuzz/$name.log"; status=1
  else
    grep -E '^stat::number_of_executed_units' "build-fuzz/$name.log" || true
  fi
done < <(find build-fuzz -type f -name '*_fuzz' -perm -u+x | sort)
exit $status
