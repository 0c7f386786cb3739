#!/usr/bin/env bash
# Runs every benchmark (bench/*/run.sh) and prints its figures. Optional
# arguments name the areas to run, e.g. scripts/bench.sh transport.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh build-bench -DCMAKE_BUILD_TYPE=Release -DORVANTA_BUILD_TESTS=OFF -DORVANTA_BUILD_BENCH=ON
source scripts/test-env.sh
trap orvanta_env_stop EXIT
orvanta_env_start "$PWD/build-bench"
areas=("$@")
[ ${#areas[@]} -gt 0 ] || areas=($(ls bench))
for area in "${areas[@]}"; do
  [ -f "bench/$area/run.sh" ] || continue
  echo "== bench: $area =="
  bash "bench/$area/run.sh" "$PWD/build-bench"
done
