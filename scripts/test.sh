#!/usr/bin/env bash
# The whole test suite: installs the packages; builds a normal build, an
# address/undefined-behaviour sanitizer build and a thread sanitizer build of
# the suites that run code on threads of its own; starts Xvfb, a sound server
# and the studio server; runs every test in the first two builds and those
# suites in the third; runs the parsers' fuzz targets for a short time; stops
# what it started. Exits non-zero on any failure.
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

# Leaks count as failures; tests/lsan.supp lists what system libraries keep.
# The overlay's two desktop runs (about a minute each) run in the release
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

step "packages" bash scripts/deps.sh
step "build (release)" bash scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANTA_BUILD_BENCH=OFF \
  -DORVANTA_LOOKUP_ORIGIN= -DORVANTA_UPDATE_URL=
step "build (address sanitizer)" bash scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DORVANTA_SANITIZE=ON \
  -DORVANTA_BUILD_BENCH=OFF
step "build (thread sanitizer, ${#TSAN_TESTS[@]} suites)" build_tsan

source scripts/test-env.sh
trap orvanta_env_stop EXIT
orvanta_env_start "$PWD/build"

status=0
step "tests (release build)" release_tests || status=1
step "tests (address and undefined behaviour sanitizers, leaks)" asan_tests || status=1
step "tests (thread sanitizer)" tsan_tests || status=1
step "fuzz targets (clang, address and undefined behaviour sanitizers, 10 s each)" bash scripts/fuzz.sh 10 || status=1

echo "== time per step =="
printf '%s\n' "${timings[@]}"
exit $status
