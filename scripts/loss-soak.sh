#!/usr/bin/env bash
# loss-soak.sh [RUNS [BUSY_LOOPS [LOSS]]]: runs the relay's loss test RUNS
# times (default 50), each with another loss pattern, while BUSY_LOOPS
# (default 3) processes keep the processors busy, and prints how many runs
# passed (every byte arrived, or all but messages live SRT skipped and the
# studio counted) and how many of those had such skips. Not part of the test
# suite: it takes minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-50}; loops=${2:-3}; loss=${3:-2 %}
test=build/tests/transport/test_resender
[ -x "$test" ] || bash scripts/build.sh build
busy=()
for _ in $(seq "$loops"); do (while :; do :; done) & busy+=($!); done
log=$(mktemp)
trap 'kill "${busy[@]}" 2>/dev/null || true; rm -f "$log"' EXIT
passed=0; skipping=0
for run in $(seq "$runs"); do
  if ORVANTA_LOSS_SEED=$((run * 7919)) "$test" "everyByteArrivesThroughStop:$loss" >"$log" 2>&1; then
    passed=$((passed + 1))
    if grep -q "skipped by the live receiver" "$log"; then skipping=$((skipping + 1)); fi
  else
    echo "run $run (seed $((run * 7919))) failed:"; grep -E "FAIL|recorded" "$log" | head -3
  fi
done
echo "loss soak: $passed of $runs runs passed ($loss loss, $loops busy loops);" \
  "$skipping of them with messages the live receiver skipped (counted by the studio)"
[ "$passed" -eq "$runs" ]
