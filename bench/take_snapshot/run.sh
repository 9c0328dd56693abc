#!/usr/bin/env bash
# take_snapshot end to end on the stand-in loomfs: one lmfs-host process
# takes N snapshots of a store on a fresh loop device, inside lmfs-env. Prints
# the time per snapshot (several rounds, against a round that only attaches
# and detaches), then the system calls of exactly one take_snapshot, traced
# between the result lines the host prints before and after it, beside the
# calls the design cannot do without.
#
# strace shows every control request raw (-e raw=ioctl), by the numbers
# loomfs.h gives them: 0x80086e8a sync, 0x40106e80 change mode, 0x80186e83
# status.
#
#   bench/take_snapshot/run.sh [BUILD_DIR [N [ROUNDS]]]
#
# BUILD_DIR (default: build) must hold storage_driver_loomfs, lmfs-host and
# lmfs_standins. Needs root; strace for the second part. Leaves nothing behind.
#
# The stand-in's daemon holds every change-mode request for 2 ms (so that its
# lock check sees overlapping requests) and writes its image to the device on
# every sync and every change: most of the time per snapshot is the stand-in's.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
export BENCH_N=${2:-500} BENCH_ROUNDS=${3:-5}
export BENCH_HOST=$build/tools/lmfs-host/lmfs-host
export BENCH_PLUGIN=$build/crates/drivers/loomfs-driver/libstorage_driver_loomfs.so
export BENCH_BIN=$build/standins/bin
for f in "$BENCH_HOST" "$BENCH_PLUGIN" "$BENCH_BIN/lmfs-env"; do
  [[ -e $f ]] || { echo "run.sh: $f is missing; build storage_driver_loomfs lmfs-host lmfs_standins" >&2; exit 2; }
done

exec "$BENCH_BIN/lmfs-env" bash -c '
set -euo pipefail
dir=$LMFS_ENV_DIR
mnt=$dir/mnt
mkdir -p "$mnt"
truncate -s 64M "$dir/store.img"
dev=$(losetup -f --show "$dir/store.img")
params="{\"bin_dir\":\"$BENCH_BIN\",\"media\":{\"inner\":[{\"Block\":{\"inner\":\"$dev\"}}]},\"root\":\"$mnt\"}"
host() { "$BENCH_HOST" "$BENCH_PLUGIN" --params "$params" "$@"; }
host initialize_stores "block:$dev" >/dev/null 2>&1

{ echo "attach_stores $mnt block:$dev"; echo "detach_stores $mnt"; } >"$dir/empty"
{ echo "attach_stores $mnt block:$dev"
  for ((i = 0; i < BENCH_N; i++)); do echo take_snapshot; done
  echo "detach_stores $mnt"; } >"$dir/takes"

now() { date +%s%N; }
echo "# $BENCH_N snapshots per round in one lmfs-host process on $dev ($(nproc) CPUs)"
per=()
for ((r = 1; r <= BENCH_ROUNDS; r++)); do
  t0=$(now); host --script "$dir/empty" >/dev/null 2>&1
  t1=$(now); host --script "$dir/takes" >"$dir/out" 2>/dev/null
  t2=$(now)
  ok=$(grep -c "\"op\":\"take_snapshot\",\"result\":\"Ok\"" "$dir/out" || true)
  [[ $ok == "$BENCH_N" ]] || { echo "round $r: only $ok of $BENCH_N snapshots succeeded" >&2; exit 1; }
  us=$(( ((t2 - t1) - (t1 - t0)) / 1000 / BENCH_N ))
  per+=("$us")
  awk -v r="$r" -v us="$us" -v all=$((t2 - t1)) -v base=$((t1 - t0)) \
    "BEGIN { printf \"round %d: %d us per snapshot (round %.3f s, attach+detach alone %.3f s)\\n\", r, us, all / 1e9, base / 1e9 }"
done
median=$(printf "%s\n" "${per[@]}" | sort -n | sed -n "$(( (BENCH_ROUNDS + 1) / 2 ))p")
echo "median: $median us per take_snapshot"

command -v strace >/dev/null || { echo "# strace not installed: no system-call count"; exit 0; }
echo
echo "# where the time goes: the two requests, as strace -T times them (stand-in side included)"
strace -o "$dir/ioctls" -T -e trace=ioctl -e raw=ioctl "$BENCH_HOST" "$BENCH_PLUGIN" --params "$params" \
  --script "$dir/takes" >/dev/null 2>&1
awk '"'"'/^ioctl\([0-9a-fx]+, 0x80086e8a,/ { s += substr($NF, 2) + 0; ns++ }
     /^ioctl\([0-9a-fx]+, 0x40106e80,/ { c += substr($NF, 2) + 0; nc++ }
     END { if (ns && nc) printf "  sync %.0f us, change mode %.0f us (mean of %d each)\n", s / ns * 1e6, c / nc * 1e6, ns }'"'"' \
  "$dir/ioctls"

echo
echo "# system calls of one take_snapshot (uncontended), in order"
strace -o "$dir/trace" -s 60 -e raw=ioctl "$BENCH_HOST" "$BENCH_PLUGIN" --params "$params" \
  attach_stores "$mnt" "block:$dev" take_snapshot detach_stores "$mnt" >/dev/null 2>&1
# The calls between the attach result line and the take_snapshot result line.
awk '"'"'/^write\(1, "\{\\"op\\":\\"attach_stores/ { on = 1; next }
     /^write\(1, "\{\\"op\\":\\"take_snapshot/ { on = 0 }
     on'"'"' "$dir/trace" >"$dir/one"
# (each request named as loomfs.h names it)
sed -E -e "s/^/  /" -e "/^  ioctl\(/{s/, 0x80086e8a, .*/&   # LOOMFS_IOC_SYNC/
  s/, 0x40106e80, .*/&   # LOOMFS_IOC_CHANGE_MODE/; s/, 0x80186e83, .*/&   # LOOMFS_IOC_GET_STATUS/}" "$dir/one"
echo
echo "# per call"
sed -E "s/\(.*//" "$dir/one" | sort | uniq -c | sort -rn | sed "s/^/  /"
total=$(wc -l <"$dir/one")
echo "  total: $total"
cat <<MIN

# what the design cannot do without (13, no futex while uncontended):
#   mount table: openat /proc/mounts, read, close      3
#   mount directory: openat                           1
#   device number for the semaphore name: stat        1
#   sem_open: openat /dev/shm/sem.*, mmap, close      3
#   ioctl sync, write of the report line, ioctl change 3
#   sem_close: munmap; close of the directory         2
MIN
'
