#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite three times: a plain
# build (followed by the format and lint checks), an AddressSanitizer +
# UndefinedBehaviorSanitizer build, and a ThreadSanitizer build of the threaded tests. Each
# build has its own folder.
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
  # The sanitizer builds leave the benchmarks out and optimise less, with line tables only:
  # their reports still name file and line, and the two builds take minutes less.
  local extra=()
  if [[ -n $sanitizer ]]; then
    extra=(-DVIDRA_BUILD_BENCH=OFF "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG")
  fi
  cmake -S . -B "$folder" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVIDRA_SANITIZER="$sanitizer" \
    "${extra[@]}"
  cmake --build "$folder" -j "$jobs"
  local filter=()
  if [[ -n $label ]]; then
    filter=(-L "$label")
  elif [[ -n $sanitizer ]]; then
    filter=(-LE realtime)  # frames counted against the clock: the plain build runs them
  fi
  ctest --test-dir "$folder" --output-on-failure -j "$jobs" "${filter[@]}"
}

# Each fuzzer runs for this long; a crash fails the run and leaves its input in build-fuzz/.
fuzz_seconds=${VIDRA_FUZZ_SECONDS:-30}

fuzz() {
  echo "=== build-fuzz (libFuzzer, ${fuzz_seconds} s each) ==="
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVIDRA_FUZZ=ON
  cmake --build build-fuzz -j "$jobs" --target fuzz_receive fuzz_times fuzz_settings fuzz_control fuzz_link
  local name
  for name in receive times settings control link; do
    mkdir -p "build-fuzz/corpus/$name"
    build-fuzz/fuzz/fuzz_$name -max_total_time="$fuzz_seconds" -print_final_stats=0 \
      -dict=fuzz/mos.dict -artifact_prefix="build-fuzz/" "build-fuzz/corpus/$name" \
      "fuzz/corpus/$name"
  done
}

run build "" ""
bash scripts/lint.sh build
run build-asan address ""
run build-tsan thread threaded
fuzz
echo "=== all test builds passed ==="
