#!/usr/bin/env bash
# Runs one test program on a desktop of its own: Xvfb presenting two monitors
# in one screen (1600x900 and 1280x720 side by side), the openbox window
# manager and, with --composited, the xcompmgr compositing manager. Stops all
# three when the program ends and passes its exit code on.
#   desktop.sh [--composited] PROGRAM [ARGUMENTS...]
set -uo pipefail
composited=0
if [ "${1:-}" = "--composited" ]; then composited=1; shift; fi

dir=$(mktemp -d /tmp/orvanta-desktop.XXXXXX)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$dir"
}
trap cleanup EXIT

# Without RANDR, Qt and the window manager take the monitors from Xinerama.
# A free display number; Xvfb itself refuses one that is taken, so try a few.
disp=""
for n in $(seq 150 400); do
  [ -e /tmp/.X11-unix/X$n ] || [ -e /tmp/.X$n-lock ] && continue
  Xvfb :$n +xinerama -extension RANDR -screen 0 1600x900x24 -screen 1 1280x720x24 -nolisten tcp >"$dir/xvfb.log" 2>&1 &
  xpid=$!
  for _ in $(seq 100); do
    [ -e /tmp/.X11-unix/X$n ] && break
    kill -0 $xpid 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 $xpid 2>/dev/null && [ -e /tmp/.X11-unix/X$n ]; then disp=$n; pids+=($xpid); break; fi
done
if [ -z "$disp" ]; then echo "desktop.sh: no X display could be started" >&2; cat "$dir/xvfb.log" >&2; exit 1; fi
export DISPLAY=:$disp
unset QT_QPA_PLATFORM

# openbox with its defaults, no session manager; ready once it names itself
# on the root window.
export XDG_CONFIG_HOME="$dir/config" HOME="$dir"
openbox --sm-disable >"$dir/openbox.log" 2>&1 &
pids+=($!)
for _ in $(seq 200); do
  xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
  sleep 0.1
done

if [ $composited = 1 ]; then
  xcompmgr >"$dir/xcompmgr.log" 2>&1 &
  pids+=($!)
  export ORVANTA_EXPECT_COMPOSITOR=1
else
  export ORVANTA_EXPECT_COMPOSITOR=0
fi

"$@"
