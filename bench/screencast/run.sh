#!/usr/bin/env bash
# Portal capture against x11grab; called by scripts/bench.sh with the build
# folder. Runs on a headless Wayland desktop of its own (skipped where none
# can be started).
#   BENCH_SCREENCAST_FRAMES (default 250) pictures per backend.
set -uo pipefail
build=${1:?build folder}
here=$(cd "$(dirname "$0")" && pwd)
lib=$(find "$build" -name orvanta_screencopy_shm_fallback.so | head -1)
bash "$here/../../tests/wayland/wayland-desktop.sh" "$lib" \
  "$build/bench/screencast/bench_screencast" "${BENCH_SCREENCAST_FRAMES:-250}"
rc=$?
[ $rc -eq 77 ] && { echo "bench_screencast: skipped (no Wayland desktop here)"; exit 0; }
exit $rc
