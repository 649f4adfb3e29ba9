# Sourced by the checks under a real X server. start_display DIR starts an Xvfb of the check's
# own (the server picks a free number and writes it to fd 3), adds its pid to `pids` and exports
# DISPLAY; it fails when no server comes up. stop_started DIR ends every process in `pids` and
# removes DIR.
pids=()

stop_started() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$1"
}

start_display() {
  local dir=$1
  : >"$dir/display"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$dir/display" >/dev/null 2>&1 &
  pids+=($!)
  local display="" n
  for _ in $(seq 1 100); do
    n=$(tr -dc '0-9' <"$dir/display" 2>/dev/null || true)
    if [ -n "$n" ] && xwininfo -root -display ":$n" >/dev/null 2>&1; then display=":$n"; break; fi
    sleep 0.1
  done
  [ -n "$display" ] || { echo "no X server could be started"; return 1; }
  export DISPLAY=$display
}
