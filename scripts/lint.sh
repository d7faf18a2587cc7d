#!/usr/bin/env bash
# The style checks: every C++ file as clang-format would write it, and clang-tidy's checks
# (.clang-tidy) on the libraries and programs, any finding failing the run. Takes the compile
# commands of a build folder (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."
folder=${1:-build}

echo "=== clang-format ==="
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

echo "=== clang-tidy ==="
# Tests, benchmarks and fuzzers are left out: their framework macros make static objects
# that the checks would flag in every test.
run-clang-tidy -p "$folder" -j "$(nproc)" -quiet \
  "$PWD/(common|rundown|state|media|playout|mos|transport|pair|host)/" >"$folder/clang-tidy.log" 2>&1 ||
  {
    grep -E "(warning|error):" "$folder/clang-tidy.log" | sort -u
    echo "clang-tidy found the above (whole output: $folder/clang-tidy.log)"
    exit 1
  }
echo "clang-tidy: no findings"
