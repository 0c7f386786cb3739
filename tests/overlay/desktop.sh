#!/usr/bin/env bash
# Runs one test program on a desktop of its own: Xvfb presenting two monitors
# in one screen (1600x900 and 1280x720 side by side), the openbox window
# manager and, with --composited, the xcompmgr compositing manager. Stops all
# three when the program ends and passes its exit code on.
# --screens WxH presents one monitor of that size instead. --scaled runs the
# program twice, with Qt's scale factor 1.5 and 2 on one monitor of 1600x900
# times that factor, and fails if either run fails. --mixed presents
# two monitors side by side of different scale: 1600x900 at factor 1 and
# 2400x1350 at factor 2 to its right (Xephyr on an Xvfb of its own: Xvfb
# puts every monitor at the origin and takes no RandR monitors). --swapped
# presents the same two monitors listed the other way round: the one listed
# first (1600x900, factor 1) stands right of the other, as a desktop whose
# displays Qt does not list from left to right.
# openbox places new windows under the pointer, so a test decides where.
#   desktop.sh [--composited] [--screens WxH | --scaled | --mixed | --swapped] PROGRAM [ARGUMENTS...]
set -uo pipefail
composited=0
screens=""
if [ "${1:-}" = "--composited" ]; then composited=1; shift; fi
if [ "${1:-}" = "--scaled" ]; then
  shift
  status=0
  for run in "1.5 2400x1350" "2 3200x1800"; do
    set -- $run "$@"
    factor=$1 size=$2
    shift 2
    echo "desktop.sh: scale factor $factor on $size"
    QT_SCALE_FACTOR=$factor "$0" --screens "$size" "$@" || status=1
  done
  exit $status
fi
if [ "${1:-}" = "--screens" ]; then screens=$2; shift 2; fi
mixed=0
# Xephyr's -origin places the screen that follows it in the Xinerama desktop.
monitors=(-screen 1600x900 -origin 1600,0 -screen 2400x1350)
if [ "${1:-}" = "--mixed" ]; then mixed=1; shift; fi
if [ "${1:-}" = "--swapped" ]; then
  mixed=1
  monitors=(-origin 2400,0 -screen 1600x900 -origin 0,0 -screen 2400x1350)
  shift
fi

dir=$(mktemp -d /tmp/orvanta-desktop.XXXXXX)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$dir"
}
trap cleanup EXIT

source "$(dirname "$0")/../../scripts/x-display.sh"
# Without RANDR, Qt and the window manager take the monitors from Xinerama.
# Xephyr draws into a window of a host display of its own.
started=0
if [ $mixed = 1 ]; then
  if orvanta_start_x "$dir/host.log" Xvfb -extension RANDR -screen 0 4000x1400x24 -nolisten tcp; then
    pids+=($ORVANTA_X_PID)
    DISPLAY=:$ORVANTA_X_DISPLAY orvanta_start_x "$dir/xvfb.log" Xephyr +xinerama -extension RANDR \
      "${monitors[@]}" -nolisten tcp && started=1
  fi
elif [ -n "$screens" ]; then
  orvanta_start_x "$dir/xvfb.log" Xvfb -extension RANDR -screen 0 "${screens}x24" -nolisten tcp && started=1
else
  orvanta_start_x "$dir/xvfb.log" Xvfb +xinerama -extension RANDR -screen 0 1600x900x24 -screen 1 1280x720x24 \
    -nolisten tcp && started=1
fi
[ -n "${ORVANTA_X_PID:-}" ] && pids+=($ORVANTA_X_PID)
if [ $started = 0 ]; then echo "desktop.sh: no X display could be started" >&2; cat "$dir"/*.log >&2; exit 1; fi
disp=$ORVANTA_X_DISPLAY
export DISPLAY=:$disp
unset QT_QPA_PLATFORM
if [ -n "$screens" ]; then export ORVANTA_EXPECT_SCREENS=1; else unset ORVANTA_EXPECT_SCREENS; fi
if [ $mixed = 1 ]; then export QT_SCREEN_SCALE_FACTORS="1;2"; fi

# openbox with its defaults, no session manager; ready once it names itself
# on the root window.
export XDG_CONFIG_HOME="$dir/config" HOME="$dir"
mkdir -p "$XDG_CONFIG_HOME/openbox"
cat >"$XDG_CONFIG_HOME/openbox/rc.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<openbox_config xmlns="http://openbox.org/3.4/rc">
  <placement><policy>UnderMouse</policy></placement>
</openbox_config>
XML
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
