#!/usr/bin/env bash
# Builds the Debian packages (debian/) into build-deb/ and checks them with
# lintian:
#   lmfs-storage-driver-loomfs  the plug-in, in /usr/lib/<multiarch>/lmfs/plugins/
#   lmfs-storage-driver-null    the do-nothing plug-in, in the same folder
#   lmfs-host                   /usr/bin/lmfs-host, lmfs-host(1)
#   libloomfs0, libloomfs-dev   the control library: libloomfs.so.0; its header,
#                               pkg-config file, CMake package, loomfs(3)
#   lmfs-standins               the stand-ins, in /usr/libexec/lmfs/standins/
# and a -dbgsym package of debug information beside each of them.
#
#   scripts/package.sh           the suites are not built (nocheck)
#   scripts/package.sh --check   the unit suites are built and run as well
#
# Installs what it needs with apt-get (Debian packages only). The source is
# copied (the files git knows, or the whole tree outside a checkout) to
# build-deb/src/, built there with `dpkg-buildpackage -us -uc -b`, and the
# packages are moved up to build-deb/: install them with
#   apt-get install -y ./build-deb/*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

check=0
case ${1:-} in
  "") ;;
  --check) check=1 ;;
  *) echo "usage: scripts/package.sh [--check]" >&2; exit 2 ;;
esac

packages=(
  build-essential dpkg-dev debhelper fakeroot lintian
  cmake pkg-config libfuse3-dev scdoc
)
((check)) && packages+=(libgtest-dev libgmock-dev)
scripts/apt-install.sh "${packages[@]}"

# The package's version is the project's.
project=$(sed -n 's/^project(lmfs VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
package=$(dpkg-parsechangelog -S Version)
if [[ ${package%%-*} != "$project" ]]; then
  echo "package.sh: debian/changelog says $package, CMakeLists.txt $project" >&2
  exit 1
fi

out=$top/build-deb
src=$out/src/lmfs-$project
rm -rf "$out"
mkdir -p "$src"
if git -C "$top" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git -C "$top" ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do [[ -e $f || -L $f ]] && printf '%s\0' "$f"; done |
    tar -C "$top" --null -T - -cf - | tar -C "$src" -xf -
else
  tar -C "$top" --exclude='./build*' --exclude=./out -cf - . | tar -C "$src" -xf -
fi

jobs=$(( $(nproc) < 2 ? $(nproc) : 2 ))
options="parallel=$jobs"
((check)) || options="nocheck $options"
export DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:-$options}"
((check)) || export DEB_BUILD_PROFILES="${DEB_BUILD_PROFILES:-nocheck}"
echo "== dpkg-buildpackage -us -uc -b (DEB_BUILD_OPTIONS=$DEB_BUILD_OPTIONS)"
start=$(date +%s)
(cd "$src" && dpkg-buildpackage -us -uc -b) >"$out/build.log" 2>&1 || {
  tail -n 60 "$out/build.log"; echo "package.sh: dpkg-buildpackage failed (log: $out/build.log)" >&2; exit 1
}
echo "   built in $(( $(date +%s) - start )) s (log: build-deb/build.log)"
mv "$out"/src/*.deb "$out"/src/*.changes "$out"/src/*.buildinfo "$out"/

echo "== packages"
for deb in "$out"/*.deb; do
  printf '  %-50s %8s bytes\n' "${deb##*/}" "$(stat -c %s "$deb")"
done

echo "== lintian"
changes=("$out"/*.changes)
lintian --fail-on error --display-info --tag-display-limit 0 "${changes[@]}" >"$out/lintian.log" 2>&1 || {
  cat "$out/lintian.log"; echo "package.sh: lintian found errors" >&2; exit 1
}
# (It runs as root here, which it remarks on.)
grep -v 'running with root privileges' "$out/lintian.log" >"$out/lintian.tags" || true
if [[ -s $out/lintian.tags ]]; then sed 's/^/  /' "$out/lintian.tags"; else echo "  no errors, no warnings, no information tags"; fi
