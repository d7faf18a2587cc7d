#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite three times: a plain
# build, an AddressSanitizer + UndefinedBehaviorSanitizer build, and a ThreadSanitizer
# build of the threaded tests. Each build has its own folder.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

run() {
  local folder=$1 sanitizer=$2 label=$3
  echo "=== ${folder} (sanitizer: ${sanitizer:-none}) ==="
  cmake -S . -B "$folder" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVIDRA_SANITIZER="$sanitizer"
  cmake --build "$folder" -j "$jobs"
  local filter=()
  if [[ -n $label ]]; then
    filter=(-L "$label")
  fi
  ctest --test-dir "$folder" --output-on-failure -j "$jobs" "${filter[@]}"
}

run build "" ""
run build-asan address ""
run build-tsan thread threaded
echo "=== all test builds passed ==="
