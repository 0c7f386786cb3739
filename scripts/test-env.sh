# Sourced by the test and benchmark commands: starts what the tests need on this
# machine (Xvfb, a PulseAudio server with a null sink, the studio server) and
# stops it again on exit. Everything listens on loopback or a local socket only.
#   orvanta_env_start BUILD_DIR   orvanta_env_stop

ORVANTA_ENV_PIDS=()

orvanta_env_start() {
  local build_dir=$1
  export ORVANTA_ENV_DIR; ORVANTA_ENV_DIR=$(mktemp -d /tmp/orvanta-env.XXXXXX)

  # A display of our own, so tests never draw on the user's desktop.
  source "$(dirname "${BASH_SOURCE[0]}")/x-display.sh"
  orvanta_start_x "$ORVANTA_ENV_DIR/xvfb.log" Xvfb -screen 0 1920x1080x24 -nolisten tcp ||
    echo "warning: Xvfb did not start: $(cat "$ORVANTA_ENV_DIR/xvfb.log")" >&2
  ORVANTA_ENV_PIDS+=($ORVANTA_X_PID)
  export DISPLAY=:$ORVANTA_X_DISPLAY

  # A private sound server whose default output is a null sink.
  export XDG_RUNTIME_DIR="$ORVANTA_ENV_DIR/xdg"; mkdir -p "$XDG_RUNTIME_DIR"; chmod 700 "$XDG_RUNTIME_DIR"
  export PULSE_RUNTIME_PATH="$XDG_RUNTIME_DIR/pulse"
  orvanta_sound_config
  if command -v pulseaudio >/dev/null; then
    orvanta_start_sound
    export ORVANTA_PULSE=1
  fi

  # The studio server on loopback ports of the system's choosing (several runs
  # may share a machine); its start line names them.
  local studio="$build_dir/tools/orvanta-studio/orvanta-studio"
  if [ -x "$studio" ]; then
    local log="$ORVANTA_ENV_DIR/studio.log"
    "$studio" --srt 127.0.0.1:0 --http 127.0.0.1:0 --record "$ORVANTA_ENV_DIR/recordings" >"$log" 2>&1 &
    ORVANTA_ENV_PIDS+=($!)
    local line=""
    for _ in $(seq 100); do
      line=$(grep -m1 '^orvanta-studio: SRT ' "$log" 2>/dev/null) && break
      kill -0 "${ORVANTA_ENV_PIDS[-1]}" 2>/dev/null || break
      sleep 0.1
    done
    if [[ $line =~ SRT\ ([0-9.]+:[0-9]+),\ HTTP\ ([0-9.]+:[0-9]+) ]]; then
      export ORVANTA_STUDIO_SRT=${BASH_REMATCH[1]} ORVANTA_STUDIO_HTTP=${BASH_REMATCH[2]}
    else
      echo "warning: the studio server did not start: $(cat "$log")" >&2
    fi
  fi
}

# The server's and its clients' configuration, in place of the user's: no shared memory
# between them, so that every block goes through the socket. With shared memory
# (memfd) the server aborts now and then while clients come and go
# ("memblock_replace_import(). Aborting."), a fault of PulseAudio's own. No
# client starts a server of its own when ours is gone. Its state stays here too.
orvanta_sound_config() {
  export PULSE_CONFIG="$ORVANTA_ENV_DIR/pulse-daemon.conf" PULSE_CLIENTCONFIG="$ORVANTA_ENV_DIR/pulse-client.conf"
  export PULSE_STATE_PATH="$ORVANTA_ENV_DIR/pulse-state"
  printf '%s\n' "enable-shm = no" "enable-memfd = no" >"$PULSE_CONFIG"
  printf '%s\n' "enable-shm = no" "enable-memfd = no" "autospawn = no" >"$PULSE_CLIENTCONFIG"
}

orvanta_start_sound() {
  pulseaudio --daemonize=yes --exit-idle-time=-1 -n --disallow-exit --log-target="newfile:$ORVANTA_ENV_DIR/pulse.log" \
    --load="module-native-protocol-unix" \
    --load="module-null-sink sink_name=orvanta_null sink_properties=device.description=Orvanta_Null_Output" \
    >"$ORVANTA_ENV_DIR/pulse.out" 2>&1 || echo "warning: pulseaudio did not start: $(cat "$ORVANTA_ENV_DIR/pulse.out")" >&2
}

# After each test run (named by the argument): a sound server that stopped
# answering is reported with the end of its log and started again, so that one
# fault does not fail every suite after it. False when it had stopped.
orvanta_env_check_sound() {
  [ -n "${ORVANTA_PULSE:-}" ] || return 0
  timeout 10 pactl info >/dev/null 2>&1 && return 0
  echo "warning: the sound server stopped answering ${1:-}; the end of its log:" >&2
  tail -n 20 "$ORVANTA_ENV_DIR/pulse.log" >&2 2>/dev/null
  orvanta_stop_sound
  orvanta_start_sound
  return 1
}

# Waits for the server to end: it writes its log to the end.
orvanta_stop_sound() {
  pulseaudio --kill >/dev/null 2>&1 || true
  for _ in $(seq 50); do pulseaudio --check 2>/dev/null || return 0; sleep 0.1; done
}

orvanta_env_stop() {
  local pid
  for pid in "${ORVANTA_ENV_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${ORVANTA_ENV_PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  ORVANTA_ENV_PIDS=()
  if [ -n "${PULSE_RUNTIME_PATH:-}" ]; then orvanta_stop_sound; fi
  [ -n "${ORVANTA_ENV_DIR:-}" ] && rm -rf "$ORVANTA_ENV_DIR"
}
