#!/usr/bin/env bash
# The whole test suite: installs the packages, builds a normal and a sanitizer
# build, starts Xvfb, a sound server and the studio server, runs every test in
# both builds and stops what it started. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANTA_BUILD_BENCH=OFF -DORVANTA_LOOKUP_ORIGIN= -DORVANTA_UPDATE_URL=
bash scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DORVANTA_SANITIZE=ON -DORVANTA_BUILD_BENCH=OFF

source scripts/test-env.sh
trap orvanta_env_stop EXIT
orvanta_env_start "$PWD/build"

status=0
echo "== tests (release build) =="
ctest --test-dir build --output-on-failure -j2 --timeout 300 || status=1
echo "== tests (address and undefined behaviour sanitizers) =="
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j2 --timeout 600 || status=1
exit $status
