#!/usr/bin/env bash
# The whole test suite: installs the packages; builds a normal build, an
# address/undefined-behaviour sanitizer build and a thread sanitizer build of
# the suites that run code on threads of its own; starts Xvfb, a sound server
# and the studio server; runs every test in the first two builds and those
# suites in the third; runs the parsers' fuzz targets for a short time; stops
# what it started. The sanitizer and fuzz builds run at low priority while the
# tests before them run, which spend much of their time waiting on the network
# and the clock. The libraries compile in batches of sources (ORVANTA_UNITY).
# Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

# SRT connect, mixer, writer, reader, relay, player, broadcast, arrow channel, speed test,
# feedback sound.
TSAN_TESTS=(test_srtconnect test_media_mixer test_resender test_playerworker
            test_broadcast test_arrowsender test_app_speedtest test_app_broadcastsession
            test_app_deviceregistry test_encryption test_feedback_sound)

# Runs one step and notes how long it took.
timings=()
step() {
  local name=$1 start=$SECONDS
  shift
  echo "== $name =="
  local rc=0
  "$@" || rc=$?
  timings+=("$(printf '%-58s %4ds' "$name" $((SECONDS - start)))")
  return $rc
}

# Line tables are enough for the stacks a failing test or a sanitizer prints,
# and much quicker to build than full debug information.
build_tsan() {
  cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANTA_TSAN=ON -DORVANTA_UNITY=ON \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" \
    -DORVANTA_BUILD_BENCH=OFF -DORVANTA_LOOKUP_ORIGIN= -DORVANTA_UPDATE_URL= >/dev/null
  cmake --build build-tsan -j"$(nproc)" --target "${TSAN_TESTS[@]}" test_studio
}

# The failed checks of a ctest run, each with its suite and place, and the
# suites that failed, gathered from the run's log for a summary at the end: a
# failing suite's own output can run to thousands of lines, and where it
# failed sits in the middle.
note_failed_checks() {
  local log=$1/Testing/Temporary/LastTest.log
  [ -f "$log" ] || return 0
  awk -v build="$1" '
    /^[0-9]+\/[0-9]+ Testing: / { suite = $3 }
    /^(FAIL!|QFATAL)/ || /ERROR: [A-Za-z]+Sanitizer|WARNING: ThreadSanitizer|runtime error:/ {
      print build " " suite ": " substr($0, 1, 400); after = 1; next }
    after && /^ +Loc: / { print build " " suite ": " $0 }
    { after = 0 }
    /^Test Failed/ { print build " " suite ": " $0 }' "$log" >>"$failed_checks"
}

# A skipped test's output is not shown; those that skip write their reason
# to ORVANTA_SKIP_LOG, printed here.
release_tests() {
  local rc=0
  export ORVANTA_SKIP_LOG=$PWD/build/skipped.log
  rm -f "$ORVANTA_SKIP_LOG"
  ctest --test-dir build --output-on-failure -j2 --timeout 300 || rc=$?
  note_failed_checks build
  if [ -s "$ORVANTA_SKIP_LOG" ]; then echo "skipped, and why:"; cat "$ORVANTA_SKIP_LOG"; fi
  return $rc
}

# Qt's GLX integration would load whatever GL driver the machine has (Mesa's
# software driver on a machine with desktop packages), and a driver unloaded at
# exit leaves leak reports no suppression can name. No test draws with GL.
export QT_XCB_GL_INTEGRATION=none

# Leaks count as failures; tests/lsan.supp lists what system libraries keep.
# The overlay's desktop runs (plain, composited, scaled) run in the release
# build only, to keep the whole command within CI's time; its geometry suite
# runs here.
asan_tests() {
  local rc=0
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  LSAN_OPTIONS=suppressions="$PWD/tests/lsan.supp" \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j2 --timeout 600 -E '^test_overlay_desktop_' || rc=$?
  note_failed_checks build-asan
  return $rc
}

