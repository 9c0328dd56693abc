#!/usr/bin/env bash
# The packages as a user gets them: installs every package of DIR (default
# build-deb, made by scripts/package.sh) with apt-get, dependencies
# resolved, and checks the installed files alone:
#   - each plug-in in the plug-in folder exports its library header and
#     nothing else; libloomfs.so.0 exports the functions of loomfs.h;
#   - lmfs-host (from PATH) reads each plug-in's header (--version) and
#     loads it with the layout check on for a short run of operations;
#   - the main job, scripts/demo.sh --installed, on the installed plug-in,
#     host and stand-ins, with no failed operation;
#   - a C program built against the library through pkg-config, and a CMake
#     project through find_package(loomfs), run;
# then purges the packages and checks that none of the files they installed
# (as dpkg -L listed them before) is left. Needs root.
#
#   packaging/tests/installed.sh [DIR]
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
here=$top/packaging/tests
dir=$(cd "${1:-$top/build-deb}" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/lmfs-installed.XXXXXX")
trap 'rm -rf "$work"' EXIT

debs=("$dir"/*.deb)
[[ -e ${debs[0]} ]] || { echo "installed.sh: no packages in $dir (scripts/package.sh)" >&2; exit 1; }
names=()
for deb in "${debs[@]}"; do names+=("$(dpkg-deb -f "$deb" Package)"); done
export DEBIAN_FRONTEND=noninteractive

step() { echo "--- $*"; }
fail() { echo "installed.sh: $*" >&2; exit 1; }

step "apt-get install ${debs[*]##*/}"
# (A copy left from an earlier run would hide files this one lacks.)
apt-get purge -y -qq "${names[@]}" >/dev/null 2>&1 || true
start=$(date +%s)
apt-get install -y -qq "${debs[@]}" >"$work/apt-install.log" 2>&1 || { cat "$work/apt-install.log"; fail "apt-get install failed"; }
echo "    installed in $(( $(date +%s) - start )) s"
for name in "${names[@]}"; do dpkg-query -L "$name" >"$work/$name.list"; done

step "installed files"
plugins=$(lmfs-host --version | sed -n 's/^plug-in folder: //p')
echo "    lmfs-host: $(command -v lmfs-host); plug-in folder: $plugins"
[[ $(command -v lmfs-host) == /usr/bin/lmfs-host ]] || fail "lmfs-host on PATH is not the installed one"
loomfs=$plugins/libstorage_driver_loomfs.so
null=$plugins/libstorage_driver_null.so
"$here/check_plugins.sh" "$loomfs" "$null" | sed 's/^/    /'
libdir=${plugins%/lmfs/plugins}
"$here/check_library.sh" "$libdir/libloomfs.so.0" /usr/include/loomfs.h | sed 's/^/    /'
for page in man1/lmfs-host.1.gz man3/loomfs.3.gz man3/loomfs_open.3.gz; do
  [[ -e /usr/share/man/$page ]] || fail "manual page $page missing"
done
# The stand-ins are nowhere under the real tools' names in a system path.
for tool in mkfs.loomfs mount.loomfs umount.loomfs loomfsd loomfs-mtab lmfs-env; do
  for d in /usr/bin /usr/sbin /bin /sbin /usr/local/bin /usr/local/sbin; do
    [[ ! -e $d/$tool ]] || fail "$d/$tool is installed"
  done
done

step "lmfs-host --version PLUGIN, and a short run with the layout check on"
for p in "$loomfs" "$null"; do
  lmfs-host --version "$p" | sed 's/^/    /'
  lmfs-host --version "$p" | grep -q '^  layout:    included$' || fail "$p states no type layout"
done
lmfs-host --help >/dev/null || fail "lmfs-host --help failed"
out=$(lmfs-host "$null" --params '{}' init root stores done 2>"$work/null.err")
echo "$out" | sed 's/^/    /'
[[ $(head -n 1 <<<"$out") == '{"op":"new","result":"Ok"}' ]] || fail "the do-nothing plug-in did not load"
grep -q '"op":"root","result":"None"' <<<"$out" || fail "the do-nothing plug-in's root"
grep -q 'NullStorageDriver::init() called' "$work/null.err" || fail "the do-nothing plug-in wrote no init line"
out=$(lmfs-host "$loomfs" --params '{"bin_dir":"/nonexistent","media":{"inner":[]},"root":"/nonexistent/lmfs"}' \
  root at_root a/b 2>/dev/null)
echo "$out" | sed 's/^/    /'
[[ $(head -n 1 <<<"$out") == '{"op":"new","result":"Ok"}' ]] || fail "the loomfs plug-in did not load"
grep -q '"op":"at_root","result":"Ok","path":"a/b"' <<<"$out" || fail "the loomfs plug-in's at_root"

step "main job on the installed files: scripts/demo.sh --installed"
(cd "$work" && "$top/scripts/demo.sh" --installed) >"$work/demo.log" 2>&1 || { cat "$work/demo.log"; fail "the demo failed"; }
sed 's/^/    /' "$work/demo.log"
if grep -q '"result":"Err"' "$work/demo.log"; then fail "demo: an operation failed"; fi
grep -q '"op":"take_snapshot","result":"Ok"' "$work/demo.log" || fail "demo: no snapshot taken"

step "a C program through pkg-config"
# shellcheck disable=SC2046
cc -Wall -Wextra -Werror -o "$work/consumer-pc" "$here/consumer/consumer.c" $(pkg-config --cflags --libs loomfs)
linked=$(ldd "$work/consumer-pc" | awk '$1 == "libloomfs.so.0" {print $3}')
[[ -n $linked && $(readlink -f "$linked") == $(readlink -f "$libdir/libloomfs.so.0") ]] ||
  fail "not linked to the installed libloomfs.so.0 (ldd: ${linked:-none})"
"$work/consumer-pc" | sed 's/^/    /'

step "a CMake project through find_package(loomfs)"
cmake -S "$here/consumer" -B "$work/consumer-cmake" >"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; fail "configure failed"; }
cmake --build "$work/consumer-cmake" >>"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; fail "build failed"; }
"$work/consumer-cmake/loomfs_consumer" | sed 's/^/    /'

step "apt-get purge ${names[*]}"
start=$(date +%s)
apt-get purge -y -qq "${names[@]}" >"$work/apt-purge.log" 2>&1 || { cat "$work/apt-purge.log"; fail "apt-get purge failed"; }
echo "    purged in $(( $(date +%s) - start )) s"
left=0
while IFS= read -r path; do
  [[ $path != /. ]] || continue
  [[ -e $path || -L $path ]] || continue
  # A folder that other packages share (/usr/lib, /usr/share/doc...) stays.
  if [[ -d $path && ! -L $path ]] && dpkg-query -S "$path" >/dev/null 2>&1; then continue; fi
  echo "    left behind: $path"
  left=1
done < <(sort -u "$work"/*.list)
((left == 0)) || fail "files of the purged packages are left"
echo "    nothing the packages installed is left ($(sort -u "$work"/*.list | wc -l) paths checked)"
