#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS (default 60).
# Usage: fuzz/run-fuzzers.sh [SECONDS]
# Each fuzzer starts from fuzz/corpus/<name without _fuzz>/, copied to a temp
# dir so the repository's corpus stays small; findings go to build-fuzz/artifacts/.
set -euo pipefail

FUZZERS=(settings_fuzz cache_fuzz variant_fuzz config_fuzz)

secs=${1:-60}
case $secs in '' | *[!0-9]*) echo "usage: $0 [SECONDS]" >&2; exit 2 ;; esac

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$ROOT/build-fuzz
JOBS=$(nproc 2>/dev/null || echo 2)

for tool in clang clang++; do
  command -v "$tool" >/dev/null || { echo "run-fuzzers: $tool is required" >&2; exit 1; }
done

CC=clang CXX=clang++ cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DQRN_FUZZ=ON -DQRN_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j "$JOBS" --target "${FUZZERS[@]}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$BUILD/artifacts" "$BUILD/logs"
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=()
for fuzzer in "${FUZZERS[@]}"; do
  name=${fuzzer%_fuzz}
  corpus=$work/$name
  mkdir -p "$corpus"
  if [ -d "$ROOT/fuzz/corpus/$name" ]; then cp -R "$ROOT/fuzz/corpus/$name/." "$corpus/"; fi
  args=(-max_total_time="$secs" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1
    -artifact_prefix="$BUILD/artifacts/$fuzzer-")
  if [ -f "$ROOT/fuzz/$name.dict" ]; then args+=(-dict="$ROOT/fuzz/$name.dict"); fi
  log=$BUILD/logs/$fuzzer.log
  echo "== $fuzzer: ${secs}s, log $log"
  if "$BUILD/fuzz/$fuzzer" "${args[@]}" "$corpus" >"$log" 2>&1; then
    grep -aE '^(Done|stat::(number_of_executed_units|average_exec_per_sec|new_units_added))' \
      "$log" || true
  else
    echo "== $fuzzer FAILED; end of its log:" >&2
    tail -n 60 "$log" >&2
    failed+=("$fuzzer")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "run-fuzzers: failed: ${failed[*]}" >&2
  exit 1
fi
echo "run-fuzzers: all ${#FUZZERS[@]} fuzzer(s) ran clean"
