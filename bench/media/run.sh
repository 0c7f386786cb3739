#!/usr/bin/env bash
# Media benchmarks; called by scripts/bench.sh with the build folder, inside
# the test environment (Xvfb display, sound server).
#   BENCH_MEDIA_SECONDS (default 60) and BENCH_MEDIA_MEMORY_SECONDS (default 300)
#   shorten the live run for a quick look.
set -euo pipefail
build=${1:?build folder}
"$build/bench/media/bench_media_compose"
"$build/bench/media/bench_media_repeat"
"$build/bench/media/bench_media_convert"
"$build/bench/media/bench_media_live" "${BENCH_MEDIA_SECONDS:-60}" "${BENCH_MEDIA_MEMORY_SECONDS:-300}"
