#!/usr/bin/env bash
# Runs one program on a headless Wayland desktop of its own: a private D-Bus
# session and XDG_RUNTIME_DIR, PipeWire and WirePlumber, sway (1280x720
# output HEADLESS-1, pixman renderer) with XWayland, and the desktop portal
# with its wlroots backend, which picks the output without a dialog. Stops all
# of it when the program ends and passes its exit code on; exits 77 (skip)
# with the reason when the desktop cannot be had here.
#   wayland-desktop.sh PRELOAD_LIBRARY PROGRAM [ARGUMENTS...]
#
# sway refuses to run as root: as root it runs as the user nobody, while the
# bus, PipeWire, the portals and the program stay with the caller (the portal
# serves only clients of its own user), and root's X11 clients are let in.
#
# The program finds in its environment:
#   WAYLAND_DISPLAY, DISPLAY, SWAYSOCK   the desktop
#   ORVANTA_WAYLAND_DIR                  the desktop's folder
#   ORVANTA_PORTAL_BACKEND_LOG           what the portal backend logged
#   ORVANTA_PORTAL_CHOOSER_CANCEL        a file that, while it exists, makes
#                                        the backend's chooser return nothing
# The backend is started by D-Bus activation on demand, so killing it and
# asking the portal again brings a fresh one.
set -uo pipefail
# The reason also goes to ORVANTA_SKIP_LOG when set: ctest shows no output of
# a skipped test, and the test command prints that file.
skip() {
  echo "wayland-desktop.sh: SKIP: $*" >&2
  [ -z "${ORVANTA_SKIP_LOG:-}" ] || echo "wayland desktop: $*" >>"$ORVANTA_SKIP_LOG"
  exit 77
}
[ $# -ge 2 ] || { echo "usage: wayland-desktop.sh PRELOAD_LIBRARY PROGRAM [ARGUMENTS...]" >&2; exit 2; }
preload=$(readlink -f "$1"); shift

for tool in sway Xwayland pipewire wireplumber dbus-run-session dbus-update-activation-environment dbus-send xhost swaymsg; do
  command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/deps.sh installs it)"
done
for exe in /usr/libexec/xdg-desktop-portal /usr/libexec/xdg-desktop-portal-wlr; do
  [ -x "$exe" ] || skip "$exe is not installed (scripts/deps.sh installs it)"
done
[ -r "$preload" ] || skip "the preload library $preload is missing"

# The folder first: the bus of our own below reads its service files from it.
if [ -z "${ORVANTA_WAYLAND_DIR:-}" ]; then
  dir=$(mktemp -d /tmp/orvanta-wayland.XXXXXX)
  chmod 755 "$dir"
  mkdir -p "$dir/share/dbus-1/services"
  # D-Bus starts the portal backend from this file rather than the system's.
  cat >"$dir/share/dbus-1/services/org.freedesktop.impl.portal.desktop.wlr.service" <<SVC
[D-BUS Service]
Name=org.freedesktop.impl.portal.desktop.wlr
Exec=$dir/backend
SVC
  export XDG_DATA_DIRS="$dir/share:${XDG_DATA_DIRS:-/usr/local/share:/usr/share}"
  ORVANTA_WAYLAND_DIR=$dir dbus-run-session -- "$0" "$preload" "$@"
  rc=$?
  rm -rf "$dir"
  exit $rc
fi
dir=$ORVANTA_WAYLAND_DIR

