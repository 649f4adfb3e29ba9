#!/usr/bin/env bash
# Runs the harvester against the bundled demo portal on this machine: installs what is missing,
# builds, makes the demo certificates, starts the demo portal, and starts the program from a
# working folder holding 01cert.pem and 01key.pem. The portal is stopped when the program exits.
# With a display the window opens; without one the command supplier-harvester-cli runs the test
# export, its log in the terminal, then the result file's path and its first rows.
# The result file data<N>.csv and the log file log-<N>.txt appear beside the program (build/bin).
#
#   scripts/run-demo.sh --flow   keeping a harvest current, with supplier-harvester-cli: a
#                                harvest of the demo register at revision 0, then at revision 1 an
#                                update of it and a full harvest, and the changes of each against
#                                the first (build/demo-flow)
set -euo pipefail
flow=0
[ "${1:-}" = --flow ] && flow=1
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/install-deps.sh

build_dir=${BUILD_DIR:-build}
case "$build_dir" in /*) ;; *) build_dir="$root/$build_dir" ;; esac
headless=0
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then headless=1; fi
program=supplier-harvester
[ "$headless" = 1 ] || [ "$flow" = 1 ] && program=supplier-harvester-cli
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build_dir" -j"$(nproc)" --target "$program" demo-portal

bin="$build_dir/bin"
pki="$build_dir/demo-pki"
bash tools/demo-portal/make-certs.sh "$pki"

# The program is built for one portal origin; the demo portal listens there.
origin=$(sed -n 's/^PORTAL_ORIGIN:[A-Z]*=//p' "$build_dir/CMakeCache.txt")
[ -n "$origin" ] || { echo "run-demo.sh: no PORTAL_ORIGIN in $build_dir/CMakeCache.txt" >&2; exit 1; }
hostport=${origin#*://}
hostport=${hostport%%/*}
port=${hostport##*:}
[ "$port" = "$hostport" ] && port=443

if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
  echo "run-demo: port $port is already in use; stop what listens there, or build with another PORTAL_ORIGIN" >&2
  exit 1
fi

work="$build_dir/demo-run"
mkdir -p "$work"
cp -f "$pki/01cert.pem" "$pki/01key.pem" "$work/"

portal_log="$build_dir/demo-portal.log"
portal_pid=
stop_portal() {
  if [ -n "$portal_pid" ] && kill -0 "$portal_pid" 2>/dev/null; then
    kill "$portal_pid" 2>/dev/null || true
    wait "$portal_pid" 2>/dev/null || true
  fi
  portal_pid=
}
trap stop_portal EXIT
start_portal() {  # extra options of the demo portal
  "$bin/demo-portal" --port "$port" --cert "$pki/server-cert.pem" --key "$pki/server-key.pem" \
    --ca "$pki/ca.pem" --origin "$origin" "$@" >"$portal_log" 2>&1 &
  portal_pid=$!
  for _ in $(seq 1 100); do
    if grep -q "listening" "$portal_log" 2>/dev/null; then break; fi
    if ! kill -0 "$portal_pid" 2>/dev/null; then
      echo "run-demo: the demo portal did not start:" >&2
      cat "$portal_log" >&2
      exit 1
    fi
    sleep 0.1
  done
  echo "run-demo: demo portal at $origin $* (log: $portal_log)"
}

if [ "$flow" = 1 ]; then
  # A small register (two years, one list page of 20 cards each) so that each harvest takes
  # seconds at the program's pace; the separate mode, so that activities are known.
  flow_dir="$build_dir/demo-flow"
  rm -rf "$flow_dir"
  mkdir -p "$flow_dir/out"
  cp -f "$pki/01cert.pem" "$pki/01key.pem" "$flow_dir/"
  cd "$flow_dir"
  year=$(date +%Y)
  register=(--years "$((year - 1))-$year" --pages-per-year 1 --cards-per-page 20 --inactive-per-type 2)
  cli=("$bin/supplier-harvester-cli" --quiet --origin "$origin" --output-dir "$flow_dir/out"
       --separate --active --inactive)
  result_of() { sed -n 's/^Файл результата: //p' "$1" | tail -n 1; }

  start_portal "${register[@]}" --revision 0
  echo "run-demo: 1. a full harvest at revision 0"
  "${cli[@]}" >harvest0.log 2>harvest0.err || { cat harvest0.err; exit 1; }
  first=$(result_of harvest0.err)
  stop_portal

  start_portal "${register[@]}" --revision 1
  echo "run-demo: 2. an update of $first at revision 1 (only new cards are fetched)"
  "${cli[@]}" --update "$first" >update1.log 2>update1.err || { cat update1.err; exit 1; }
  grep -o "Из файла .*" update1.log
  updated=$(result_of update1.err)
  echo "run-demo: 3. a full harvest at revision 1 (every card fetched again)"
  "${cli[@]}" >harvest1.log 2>harvest1.err || { cat harvest1.err; exit 1; }
  full=$(result_of harvest1.err)
  stop_portal

  echo "run-demo: 4. the changes: the update shows new, gone and activity; the full harvest every change"
  "$bin/supplier-harvester-cli" --compare "$first" "$updated"
  "$bin/supplier-harvester-cli" --compare "$first" "$full"
  "$bin/supplier-harvester-cli" --compare "$first" "$full" --output "$flow_dir/out/changes.csv"
  echo "run-demo: the long form of the full harvest's changes ($flow_dir/out/changes.csv):"
  cat "$flow_dir/out/changes.csv"
  echo "run-demo: workbooks: ${updated%.csv}-changes.xlsx and ${full%.csv}-changes.xlsx"
  exit 0
fi

start_portal

cd "$work"
status=0
if [ "$headless" = 1 ]; then
  echo "run-demo: no display (DISPLAY and WAYLAND_DISPLAY are empty): running the test export with supplier-harvester-cli"
  started=$(date +%s)
  "$bin/supplier-harvester-cli" --test || status=$?
  result=$(find "$bin" -maxdepth 1 -name 'data*.csv' -newermt "@$((started - 1))" -printf '%T@ %p\n' |
           sort -n | tail -1 | cut -d' ' -f2-)
  echo "run-demo: command ended (exit code $status)"
  if [ -n "$result" ]; then
    echo "run-demo: result file $result; its first rows:"
    head -n 4 "$result"
  fi
else
  "$bin/supplier-harvester" || status=$?
  echo "run-demo: program ended (exit code $status); results and logs are in $bin"
fi
exit "$status"
