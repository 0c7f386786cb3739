#!/usr/bin/env bash
# bench/transport/run.sh BUILD_DIR: relay throughput (against srt-live-transmit
# carrying the same bytes) and relay delay (against a direct SRT send).
set -euo pipefail
build=${1:?usage: run.sh BUILD_DIR}
bench="$build/bench/transport/bench_relay"
[ -x "$bench" ] || { echo "missing $bench (build with -DORVANTA_BUILD_BENCH=ON)" >&2; exit 1; }
export QT_LOGGING_RULES="orvanta.log.debug=false;default.debug=false"
"$bench" throughput 104857600
"$bench" throughput 62500000 100
"$bench" delay 2000
