#!/usr/bin/env bash
# Static checks of the project's own sources (the test suites aside, which
# the compiler's warnings hold): clang-tidy-19 with the checks .clang-tidy
# names on everything, then cppcheck's warning and portability checks on the
# C sources (Debian 12's cppcheck misreads C++23). Any finding fails.
#   scripts/lint.sh
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
scripts/apt-install.sh clang-tidy-19 cppcheck

dir=build-lint
cmake -S . -B "$dir" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
mkdir -p "$dir/checked"
python3 - "$dir/compile_commands.json" "$dir/checked/compile_commands.json" "$dir/checked/c.json" <<'PY'
import json, sys
entries = json.load(open(sys.argv[1]))
# The test suites aside, and the C host-load harness, a single-threaded
# measuring program that uses the C library as its own tests do.
kept = [e for e in entries if "/tests/" not in e["file"] and "/bench/host_load/" not in e["file"]]
json.dump(kept, open(sys.argv[2], "w"), indent=1)
json.dump([e for e in kept if e["file"].endswith(".c")], open(sys.argv[3], "w"), indent=1)
print(f"lint: {len(kept)} of {len(entries)} translation units (the test suites and the host-load harness aside)")
PY

echo "== clang-tidy"
run-clang-tidy-19 -p "$dir/checked" -quiet -j"$(nproc)" >"$dir/clang-tidy.log" 2>&1 || {
  grep -E "(warning|error):" "$dir/clang-tidy.log" | sort -u
  echo "lint: clang-tidy found the above (whole output in $dir/clang-tidy.log)"
  exit 1
}

echo "== cppcheck"
cppcheck --project="$dir/checked/c.json" --enable=warning,portability --inline-suppr \
  --suppress='*:/usr/*' --error-exitcode=1 -q -j"$(nproc)"
echo "lint: clean"
