#!/usr/bin/env bash
# check_host_cli.sh HOST VERSION PLUGIN NULL_PLUGIN [BAD_MAGIC_PLUGIN]:
# lmfs-host's operator commands --help and --version, against the built
# plug-ins (and a library whose header has the wrong magic text).
set -uo pipefail
host=$1 version=$2 plugin=$3 null=$4 bad=${5:-}
failures=0 checks=0
out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT

# expect STATUS DESCRIPTION -- ARGS...: runs the host, checks its exit status.
expect() {
  local want=$1 what=$2 rc=0
  shift 3
  "$host" "$@" >"$out" 2>"$err" || rc=$?
  checks=$((checks + 1))
  if ((rc != want)); then
    echo "FAILED: $what: exit status $rc, not $want"; sed 's/^/  /' "$err"; failures=$((failures + 1)); return 1
  fi
}
has() {  # has FILE TEXT DESCRIPTION
  checks=$((checks + 1))
  if ! grep -qF -- "$2" "$1"; then
    echo "FAILED: $3: no \"$2\" in:"; sed 's/^/  /' "$1"; failures=$((failures + 1))
  fi
}

expect 0 "--help" -- --help && {
  has "$out" "usage: lmfs-host PLUGIN (--params JSON | --params-file FILE)" "--help prints the usage"
  has "$out" "--threads N" "--help names every option"
  has "$out" "Exit status:" "--help names the exit statuses"
  [[ -s $err ]] && { echo "FAILED: --help writes on stderr"; failures=$((failures + 1)); }
}
expect 0 "-h" -- -h && has "$out" "usage:" "-h prints the usage"
expect 2 "--help with an argument" -- --help "$plugin" && has "$err" "--help takes no arguments" "--help refuses arguments"

expect 0 "--version" -- --version && {
  has "$out" "lmfs-host $version (plug-in ABI 0.11" "--version names this release and the ABI"
  has "$out" "plug-in folder: /" "--version names the plug-in folder"
}
for p in "$plugin" "$null"; do
  expect 0 "--version ${p##*/}" -- --version "$p" && {
    has "$out" "$p:" "--version PLUGIN names the file"
    has "$out" "  version:   0.0.0-next" "--version PLUGIN prints the header's version"
    has "$out" "  base name: storage_driver" "--version PLUGIN prints the header's base name"
    has "$out" "  name:      storage_driver" "--version PLUGIN prints the header's name"
    has "$out" "  layout:    included" "--version PLUGIN says whether the layout is included"
  }
done
expect 3 "--version of no plug-in" -- --version /nonexistent/libnone.so && has "$err" "cannot load" "the load failure is named"
expect 3 "--version of a file that is no library" -- --version "$0"
[[ -n $bad ]] && expect 3 "--version of a header with the wrong magic" -- --version "$bad" &&
  has "$err" "wrong magic text" "the damaged header is named"
expect 2 "--version with two plug-ins" -- --version "$plugin" "$null"

# What was there before stays: no parameters is a usage error.
expect 2 "a plug-in without parameters" -- "$plugin" && has "$err" "no parameters given" "the old usage error stays"

echo "check_host_cli: $failures of $checks checks failed"
((failures == 0))
