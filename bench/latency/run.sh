#!/usr/bin/env bash
# Glass-to-glass latency and the CPU figures; argument: the build folder.
# Runs inside the test environment (Xvfb display, sound server).
#   ORVANTA_BENCH_SECONDS (default 30) sets the length of each measured run.
set -euo pipefail
build=${1:?build folder}
seconds=${ORVANTA_BENCH_SECONDS:-30}
studio="$build/tools/orvanta-studio/orvanta-studio"
"$build/bench/latency/bench_latency" "$studio" "$seconds" 2>/dev/null
# Feedback playback (reader and preview) against ffmpeg decoding the same.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=1920x1080:rate=25 -f lavfi -i sine=frequency=440:sample_rate=44100 \
  -t 10 -c:v libx264 -preset veryfast -tune zerolatency -g 50 -bf 0 -b:v 4000k -maxrate 4000k -bufsize 4000k \
  -c:a aac -f mpegts -y "$work/feedback.ts"
"$build/bench/playback/bench_playback" player "$studio" "$work/feedback.ts" "$seconds" 2>/dev/null