pids=()
cleanup() {
  local pid
  # ORVANTA_WAYLAND_KEEP names a folder that gets the desktop's logs.
  if [ -n "${ORVANTA_WAYLAND_KEEP:-}" ]; then cp "$dir"/*.log "$ORVANTA_WAYLAND_KEEP"/ 2>/dev/null || true; fi
  if [ -s "$dir/portal-wlr.pid" ]; then kill "$(cat "$dir/portal-wlr.pid")" 2>/dev/null || true; fi
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT

as_sway=()
if [ "$(id -u)" -eq 0 ]; then
  as_sway=(setpriv --reuid=65534 --regid=65534 --clear-groups --)
fi

export XDG_RUNTIME_DIR="$dir/run" HOME="$dir/home" XDG_CONFIG_HOME="$dir/config"
mkdir -p "$XDG_RUNTIME_DIR" "$HOME" "$XDG_CONFIG_HOME/xdg-desktop-portal-wlr" "$dir/sway-home"
chmod 700 "$XDG_RUNTIME_DIR"
if [ ${#as_sway[@]} -gt 0 ]; then
  # sway's sockets go into the runtime folder; root reaches them all the same.
  chown 65534:65534 "$XDG_RUNTIME_DIR" "$dir/sway-home"
fi

wait_for() { # seconds, then a test command
  local tries=$(( $1 * 10 )); shift
  for _ in $(seq "$tries"); do "$@" && return 0; sleep 0.1; done
  return 1
}

pipewire >"$dir/pipewire.log" 2>&1 &
pids+=($!)
wait_for 30 test -S "$XDG_RUNTIME_DIR/pipewire-0" || skip "PipeWire did not start: $(tail -3 "$dir/pipewire.log")"
wireplumber >"$dir/wireplumber.log" 2>&1 &
pids+=($!)

# The program's own windows float where they place themselves; test
# windows that ask for a place by title get it.
cat >"$dir/sway.cfg" <<CFG
output HEADLESS-1 mode 1280x720 position 0 0 bg #000000 solid_color
xwayland enable
default_border none
default_floating_border none
focus_follows_mouse no
for_window [title="^orvanta-left"] floating enable, resize set 400 400, move absolute position 40 60
for_window [title="^orvanta-right"] floating enable, resize set 400 400, move absolute position 520 60
for_window [title="^Orvanta$"] floating enable, move absolute position 940 470
for_window [title="^Form$"] floating enable
for_window [app_id="^orvanta"] floating enable
for_window [class="^orvanta"] floating enable
exec echo "\$DISPLAY" > $dir/sway-home/display
CFG
chmod 644 "$dir/sway.cfg"
(cd "$dir/sway-home" && exec "${as_sway[@]}" env -i PATH="$PATH" HOME="$dir/sway-home" XDG_RUNTIME_DIR="$XDG_RUNTIME_DIR" \
  WLR_BACKENDS=headless WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1 WLR_HEADLESS_OUTPUTS=1 \
  sway -c "$dir/sway.cfg") >"$dir/sway.log" 2>&1 &
pids+=($!)
wait_for 30 test -s "$dir/sway-home/display" || skip "sway did not start: $(tail -5 "$dir/sway.log")"
sock=$(ls "$XDG_RUNTIME_DIR" | grep -E '^wayland-[0-9]+$' | head -1)
[ -n "$sock" ] || skip "sway made no Wayland socket"
export WAYLAND_DISPLAY=$sock
export SWAYSOCK=$(ls "$XDG_RUNTIME_DIR"/sway-ipc.*.sock 2>/dev/null | head -1)
export DISPLAY=$(cat "$dir/sway-home/display")
export XDG_CURRENT_DESKTOP=sway XDG_SESSION_TYPE=wayland
unset QT_QPA_PLATFORM
# XWayland starts with its first client; the caller's X11 clients are let in.
wait_for 30 "${as_sway[@]}" env DISPLAY="$DISPLAY" xhost +si:localuser:"$(id -un)" >/dev/null 2>&1 \
  || skip "XWayland did not let $(id -un) in: $(tail -5 "$dir/sway.log")"

# The backend, as D-Bus starts it: with the shared-memory preload, its chooser
# answering the output name unless the cancel file exists, and restore tokens
# honoured.
export ORVANTA_PORTAL_BACKEND_LOG="$dir/portal-wlr.log"
export ORVANTA_PORTAL_CHOOSER_CANCEL="$dir/chooser-cancel"
backend_pidfile="$dir/portal-wlr.pid"
cat >"$dir/chooser" <<SH
#!/bin/sh
echo run >> "$dir/chooser.log"
[ -e "$ORVANTA_PORTAL_CHOOSER_CANCEL" ] && exit 0
echo HEADLESS-1
SH
cat >"$dir/backend" <<SH
#!/bin/sh
echo \$\$ > "$backend_pidfile"
LD_PRELOAD="$preload" exec /usr/libexec/xdg-desktop-portal-wlr -l DEBUG >>"$ORVANTA_PORTAL_BACKEND_LOG" 2>&1
SH
chmod 755 "$dir/chooser" "$dir/backend"
cat >"$XDG_CONFIG_HOME/xdg-desktop-portal-wlr/config" <<INI
[screencast]
output_name=HEADLESS-1
chooser_type=simple
chooser_cmd=$dir/chooser
INI
export XDPW_PERSIST_MODE=permanent
dbus-update-activation-environment WAYLAND_DISPLAY XDG_CURRENT_DESKTOP XDG_RUNTIME_DIR XDG_CONFIG_HOME \
  XDG_DATA_DIRS XDPW_PERSIST_MODE HOME DISPLAY || skip "the bus's activation environment cannot be set"

/usr/libexec/xdg-desktop-portal -r >"$dir/portal.log" 2>&1 &
pids+=($!)
has_owner() {
  dbus-send --session --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner \
    string:"$1" 2>/dev/null | grep -q 'boolean true'
}
wait_for 30 has_owner org.freedesktop.portal.Desktop || skip "the desktop portal did not start: $(tail -5 "$dir/portal.log")"
# The portal offers what its backend answered it offers; until that answer
# (later on a busy machine) it offers no source at all.
offers_screens() {
  dbus-send --session --print-reply --dest=org.freedesktop.portal.Desktop /org/freedesktop/portal/desktop \
    org.freedesktop.DBus.Properties.Get string:org.freedesktop.portal.ScreenCast string:AvailableSourceTypes \
    2>/dev/null | grep -Eq 'uint32 [1-9]'
}
wait_for 30 offers_screens || skip "the desktop portal offers no screen sharing: $(tail -5 "$dir/portal.log")"

"$@"
