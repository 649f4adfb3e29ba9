#!/usr/bin/env bash
# Runs the harvester against the bundled demo portal on this machine: installs what is missing,
# builds, makes the demo certificates, starts the demo portal, and starts the program from a
# working folder holding 01cert.pem and 01key.pem. The portal is stopped when the program exits.
# With a display the window opens; without one the command supplier-harvester-cli runs the test
# export, its log in the terminal, then the result file's path and its first rows.
# The result file data<N>.csv and the log file log-<N>.txt appear beside the program (build/bin).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/install-deps.sh

build_dir=${BUILD_DIR:-build}
case "$build_dir" in /*) ;; *) build_dir="$root/$build_dir" ;; esac
headless=0
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then headless=1; fi
program=supplier-harvester
[ "$headless" = 1 ] && program=supplier-harvester-cli
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build_dir" -j"$(nproc)" --target "$program" demo-portal

bin="$build_dir/bin"
pki="$build_dir/demo-pki"
bash tools/demo-portal/make-certs.sh "$pki"

# The program is built for one portal origin; the demo portal listens there.
origin=$(sed -n 's/^PORTAL_ORIGIN:[A-Z]*=//p' "$build_dir/CMakeCache.txt")
origin=${origin:-https://localhost:8443}
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
"$bin/demo-portal" --port "$port" --cert "$pki/server-cert.pem" --key "$pki/server-key.pem" \
  --ca "$pki/ca.pem" --origin "$origin" >"$portal_log" 2>&1 &
portal_pid=$!
stop_portal() {
  if kill -0 "$portal_pid" 2>/dev/null; then
    kill "$portal_pid" 2>/dev/null || true
    wait "$portal_pid" 2>/dev/null || true
  fi
}
trap stop_portal EXIT

for _ in $(seq 1 100); do
  if grep -q "listening" "$portal_log" 2>/dev/null; then break; fi
  if ! kill -0 "$portal_pid" 2>/dev/null; then
    echo "run-demo: the demo portal did not start:" >&2
    cat "$portal_log" >&2
    exit 1
  fi
  sleep 0.1
done
echo "run-demo: demo portal at $origin (log: $portal_log)"

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
