#!/usr/bin/env bash
# check_library.sh LIBRARY HEADER: the shared control library is called
# libloomfs.so.0 (its SONAME) and exports exactly the functions HEADER
# declares, each under its version node (LOOMFS_0, or LOOMFS_0.2 for those
# added in 0.2.0).
set -euo pipefail
lib=${1:?usage: check_library.sh LIBRARY HEADER}
header=${2:?usage: check_library.sh LIBRARY HEADER}
status=0
soname=$(readelf -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[[ $soname == libloomfs.so.0 ]] || { echo "$lib: SONAME is '$soname', not libloomfs.so.0"; status=1; }
declared=$(grep -oE '\bloomfs_[a-z_]+\(' "$header" | tr -d '(' | sort -u)
exported=$(nm -D --defined-only --with-symbol-versions "$lib" | awk '$2 == "T" {print $3}' | sort -u)
unversioned=$(grep -vE '@@LOOMFS_0(\.2)?$' <<<"$exported" || true)
[[ -z $unversioned ]] || { echo "$lib: exported outside LOOMFS_0 and LOOMFS_0.2:"; sed 's/^/  /' <<<"$unversioned"; status=1; }
if [[ $(sed 's/@.*//' <<<"$exported") != "$declared" ]]; then
  echo "$lib: exports differ from the functions of $header:"
  diff <(echo "$declared") <(sed 's/@.*//' <<<"$exported") | sed 's/^/  /' || true
  status=1
fi
others=$(nm -D --defined-only "$lib" | awk '$2 != "T" && $2 != "A" {print $3}')
[[ -z $others ]] || { echo "$lib: exports data or other symbols:"; sed 's/^/  /' <<<"$others"; status=1; }
((status)) || echo "$lib: $soname, exports the $(wc -l <<<"$declared") functions of ${header##*/} (LOOMFS_0, LOOMFS_0.2)"
exit $status