# Qt, libsrt, FFmpeg, PulseAudio and the other libraries are built without
# the sanitizer, so what they do inside is left out of the reports
# (ignore_noninstrumented_modules); what our code does is checked. Our code
# hands data between threads through std::mutex, std::thread and atomics,
# which the sanitizer follows, and states the hand-overs that only Qt sees
# (diagnostics/HappensBefore.h). The suites talk to the release build's
# studio, which keeps up with live SRT as a real server does; the studio's
# own threads get their check in the first test below.
tsan_tests() {
  local pattern
  pattern="^($(IFS='|'; echo "${TSAN_TESTS[*]}"))\$"
  local rc=0
  TSAN_OPTIONS="ignore_noninstrumented_modules=1 second_deadlock_stack=1" \
    ctest --test-dir build-tsan --output-on-failure --timeout 900 -R '^test_studio$' || rc=1
  note_failed_checks build-tsan
  TSAN_OPTIONS="ignore_noninstrumented_modules=1 second_deadlock_stack=1" \
  ORVANTA_STUDIO="$PWD/build/tools/orvanta-studio/orvanta-studio" \
    ctest --test-dir build-tsan --output-on-failure -j2 --timeout 900 -R "$pattern" || rc=1
  note_failed_checks build-tsan
  return $rc
}

build_asan() {
  bash scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g1" -DORVANTA_SANITIZE=ON \
    -DORVANTA_UNITY=ON -DORVANTA_BUILD_BENCH=OFF
}

# The sanitizer and fuzz builds run at low priority beside tests: the address
# sanitizer build beside the release tests, the other two beside the address
# sanitizer tests. Their output goes to a log that is shown when one fails.
background_pid=""
background_log=""
start_background() {
  background_log=$(mktemp /tmp/orvanta-builds.XXXXXX)
  set -m # a process group of its own, so that cleanup can end it all
  nice -n 15 bash -c "$(declare -f step build_asan build_tsan); $(declare -p TSAN_TESTS); timings=(); \
    $1; rc=\$?; printf '%s\n' \"\${timings[@]}\" >$background_log.times; exit \$rc" >"$background_log" 2>&1 &
  background_pid=$!
  set +m
}
# Waits for the background builds; false, with their log shown, if one failed.
# Once nothing runs beside them they go back to normal priority where the
# user may raise it (root, as in CI): at 15 they would get a few per cent of
# a machine that is busy with other work, and never finish.
finish_background() {
  local rc=0
  renice -n 0 -g "$background_pid" >/dev/null 2>&1 || true
  step "$1" wait "$background_pid" || rc=$?
  background_pid=""
  [ -f "$background_log.times" ] && mapfile -t -O "${#timings[@]}" timings <"$background_log.times"
  if [ "$rc" -ne 0 ]; then
    echo "a sanitizer or fuzz build failed:"; tail -n 80 "$background_log"
  fi
  rm -f "$background_log" "$background_log.times"
  return $rc
}

step "packages" bash scripts/deps.sh
step "build (release)" bash scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANTA_BUILD_BENCH=OFF \
  -DORVANTA_UNITY=ON -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DORVANTA_LOOKUP_ORIGIN= -DORVANTA_UPDATE_URL=

source scripts/test-env.sh
cleanup() {
  [ -z "$background_pid" ] || kill -- "-$background_pid" 2>/dev/null || true
  [ -z "$background_log" ] || rm -f "$background_log" "$background_log.times"
  [ -z "${failed_checks:-}" ] || rm -f "$failed_checks"
  orvanta_env_stop
}
trap cleanup EXIT
failed_checks=$(mktemp /tmp/orvanta-failed-checks.XXXXXX)
orvanta_env_start "$PWD/build"

status=0
start_background 'step "build (address sanitizer)" build_asan'
step "tests (release build)" release_tests || status=1
finish_background "address sanitizer build (the part after the release tests)" || exit 1
start_background 'step "build (thread sanitizer, ${#TSAN_TESTS[@]} suites)" build_tsan && \
  step "build (fuzz targets)" bash scripts/fuzz.sh --build-only'
orvanta_env_check_sound "in the release tests" || true
step "tests (address and undefined behaviour sanitizers, leaks)" asan_tests || status=1
finish_background "thread sanitizer and fuzz builds (the part after those tests)" || exit 1
orvanta_env_check_sound "in the sanitizer tests" || true
step "tests (thread sanitizer)" tsan_tests || status=1
orvanta_env_check_sound "in the thread sanitizer tests" || true
step "fuzz targets (clang, address and undefined behaviour sanitizers, 10 s each)" bash scripts/fuzz.sh 10 || status=1

echo "== time per step =="
printf '%s\n' "${timings[@]}"
if [ -s "$failed_checks" ]; then
  echo "== failed checks =="
  head -n 60 "$failed_checks"
fi
exit $status
