#!/usr/bin/env bash
# bench/app/run.sh BUILD_DIR: the longest GUI-thread stall of a broadcast
# session during start, reconnect, stop and a failed start, against the
# blocking start of old.
set -euo pipefail
build=${1:?usage: run.sh BUILD_DIR}
bench="$build/bench/app/bench_session"
[ -x "$bench" ] || { echo "missing $bench (build with -DORVANTA_BUILD_BENCH=ON)" >&2; exit 1; }
export QT_LOGGING_RULES="orvanta.log.debug=false;default.debug=false"
"$bench"
