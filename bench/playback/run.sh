#!/usr/bin/env bash
# Writer and player benchmarks; argument: the build folder.
set -euo pipefail
build=${1:?build folder}
bench="$build/bench/playback/bench_playback"
seconds=${ORVANTA_BENCH_SECONDS:-20}
# The Test Pattern camera's picture, and a detailed noisy one that needs the
# full rate (where the rate figure means most).
for picture in camera noisy; do
  for size in "1280 720" "1920 1080"; do
    for codec in libx264 libopenh264 mpeg2video; do
      "$bench" writer "$codec" $size "$seconds" 1024 "$picture" 2>/dev/null
    done
  done
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=1920x1080:rate=25 -f lavfi -i sine=frequency=440:sample_rate=44100 \
  -t 10 -c:v libx264 -preset veryfast -tune zerolatency -g 50 -bf 0 -b:v 4000k -maxrate 4000k -bufsize 4000k \
  -c:a aac -f mpegts -y "$work/feedback.ts"
"$bench" player "$build/tools/orvanta-studio/orvanta-studio" "$work/feedback.ts" "$seconds" 2>/dev/null
