#!/usr/bin/env bash
# soak.sh [MINUTES [BASELINE_MINUTE]]: a long broadcast. Runs the built
# program (build/app/orvanta) with the Test Pattern camera against the studio
# server, which records the stream and echoes it back as the feedback, for
# MINUTES (default 30). Once a minute it prints the program's resident memory,
# open files, threads and processor use, and whether the minute's part of the
# recording decodes. At the end: the growth since BASELINE_MINUTE (default 5;
# the first minute for shorter runs), and whether every minute decoded. Exits
# non-zero when memory grew by 5 MB or more, files or threads grew, a minute
# did not decode or the program died. Not part of the test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=${1:-30}
baseline=${2:-5}
[ "$baseline" -lt "$minutes" ] || baseline=1
[ "$minutes" -gt "$baseline" ] || { echo "soak.sh: run at least $((baseline + 1)) minutes" >&2; exit 2; }
interval=${ORVANTA_SOAK_INTERVAL:-60}  # seconds per sample; 60 but for trying the script out
program=build/app/orvanta
[ -x "$program" ] || { echo "soak.sh: build the program first ($program)" >&2; exit 2; }
command -v ffprobe >/dev/null || { echo "soak.sh: needs ffprobe" >&2; exit 2; }

source scripts/test-env.sh
work=$(mktemp -d)
client=""
stop_all() {
  if [ -n "$client" ] && kill -0 "$client" 2>/dev/null; then
    kill -TERM "$client" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$client" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$client" 2>/dev/null || true
  fi
  orvanta_env_stop
  rm -rf "$work"
}
trap stop_all EXIT
orvanta_env_start "$PWD/build"
[ -n "${ORVANTA_STUDIO_SRT:-}" ] || { echo "soak.sh: the studio server did not start" >&2; exit 1; }

# A private home whose settings pick the Test Pattern camera and know the
# studio, so that its link starts without a question.
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_CACHE_HOME=$work/home/.cache
mkdir -p "$XDG_CONFIG_HOME/Velmora"
printf '[General]\nVSOURCE=Test Pattern\nMODE=CAMERA\nCONFIRMED_SERVERS=%s\n' "$ORVANTA_STUDIO_SRT" \
  >"$XDG_CONFIG_HOME/Velmora/Orvanta.ini"

id=soak$$
"$program" "orvanta://$ORVANTA_STUDIO_SRT/$id/1024/64/SD" >"$work/client.log" 2>&1 &
client=$!
recording=$ORVANTA_ENV_DIR/recordings/$id.ts
for _ in $(seq 300); do [ -s "$recording" ] && break; sleep 0.1; done
[ -s "$recording" ] || { echo "soak.sh: nothing recorded; the program said:"; tail -n 20 "$work/client.log"; exit 1; }

ticks=$(getconf CLK_TCK)
status_kb() { awk -v key="$1:" '$1 == key { print $2 }' "/proc/$client/status"; }
cpu_ticks() { awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "/proc/$client/stat"; }
# Pictures decoded from one part of the recording (packet-aligned).
pictures_in() {
  local from=$1 to=$2 part=$work/part.ts
  dd if="$recording" of="$part" bs=188 skip="$((from / 188))" count="$(( (to - from) / 188 ))" status=none
  local count
  count=$(ffprobe -v quiet -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 \
    "$part" || true)
  count=${count%%[!0-9]*}
  echo "${count:-0}"
}

declare -a rss fds threads
failed=0
previous_cpu=$(cpu_ticks); previous_size=$(stat -c %s "$recording")
expected=$((interval * 25 * 9 / 10))  # 25 pictures a second, a tenth lost at the part's edges at most
printf '%6s %10s %6s %8s %6s %10s %s\n' minute rss_kb files threads cpu_% pictures decodes
for minute in $(seq "$minutes"); do
  sleep "$interval"
  if ! kill -0 "$client" 2>/dev/null; then
    echo "the program ended in minute $minute:"; tail -n 20 "$work/client.log"; exit 1
  fi
  rss[minute]=$(status_kb VmRSS)
  threads[minute]=$(status_kb Threads)
  fds[minute]=$(find "/proc/$client/fd" -mindepth 1 -maxdepth 1 | wc -l)
  cpu=$(cpu_ticks); size=$(stat -c %s "$recording")
  percent=$(( (cpu - previous_cpu) * 100 / (ticks * interval) ))
  pictures=$(pictures_in "$previous_size" "$size")
  decodes=yes; [ "$pictures" -ge "$expected" ] || { decodes=no; failed=1; }
  printf '%6d %10d %6d %8d %6d %10d %s\n' "$minute" "${rss[minute]}" "${fds[minute]}" "${threads[minute]}" \
    "$percent" "$pictures" "$decodes"
  previous_cpu=$cpu; previous_size=$size
done

growth_kb=$((rss[minutes] - rss[baseline]))
fd_growth=$((fds[minutes] - fds[baseline]))
thread_growth=$((threads[minutes] - threads[baseline]))
echo "growth after minute $baseline: memory ${growth_kb} kB, files $fd_growth, threads $thread_growth"
echo "every minute's recording decodes: $([ "$failed" -eq 0 ] && echo yes || echo no)"
echo "feedback notices: $(grep -c 'no picture in the return stream' "$work/client.log" || true)"
[ "$growth_kb" -lt 5120 ] && [ "$fd_growth" -le 0 ] && [ "$thread_growth" -le 0 ] && [ "$failed" -eq 0 ]
