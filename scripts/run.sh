#!/usr/bin/env bash
# Builds what running needs (the program and the studio server, no tests or
# benchmarks) in build-run/, starts the local studio server on loopback with
# its lines in build-run/studio.log, and runs the program against it (the
# built-in default server). Extra arguments go to the program, e.g. a link:
#   scripts/run.sh 'orvanta://127.0.0.1:9000/me/2048/128/HD'
# The program's debug lines are off; QT_LOGGING_RULES set by the caller wins:
#   QT_LOGGING_RULES='default.debug=true;orvanta.log.debug=true' scripts/run.sh
#
#   scripts/run.sh --plan DIR   configures DIR as the run build and prints the
#                               commands that building its targets runs
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build-run
targets=(orvanta orvanta-studio)

configure() {
  cmake -S . -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" \
    -DORVANTA_BUILD_TESTS=OFF -DORVANTA_BUILD_BENCH=OFF -DORVANTA_UNITY=ON \
    -DORVANTA_LOOKUP_ORIGIN=http://127.0.0.1:8080 \
    -DORVANTA_UPDATE_URL=http://127.0.0.1:8080/downloads/orvanta_win.json >/dev/null
}

if [ "${1:-}" = --plan ]; then
  configure "$2"
  exec ninja -C "$2" -t commands "${targets[@]}"
fi

echo "run.sh: checking the Debian packages (scripts/deps.sh --run)"
bash scripts/deps.sh --run
if [ -x "$dir/app/orvanta" ]; then
  echo "run.sh: bringing $dir/ up to date (the program and the studio server)"
else
  echo "run.sh: building the program and the studio server in $dir/ (no tests or benchmarks);"
  echo "        the first build takes about 3 minutes on 2 free cores (longer on a busy machine), later ones seconds"
fi
start=$SECONDS
configure "$dir"
cmake --build "$dir" --target "${targets[@]}"
echo "run.sh: built in $((SECONDS - start)) s"

studio=$dir/tools/orvanta-studio/orvanta-studio
log=$dir/studio.log
mkdir -p recordings
"$studio" --srt 127.0.0.1:9000 --http 127.0.0.1:8080 --record recordings >"$log" 2>&1 &
pid=$!
trap 'kill $pid 2>/dev/null; wait $pid 2>/dev/null' EXIT
for _ in $(seq 50); do
  grep -q '^orvanta-studio: SRT ' "$log" 2>/dev/null && break
  kill -0 $pid 2>/dev/null || break
  sleep 0.1
done
if grep -q '^orvanta-studio: SRT ' "$log" 2>/dev/null; then
  echo "run.sh: studio server on 127.0.0.1:9000 (SRT) and 127.0.0.1:8080 (HTTP), recording into recordings/;"
  echo "        its lines go to $log"
else
  echo "run.sh: the studio server did not start (are ports 9000 and 8080 taken?):" >&2
  cat "$log" >&2
fi

export QT_LOGGING_RULES=${QT_LOGGING_RULES:-default.debug=false;orvanta.log.debug=false}
echo "run.sh: starting Orvanta; the window opens in a few seconds (demo number 123-456-789)"
status=0
"$dir/app/orvanta" "$@" || status=$?
exit $status
