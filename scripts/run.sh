#!/usr/bin/env bash
# Builds Orvanta, starts the local studio server on loopback and runs the
# program against it (the built-in default server). Extra arguments go to the
# program, e.g. a link: scripts/run.sh 'orvanta://127.0.0.1:9000/me/2048/128/HD'
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DORVANTA_LOOKUP_ORIGIN=http://127.0.0.1:8080 -DORVANTA_UPDATE_URL=http://127.0.0.1:8080/downloads/orvanta_win.json
studio=build/tools/orvanta-studio/orvanta-studio
pid=""
if [ -x "$studio" ]; then
  mkdir -p recordings
  "$studio" --srt 127.0.0.1:9000 --http 127.0.0.1:8080 --record recordings &
  pid=$!
  trap 'kill $pid 2>/dev/null; wait $pid 2>/dev/null' EXIT
fi
build/app/orvanta "$@"
