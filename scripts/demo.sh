#!/usr/bin/env bash
# The main job: builds the plug-in, lmfs-host and the loomfs stand-ins, then
# drives the plug-in through a whole store life cycle on a fresh loop device,
# inside the stand-ins' namespace environment, and prints the transcript.
# Everything it makes (image, loop device, mounts, daemons) is gone afterwards.
#
#   scripts/demo.sh               build in build/ and use what it built
#   scripts/demo.sh --installed   build nothing: lmfs-host from PATH, the plug-in
#                                 from the plug-in folder lmfs-host names
#                                 (--version), the stand-ins from the
#                                 lmfs-standins package's folder (or from
#                                 LMFS_STANDIN_DIR)
set -euo pipefail
cd "$(dirname "$0")/.."
# What the build makes must be writable by its owner alone: the plug-in
# refuses to run tools from a folder that others may write.
umask 022

case ${1:-} in
  "")
    scripts/setup.sh >/dev/null
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build build -j"$(nproc)" --target storage_driver_loomfs lmfs-host lmfs_standins >/dev/null

    export LMFS_DEMO_HOST=$PWD/build/tools/lmfs-host/lmfs-host
    export LMFS_DEMO_PLUGIN=$PWD/build/crates/drivers/loomfs-driver/libstorage_driver_loomfs.so
    export LMFS_DEMO_BIN=$PWD/build/standins/bin
    ;;
  --installed)
    die() { echo "demo.sh: $*" >&2; exit 1; }
    LMFS_DEMO_HOST=$(command -v lmfs-host) || die "no lmfs-host on PATH (apt-get install lmfs-host)"
    plugins=$("$LMFS_DEMO_HOST" --version | sed -n 's/^plug-in folder: //p')
    LMFS_DEMO_PLUGIN=$plugins/libstorage_driver_loomfs.so
    [[ -f $LMFS_DEMO_PLUGIN ]] || die "no $LMFS_DEMO_PLUGIN (apt-get install lmfs-storage-driver-loomfs)"
    LMFS_DEMO_BIN=${LMFS_STANDIN_DIR:-}
    if [[ -z $LMFS_DEMO_BIN ]]; then
      env=$(dpkg-query -L lmfs-standins 2>/dev/null | grep '/lmfs-env$' | head -n 1 || true)
      LMFS_DEMO_BIN=${env%/lmfs-env}
    fi
    [[ -n $LMFS_DEMO_BIN && -x $LMFS_DEMO_BIN/lmfs-env ]] ||
      die "no stand-ins (apt-get install lmfs-standins, or set LMFS_STANDIN_DIR)"
    modprobe loop 2>/dev/null || true
    modprobe fuse 2>/dev/null || true
    echo "# installed files: $LMFS_DEMO_HOST, $LMFS_DEMO_PLUGIN, $LMFS_DEMO_BIN/"
    export LMFS_DEMO_HOST LMFS_DEMO_PLUGIN LMFS_DEMO_BIN
    ;;
  *)
    echo "usage: scripts/demo.sh [--installed]" >&2
    exit 2
    ;;
esac

exec "$LMFS_DEMO_BIN/lmfs-env" bash -c '
set -euo pipefail
image=$LMFS_ENV_DIR/store.img
mnt=$LMFS_ENV_DIR/mnt
truncate -s 64M "$image"
mkdir -p "$mnt"
dev=$(losetup -f --show "$image")
echo "# store device: $dev (64 MiB image), mount directory: $mnt"
params="{\"bin_dir\":\"$LMFS_DEMO_BIN\",\"media\":{\"inner\":[{\"Block\":{\"inner\":\"$dev\"}}]},\"root\":\"$mnt\"}"
echo "# parameters: $params"
cat > "$LMFS_ENV_DIR/session" <<SCRIPT
# a fresh store: format, mount, three snapshots, status, unmount
initialize_stores block:$dev
attach_stores $mnt block:$dev
stores
root
at_root data/file
take_snapshot
take_snapshot
take_snapshot
next_snapshot
last_snapshot
detach_stores $mnt
# mounted again: the checkpoints are still there
attach_stores $mnt block:$dev
next_snapshot
debug
detach_stores $mnt
SCRIPT
"$LMFS_DEMO_HOST" "$LMFS_DEMO_PLUGIN" --params "$params" --echo --script "$LMFS_ENV_DIR/session" 2>&1
'
