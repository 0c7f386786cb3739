#!/usr/bin/env bash
# loss-soak.sh [RUNS [BUSY_LOOPS [LOSS]]]: runs the relay's loss test RUNS
# times (default 50), each with another loss pattern, while BUSY_LOOPS
# (default 3) processes keep the processors busy, and prints how many runs
# delivered every byte. Not part of the test suite: it takes minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-50}; loops=${2:-3}; loss=${3:-2 %}
test=build/tests/transport/test_resender
[ -x "$test" ] || bash scripts/build.sh build
busy=()
for _ in $(seq "$loops"); do (while :; do :; done) & busy+=($!); done
trap 'kill "${busy[@]}" 2>/dev/null || true' EXIT
passed=0
for run in $(seq "$runs"); do
  if ORVANTA_LOSS_SEED=$((run * 7919)) "$test" "everyByteArrivesThroughStop:$loss" >"/tmp/loss-soak-$$.log" 2>&1; then
    passed=$((passed + 1))
  else
    echo "run $run (seed $((run * 7919))) failed:"; grep -E "FAIL|recorded" "/tmp/loss-soak-$$.log" | head -3
  fi
done
rm -f "/tmp/loss-soak-$$.log"
echo "loss soak: $passed of $runs runs delivered every byte ($loss loss, $loops busy loops)"
[ "$passed" -eq "$runs" ]
