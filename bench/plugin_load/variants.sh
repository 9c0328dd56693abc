#!/usr/bin/env bash
# Builds the plug-in three ways into a scratch folder and times them side by
# side in one run of bench_plugin_load (dlopen to the end of the first
# driver operation, in fresh processes that have no libstdc++.so.6 of their
# own, as a Rust host has none):
#
#   relwithdebinfo   the everyday build (scripts/test.sh): -O2 -g, C++ runtime
#                    shared, debug information inside
#   release-shared   Release (cmake/release.cmake: -O2, hardened), the C++
#                    runtime shared (libstdc++.so.6, libgcc_s.so.1), stripped
#   release-static   Release, the C++ runtime linked in with its symbols
#                    hidden (LMFS_STATIC_CXX_RUNTIME), stripped
#
# Stripped as dh_strip strips a shared library (the debug information would
# go to the -dbgsym package). Prints each file's size and what it needs at
# run time, then the benchmark.
#
#   bench/plugin_load/variants.sh [SCRATCH_DIR [REPETITIONS]]   (default build-variants, 5)
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
scratch=${1:-$top/build-variants}
reps=${2:-5}
mkdir -p "$scratch"
scratch=$(cd "$scratch" && pwd)
jobs=$(( $(nproc) < 2 ? $(nproc) : 2 ))
common=(-DLMFS_TESTS=OFF -DLMFS_MAN=OFF)

build() {  # NAME BUILD_TYPE STATIC_RUNTIME BENCH TARGETS...
  local name=$1 type=$2 static=$3 bench=$4
  shift 4
  echo "== building $name ($type, static C++ runtime $static)" >&2
  cmake -S "$top" -B "$scratch/$name" -DCMAKE_BUILD_TYPE="$type" -DLMFS_STATIC_CXX_RUNTIME="$static" \
    -DLMFS_BENCH="$bench" "${common[@]}" >/dev/null
  cmake --build "$scratch/$name" -j"$jobs" --target "$@" >/dev/null
}

build relwithdebinfo RelWithDebInfo OFF ON storage_driver_loomfs bench_plugin_load
build release-shared Release OFF OFF storage_driver_loomfs
build release-static Release ON OFF storage_driver_loomfs

lib=crates/drivers/loomfs-driver/libstorage_driver_loomfs.so
mkdir -p "$scratch/plugins"
cp "$scratch/relwithdebinfo/$lib" "$scratch/plugins/relwithdebinfo.so"
for v in release-shared release-static; do
  strip --strip-unneeded --remove-section=.comment --remove-section=.note \
    -o "$scratch/plugins/$v.so" "$scratch/$v/$lib"
done

echo
printf "%-16s %12s %14s  %s\n" variant "file bytes" "loaded bytes" "needs at run time"
for v in relwithdebinfo release-shared release-static; do
  f=$scratch/plugins/$v.so
  loaded=$(size -A "$f" | awk '$1 ~ /^\./ && $3 != 0 {s += $2} END {print s}')
  needed=$(readelf -d "$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
  printf "%-16s %12s %14s  %s\n" "$v" "$(stat -c %s "$f")" "$loaded" "$needed"
done
"$top/packaging/tests/check_plugins.sh" "$scratch"/plugins/*.so >/dev/null

echo
"$scratch/relwithdebinfo/bench/plugin_load/bench_plugin_load" \
  --benchmark_filter=LoadToFirstOperation \
  --benchmark_repetitions="$reps" --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=true \
  relwithdebinfo="$scratch/plugins/relwithdebinfo.so" \
  release-shared="$scratch/plugins/release-shared.so" \
  release-static="$scratch/plugins/release-static.so"
