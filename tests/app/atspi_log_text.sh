#!/usr/bin/env bash
# The program under a real X server with an accessibility bus: the log, as AT-SPI (what screen
# readers use) shows it, is an editable text object that holds what is typed into it.
# Shift+PgUp there makes the X11 primary selection, which another program then reads.
# Usage: atspi_log_text.sh PROGRAM_DIR WORK_DIR SELECTION_READER
#   (PROGRAM_DIR holds the program and its libraries)
set -euo pipefail
programdir=$1
work=$2
reader=$3
export LC_ALL=C.UTF-8
unset QT_QPA_PLATFORM

dir="$work/atspi-log"
rm -rf "$dir"
mkdir -p "$dir"
cp "$programdir/supplier-harvester" "$programdir"/libcrypto.so* "$programdir"/libssl.so* "$dir/"

# A display of our own; it, what the check starts (in `pids`) and "$dir" go at the end.
source "$(dirname "$0")/xvfb_display.sh"
trap 'stop_started "$dir"' EXIT
start_display "$dir"

# A session bus of our own, the accessibility bus on it, the program, then the screen reader's side.
dbus-run-session -- bash -c '
  set -euo pipefail
  /usr/libexec/at-spi-bus-launcher --launch-immediately >/dev/null 2>&1 &
  launcher=$!
  sleep 0.5
  /usr/libexec/at-spi2-registryd >/dev/null 2>&1 &
  registry=$!
  sleep 1
  export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QT_ACCESSIBILITY=1
  "'"$dir"'/supplier-harvester" >"'"$dir"'/out.txt" 2>&1 &
  program=$!
  status=0
  /usr/bin/python3 "'"$(dirname "$0")"'/atspi_log_text.py" $program "'"$reader"'" || status=$?
  [ $status -eq 0 ] || cat "'"$dir"'/out.txt"
  kill $program $registry $launcher 2>/dev/null || true
  wait $program 2>/dev/null || true
  exit $status
' 2> >(grep -v "Failed to set fd limit" >&2)
