#!/usr/bin/env bash
# Drives the plug-in through lmfs-host under valgrind and fails on any leak
# or memory error (plain build in build/, made by scripts/test.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
host=$build/tools/lmfs-host/lmfs-host
plugin=$build/crates/drivers/loomfs-driver/libstorage_driver_loomfs.so
[ -x "$host" ] && [ -f "$plugin" ] || { echo "valgrind.sh: build first (scripts/test.sh)" >&2; exit 1; }

params='{"flags":"f","bin_dir":"/nonexistent","media":{"inner":[{"Block":{"inner":"/dev/sdb"}},"None"]},"root":"/mnt/s"}'
vg=(valgrind --quiet --error-exitcode=99 --leak-check=full --show-leak-kinds=all
    --errors-for-leak-kinds=definite,indirect,possible --track-fds=no)

run() {
  echo "--- $*"
  local rc=0
  "${vg[@]}" "$@" >/dev/null 2>"$build/valgrind.log" || rc=$?
  if [ "$rc" -eq 99 ]; then cat "$build/valgrind.log"; exit 1; fi
}

run "$host" "$plugin" --params "$params" init done root at_root a/b at_root /etc at_root a/../b stores \
  take_snapshot next_snapshot last_snapshot edge_snapshot full_snapshot snapshot /x true \
  initialize_stores - attach_stores /mnt/s block:/dev/sdb,none attach_stores /mnt/s path:/x%FF \
  detach_stores /other debug debug_alt
run "$host" "$plugin" --params '{"bin_dir":"/b","media":{"inner":[]},"root":5}'
run "$host" "$plugin" --params '[null,"/b",[[]],"/r"]' debug
run "$host" "$plugin" --params ''
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
