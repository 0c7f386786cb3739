# Sourced by the scripts that start X servers of their own (the test
# environment, the desktop runs, the portable check).
#   orvanta_start_x LOG PROGRAM [ARGUMENTS...]
# Starts an X server (Xvfb, Xephyr) with -displayfd, so that the server itself
# takes the first free display number under its own lock: servers started
# side by side never end up sharing one, as they could when a script picked a
# number that merely looked free. Waits until it listens; sets ORVANTA_X_DISPLAY
# to the number and ORVANTA_X_PID to the process. Returns non-zero when the
# server did not come up (its output is in LOG).
orvanta_start_x() {
  local log=$1
  shift
  local numbers
  numbers=$(mktemp)
  "$@" -displayfd 3 3>"$numbers" >"$log" 2>&1 &
  ORVANTA_X_PID=$!
  ORVANTA_X_DISPLAY=""
  local _
  for _ in $(seq 200); do
    # The server writes the number and a newline once it listens.
    if [ "$(wc -l <"$numbers")" -ge 1 ]; then
      ORVANTA_X_DISPLAY=$(head -n1 "$numbers" | tr -dc 0-9)
      break
    fi
    kill -0 "$ORVANTA_X_PID" 2>/dev/null || break
    sleep 0.05
  done
  rm -f "$numbers"
  [ -n "$ORVANTA_X_DISPLAY" ]
}
