#!/usr/bin/env bash
# The program under a real X server: the refusal box's title as the window system sees it is
# exactly "Внимание!", and the toolkit's own command-line options change nothing.
# Usage: refusal_box_title.sh PROGRAM WORK_DIR
set -euo pipefail
program=$1
work=$2
for tool in Xvfb xprop xwininfo; do
  command -v "$tool" >/dev/null || { echo "refusal_box_title: $tool is missing; scripts/install-deps.sh installs it" >&2; exit 1; }
done
export LC_ALL=C.UTF-8
unset QT_QPA_PLATFORM

# A program folder without the crypto library: the start-up refuses with its box.
dir="$work/refusal-title"
rm -rf "$dir"
mkdir -p "$dir"
cp "$program" "$dir/"
bin="$dir/$(basename "$program")"

# A display of our own; it, what the check starts (in `pids`) and "$dir" go at the end.
source "$(dirname "$0")/xvfb_display.sh"
trap 'stop_started "$dir"' EXIT
start_display "$dir"

# The titles (_NET_WM_NAME) of the program's top-level windows that are shown.
titles() {
  xwininfo -root -children | sed -n 's/^ *\(0x[0-9a-f]*\) .*/\1/p' | while read -r id; do
    xwininfo -id "$id" 2>/dev/null | grep -q 'Map State: IsViewable' || continue
    xprop -id "$id" _NET_WM_NAME 2>/dev/null | sed -n 's/^_NET_WM_NAME(UTF8_STRING) = "\(.*\)"$/\1/p'
  done
}

failures=0
run_case() {
  local name=$1
  shift
  "$bin" "$@" >"$dir/out.txt" 2>&1 &
  local pid=$!
  pids+=($pid)
  local seen=""
  for _ in $(seq 1 100); do
    seen=$(titles)
    [ -n "$seen" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if [ "$seen" = "Внимание!" ]; then
    echo "ok: $name"
  else
    echo "FAILED: $name: shown titles: [${seen//$'\n'/] [}]"
    cat "$dir/out.txt"
    failures=$((failures + 1))
  fi
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

run_case "no arguments"
run_case "toolkit options are not read" -qwindowtitle "Чужой заголовок" -reverse -style fusion -platform offscreen
run_case "unknown platform option is not read" -platform nosuchplatform

[ "$failures" -eq 0 ]
