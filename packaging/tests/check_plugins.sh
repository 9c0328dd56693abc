#!/usr/bin/env bash
# check_plugins.sh PLUGIN...: each storage-driver plug-in exports exactly one
# dynamic symbol, its library header, and every symbol it uses is found in
# the libraries it names (as -z defs made sure at link time). Prints what each
# one needs at run time.
set -euo pipefail
header=_1as_0lib_1header_0root_bmodule_bloader
(($#)) || { echo "usage: check_plugins.sh PLUGIN..." >&2; exit 2; }
status=0
for plugin in "$@"; do
  if [[ ! -f $plugin ]]; then
    echo "$plugin: missing"; status=1; continue
  fi
  exported=$(nm -D --defined-only "$plugin" | awk '{print $NF}')
  if [[ $exported != "$header" ]]; then
    echo "$plugin: exports $(wc -w <<<"$exported") symbols, not just $header:"
    head -n 20 <<<"$exported" | sed 's/^/  /'
    status=1
  fi
  # (ldd -r resolves every symbol as the dynamic loader would.)
  if undefined=$(ldd -r "$plugin" 2>&1 | grep 'undefined symbol'); then
    echo "$plugin: symbols found nowhere:"; sed 's/^/  /' <<<"$undefined"; status=1
  fi
  needed=$(readelf -d "$plugin" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
  echo "$plugin: exports $header alone; needs ${needed% }"
done
exit $status
