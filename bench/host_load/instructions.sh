#!/usr/bin/env bash
# What one call of each operation costs the plug-in in instructions, as
# callgrind counts them (Ir) through `bench_host_load --once OP`, and what the
# plug-in needs and weighs: its NEEDED entries (only the C library and the
# dynamic loader may be there: a Rust host has nothing else the plug-in could
# count on) and its size stripped. The figures are compared with
# instructions.txt beside this script (`OP COUNT` lines and `size BYTES`):
# any of them more than 10% above its record fails, as does any other NEEDED
# entry. --record writes the figures measured now as the new record.
#
#   usage: instructions.sh PLUGIN [--record]
#   BENCH_HOST_LOAD=path: the harness (default: bench/host_load/bench_host_load
#   of the build tree the plug-in lies in, else of build/).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
record_file=$here/instructions.txt
plugin=${1:?usage: instructions.sh PLUGIN [--record]}
record=no
case ${2:-} in
  "") ;;
  --record) record=yes ;;
  *) echo "usage: instructions.sh PLUGIN [--record]" >&2; exit 2 ;;
esac
[[ -f $plugin ]] || { echo "instructions.sh: no plug-in at $plugin" >&2; exit 2; }
plugin=$(cd "$(dirname "$plugin")" && pwd)/$(basename "$plugin")

harness=${BENCH_HOST_LOAD:-}
if [[ -z $harness ]]; then
  for candidate in "$(dirname "$plugin")/../../../bench/host_load/bench_host_load" \
                   "$here/../../build/bench/host_load/bench_host_load"; do
    if [[ -x $candidate ]]; then harness=$candidate; break; fi
  done
fi
[[ -n $harness && -x $harness ]] || { echo "instructions.sh: build bench_host_load or set BENCH_HOST_LOAD" >&2; exit 2; }
command -v valgrind >/dev/null || { echo "instructions.sh: valgrind is not installed" >&2; exit 2; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# The recorded figure of NAME, or nothing.
recorded() { [[ -f $record_file ]] && awk -v n="$1" '$1 == n { print $2; exit }' "$record_file" || true; }

failed=0
# NAME NOW: one line of the table, failing on more than 10% growth.
compare() {
  local name=$1 now=$2 was verdict=""
  was=$(recorded "$name")
  if [[ -z $was ]]; then
    verdict="(no record)"
    was=-
  elif (( was == 0 )); then
    (( now == 0 )) || { verdict="GREW (was 0)"; failed=1; }
  else
    local tenths=$(( (now - was) * 1000 / was ))
    local sign=+; (( tenths < 0 )) && { sign=-; tenths=$(( -tenths )); }
    verdict="$sign$(( tenths / 10 )).$(( tenths % 10 ))%"
    if (( now * 100 > was * 110 )); then verdict="$verdict  GREW more than 10%"; failed=1; fi
  fi
  printf '%-12s %12s %12s  %s\n' "$name" "$now" "$was" "$verdict"
}

printf '%-12s %12s %12s  %s\n' "" "now" "recorded" "change"
declare -A counts
for op in ctor new_valid new_refused at_root; do
  if ! valgrind --tool=callgrind --callgrind-out-file="$tmp/callgrind.$op" --toggle-collect="measured_$op" \
      "$harness" --once "$op" "$plugin" >"$tmp/log.$op" 2>&1; then
    cat "$tmp/log.$op" >&2
    echo "instructions.sh: $op did not run under callgrind" >&2
    exit 1
  fi
  counts[$op]=$(awk '$1 == "summary:" { print $2 }' "$tmp/callgrind.$op")
  [[ -n ${counts[$op]} ]] || { echo "instructions.sh: no count for $op" >&2; exit 1; }
  compare "$op" "${counts[$op]}"
done

strip -o "$tmp/stripped.so" "$plugin"
size=$(stat -c %s "$tmp/stripped.so")
compare size "$size"

needed=$(readelf -d "$plugin" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
offending=$(grep -vxE 'libc\.so\.6|ld-linux-x86-64\.so\.2' <<<"$needed" || true)
echo "NEEDED: $(echo $needed)"
if [[ -n $offending ]]; then
  echo "FAIL: the plug-in needs what a Rust host does not have loaded: $(echo $offending)"
  failed=1
fi

if [[ $record == yes ]]; then
  {
    echo "# Instructions (callgrind Ir) of one call of each operation through"
    echo "# bench_host_load --once, and the plug-in's size stripped: instructions.sh --record"
    for op in ctor new_valid new_refused at_root; do echo "$op ${counts[$op]}"; done
    echo "size $size"
  } >"$record_file"
  echo "recorded in $record_file"
  # Only what the plug-in needs still fails: a record cannot excuse it.
  [[ -z $offending ]] || exit 1
  exit 0
fi
exit $failed
