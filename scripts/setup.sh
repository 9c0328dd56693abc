#!/usr/bin/env bash
# Installs what the project needs to build, test and run its demo (Debian
# packages only). Idempotent: packages already present are not fetched again.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libfuse3-dev fuse3
  sudo util-linux mount kmod
  valgrind strace
  clang-19 libclang-rt-19-dev
  python3
)

"$(dirname "$0")/apt-install.sh" "${packages[@]}"

# Loop block devices and FUSE for the file-system stand-in.
modprobe loop 2>/dev/null || true
modprobe fuse 2>/dev/null || true
[ -e /dev/loop-control ] || { echo "setup: no loop device support (/dev/loop-control missing)" >&2; exit 1; }
[ -e /dev/fuse ] || { echo "setup: no FUSE support (/dev/fuse missing)" >&2; exit 1; }
