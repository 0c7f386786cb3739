#!/usr/bin/env bash
# fuzz.sh [SECONDS [TARGET...]] | fuzz.sh --build-only: builds the libFuzzer targets of the parsers
# and the return-stream decoder that read outside input (fuzz/) with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs each for SECONDS (default 300), one per processor at a time,
# starting from the corpus in fuzz/corpus/ with the words in fuzz/dict/.
# New inputs go to build-fuzz/corpus/, crashing inputs to
# build-fuzz/artifacts/. Exits non-zero when a target finds a fault.
set -euo pipefail
cd "$(dirname "$0")/.."
build_only=0
[ "${1:-}" = "--build-only" ] && { build_only=1; shift; }
seconds=${1:-300}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(link lookup_answer manifest writer_configuration return_stream)

CC=clang CXX=clang++ cmake -S fuzz -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"$(nproc)"
[ "$build_only" -eq 0 ] || exit 0

mkdir -p build-fuzz/artifacts
# Runs one target; its exit code in build-fuzz/fuzz_TARGET.rc.
run_target() {
  local target=$1 work=build-fuzz/corpus/$1 log=build-fuzz/fuzz_$1.log rc=0 max_len=8192
  mkdir -p "$work"
  # Transport streams: a few pictures and some sound.
  [ "$target" = return_stream ] && max_len=16384
  # Those reading JSON through Qt: its own leak is left out (fuzz/lsan.supp).
  local asan=detect_leaks=1:abort_on_error=1
  case $target in lookup_answer | manifest) asan+=:fast_unwind_on_malloc=0 ;; esac
  # One worker each: the targets run side by side, one per processor.
  ASAN_OPTIONS=$asan LSAN_OPTIONS=suppressions=$PWD/fuzz/lsan.supp \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "build-fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len="$max_len" \
      -print_final_stats=1 -artifact_prefix="build-fuzz/artifacts/$target-" -dict="fuzz/dict/$target.dict" \
      "$work" "fuzz/corpus/$target" >"$log" 2>&1 || rc=$?
  echo "$rc" >"build-fuzz/fuzz_$target.rc"
}
running=0
for target in "${targets[@]}"; do
  if [ "$running" -ge "$(nproc)" ]; then wait -n || true; running=$((running - 1)); fi
  run_target "$target" &
  running=$((running + 1))
done
wait

status=0
for target in "${targets[@]}"; do
  echo "== fuzz_$target: ${seconds} s =="
  log=build-fuzz/fuzz_$target.log
  rc=$(cat "build-fuzz/fuzz_$target.rc" 2>/dev/null || echo 1)
  grep -E '^(#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units|stat::peak_rss_mb)' "$log" || true
  if [ "$rc" -ne 0 ]; then
    tail -n 60 "$log"
    echo "fuzz_$target found a fault (exit $rc); inputs in build-fuzz/artifacts/, log in $log"
    status=1
  fi
done
exit $status
