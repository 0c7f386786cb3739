#!/usr/bin/env bash
# build.sh [BUILD_DIR [extra cmake args...]]: configures and builds Orvanta.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}; shift || true
cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
# The libraries collect their folder's sources by glob; Qt's moc step in an
# existing build folder does not notice new headers, so start it afresh when
# the set of source files has changed.
stamp="$dir/.source-list"
list=$(find . -path ./build\* -prune -o \( -name '*.h' -o -name '*.cpp' \) -print | sort | md5sum)
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$list" ]; then
  find "$dir" -maxdepth 4 -type d -name '*_autogen' -prune -exec rm -rf {} + 2>/dev/null || true
fi
cmake --build "$dir" -j"$(nproc)"
echo "$list" > "$stamp"
