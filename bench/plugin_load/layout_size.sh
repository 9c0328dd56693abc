#!/usr/bin/env bash
# What the type-layout data adds to a plug-in: the records generated for every
# described type (and the few functions a host calls to reach them), summed
# from the library's symbol table by kind.
#   usage: layout_size.sh LIBRARY
set -euo pipefail
lib=${1:?usage: layout_size.sh LIBRARY}
data=0 code=0 records=0 functions=0
while read -r _ size kind name; do
  bytes=$((16#$size))
  case $kind in
    [tTwW]) code=$((code + bytes)); functions=$((functions + 1)) ;;
    *) data=$((data + bytes)); records=$((records + 1)) ;;
  esac
done < <(nm -C -S "$lib" | grep -E ' lmfs::abi::tl::| lmfs::abi::tl::[A-Za-z_:<>]+\(' || true)
file=$(stat -c %s "$lib")
alloc=$(size -A "$lib" | awk '$1 ~ /^\./ && $3 != 0 {s += $2} END {print s}')
echo "library: $lib"
echo "  file size:                 $file bytes (loaded sections: $alloc bytes)"
echo "  layout records:            $data bytes in $records objects"
echo "  layout and type-id code:   $code bytes in $functions functions"
echo "  share of loaded sections:  $(( (data + code) * 1000 / alloc )) per mille"
