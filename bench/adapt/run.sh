#!/usr/bin/env bash
# bench/adapt/run.sh BUILD_DIR: 2048 kbit/s video through a 1.2 Mbit/s path,
# adapting against fixed rate, two pictures, the adapting runs repeated
# (ORVANTA_BENCH_RUNS; about 25 minutes with the defaults).
set -euo pipefail
build=${1:?usage: run.sh BUILD_DIR}
bench="$build/bench/adapt/bench_adapt"
[ -x "$bench" ] || { echo "missing $bench (build with -DORVANTA_BUILD_BENCH=ON)" >&2; exit 1; }
export QT_LOGGING_RULES="orvanta.log.debug=false;default.debug=false"
"$bench" 2>/dev/null
