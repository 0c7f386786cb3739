#!/usr/bin/env bash
# Glass-to-glass latency and the CPU figures; argument: the build folder.
# Runs inside the test environment (Xvfb display, sound server).
#   ORVANTA_BENCH_SECONDS (default 30) sets the length of each measured run.
set -euo pipefail
build=${1:?build folder}
"$build/bench/latency/bench_latency" "$build/tools/orvanta-studio/orvanta-studio" "${ORVANTA_BENCH_SECONDS:-30}"
