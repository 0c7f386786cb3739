#!/usr/bin/env bash
# The whole test suite: installs the packages; builds a normal build, an
# address/undefined-behaviour sanitizer build and a thread sanitizer build of
# the suites that run code on threads of its own; starts Xvfb, a sound server
# and the studio server; runs every test in the first two builds and those
# suites in the third; runs the parsers' fuzz targets for a short time; stops
# what it started. The sanitizer and fuzz builds run at low priority while the
# normal build's tests run, which spend much of their time waiting on the
# network and the clock. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

# SRT connect, mixer, writer, reader, relay, player, broadcast, arrow channel, speed test,
# feedback sound.
TSAN_TESTS=(test_srtconnect test_media_mixer test_mfreader test_resender test_playerworker
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

build_tsan() {
  cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANTA_TSAN=ON \
    -DORVANTA_BUILD_BENCH=OFF -DORVANTA_LOOKUP_ORIGIN= -DORVANTA_UPDATE_URL= >/dev/null
  cmake --build build-tsan -j"$(nproc)" --target "${TSAN_TESTS[@]}" test_studio
}

release_tests() {
  ctest --test-dir build --output-on-failure -j2 --timeout 300
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
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  LSAN_OPTIONS=suppressions="$PWD/tests/lsan.supp" \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j2 --timeout 600 -E '^test_overlay_desktop_'
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
  TSAN_OPTIONS="ignore_noninstrumented_modules=1 second_deadlock_stack=1" \
  ORVANTA_STUDIO="$PWD/build/tools/orvanta-studio/orvanta-studio" \
    ctest --test-dir build-tsan --output-on-failure -j2 --timeout 900 -R "$pattern" || rc=1
  return $rc
}

# The builds that run beside the release tests, one after the other, their
# output in a log that is shown when one fails.
background_builds() {
  timings=()
  step "build (address sanitizer)" bash scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DORVANTA_SANITIZE=ON \
    -DORVANTA_BUILD_BENCH=OFF || return 1
  step "build (thread sanitizer, ${#TSAN_TESTS[@]} suites)" build_tsan || return 1
  step "build (fuzz targets)" bash scripts/fuzz.sh --build-only || return 1
  printf '%s\n' "${timings[@]}" >"$background_log.times"
}

step "packages" bash scripts/deps.sh
# Line tables are enough for the stacks a failing test prints, and quicker to build.
step "build (release)" bash scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANTA_BUILD_BENCH=OFF \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DORVANTA_LOOKUP_ORIGIN= -DORVANTA_UPDATE_URL=

source scripts/test-env.sh
background_log=$(mktemp /tmp/orvanta-builds.XXXXXX)
background_pid=""
cleanup() {
  [ -z "$background_pid" ] || kill -- "-$background_pid" 2>/dev/null || true
  rm -f "$background_log" "$background_log.times"
  orvanta_env_stop
}
trap cleanup EXIT
orvanta_env_start "$PWD/build"

set -m # the background builds get a process group of their own, so that cleanup can end them all
nice -n 15 bash -c "$(declare -f step background_builds build_tsan); $(declare -p TSAN_TESTS); \
  background_log=$background_log; background_builds" >"$background_log" 2>&1 &
background_pid=$!
set +m

status=0
step "tests (release build)" release_tests || status=1
builds_ok=1
step "sanitizer and fuzz builds (the part after the release tests)" wait "$background_pid" || builds_ok=0
background_pid=""
[ -f "$background_log.times" ] && mapfile -t -O "${#timings[@]}" timings <"$background_log.times"
if [ "$builds_ok" -eq 0 ]; then
  echo "a sanitizer or fuzz build failed:"; tail -n 80 "$background_log"
  exit 1
fi
step "tests (address and undefined behaviour sanitizers, leaks)" asan_tests || status=1
step "tests (thread sanitizer)" tsan_tests || status=1
step "fuzz targets (clang, address and undefined behaviour sanitizers, 10 s each)" bash scripts/fuzz.sh 10 || status=1

echo "== time per step =="
printf '%s\n' "${timings[@]}"
exit $status
