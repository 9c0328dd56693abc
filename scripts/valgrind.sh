#!/usr/bin/env bash
# Drives the plug-ins through lmfs-host under valgrind and fails on any leak
# or memory error, on a crash (a signal) and on any exit status but the one
# the run is expected to end with (plain build in build/, made by
# scripts/test.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
host=$build/tools/lmfs-host/lmfs-host
plugin=$build/crates/drivers/loomfs-driver/libstorage_driver_loomfs.so
[ -x "$host" ] && [ -f "$plugin" ] || { echo "valgrind.sh: build first (scripts/test.sh)" >&2; exit 1; }

params='{"flags":"f","bin_dir":"/nonexistent","media":{"inner":[{"Block":{"inner":"/dev/sdb"}},"None"]},"root":"/mnt/s"}'
vg=(valgrind --quiet --error-exitcode=99 --leak-check=full --show-leak-kinds=all
    --errors-for-leak-kinds=definite,indirect,possible --track-fds=no)

# run EXPECTED_STATUS COMMAND...: 99 is valgrind's own error status; a
# status above 128 is a signal (valgrind passes the program's death on).
run() {
  local expected=$1
  shift
  echo "--- $* (expecting exit status $expected)"
  local rc=0
  "${vg[@]}" "$@" >/dev/null 2>"$build/valgrind.log" || rc=$?
  if [ "$rc" -eq 99 ]; then cat "$build/valgrind.log"; echo "valgrind: memory errors or leaks"; exit 1; fi
  if [ "$rc" -gt 128 ]; then cat "$build/valgrind.log"; echo "valgrind: killed by signal $((rc - 128))"; exit 1; fi
  if [ "$rc" -ne "$expected" ]; then cat "$build/valgrind.log"; echo "valgrind: exit status $rc, expected $expected"; exit 1; fi
}

run 0 "$host" "$plugin" --params "$params" init done root at_root a/b at_root /etc at_root a/../b stores \
  take_snapshot next_snapshot last_snapshot edge_snapshot full_snapshot snapshot /x true \
  initialize_stores - attach_stores /mnt/s block:/dev/sdb,none attach_stores /mnt/s path:/x%FF \
  detach_stores /other debug debug_alt
run 1 "$host" "$plugin" --params '{"bin_dir":"/b","media":{"inner":[]},"root":5}'
run 0 "$host" "$plugin" --params '[null,"/b",[[]],"/r"]' debug
run 1 "$host" "$plugin" --params ''
# The do-nothing plug-in, every operation.
run 0 "$host" "$build/crates/drivers/null-driver/libstorage_driver_null.so" --params '{}' init done root at_root a \
  stores initialize_stores - attach_stores /m - detach_stores /m take_snapshot next_snapshot last_snapshot \
  edge_snapshot full_snapshot snapshot /x true debug debug_alt
# A whole life cycle on a loop device with the stand-in tools: format, mount,
# snapshots, status, unmount.
export LMFS_VG_HOST=$host LMFS_VG_PLUGIN=$plugin LMFS_VG_BIN=$build/standins/bin LMFS_VG_LOG=$PWD/$build/valgrind.log
"$build/standins/bin/lmfs-env" bash -c '
set -euo pipefail
image=$LMFS_ENV_DIR/store.img; mnt=$LMFS_ENV_DIR/mnt
truncate -s 32M "$image"; mkdir -p "$mnt"
dev=$(losetup -f --show "$image")
params="{\"bin_dir\":\"$LMFS_VG_BIN\",\"media\":{\"inner\":[{\"Block\":{\"inner\":\"$dev\"}}]},\"root\":\"$mnt\"}"
echo "--- life cycle on $dev"
valgrind --quiet --error-exitcode=99 --leak-check=full --show-leak-kinds=all \
  --errors-for-leak-kinds=definite,indirect,possible --log-file="$LMFS_VG_LOG" \
  "$LMFS_VG_HOST" "$LMFS_VG_PLUGIN" --params "$params" initialize_stores "block:$dev" \
  attach_stores "$mnt" "block:$dev" stores take_snapshot take_snapshot next_snapshot last_snapshot \
  detach_stores "$mnt" debug >/dev/null 2>&1
' || { echo "valgrind: errors in the life cycle run:"; cat "$build/valgrind.log"; exit 1; }
echo "valgrind: no leaks, no errors"
