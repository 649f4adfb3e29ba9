#!/usr/bin/env bash
# Resident memory of supplier-harvester-cli over a whole run of 2,000 cards against the demo
# portal (10 years x 1 list page x 200 cards, no faults), with the program's own pacing.
#   bash bench/cli/cli-memory.sh [BUILD_DIR]
# Samples VmRSS of the command once a second and prints the figures at the start of the card
# phase, at each quarter of the cards written, and the peak; the samples stay in
# BUILD_DIR/bench-cli-memory/rss.tsv (seconds, kB, rows written).
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build}
bin="$build/bin"
for f in supplier-harvester-cli demo-portal server-cert.pem server-key.pem ca.pem 01cert.pem 01key.pem; do
  [ -e "$bin/$f" ] || { echo "cli-memory: $bin/$f is missing; build supplier-harvester-cli demo-portal demo-certs" >&2; exit 1; }
done
abs_bin=$(cd "$bin" && pwd)
work="$build/bench-cli-memory"
rm -rf "$work"
mkdir -p "$work/out"
cp -f "$bin/01cert.pem" "$bin/01key.pem" "$work/"

"$bin/demo-portal" --port 0 --threads 16 --years 2016-2025 --pages-per-year 1 --cards-per-page 200 \
  --cert "$bin/server-cert.pem" --key "$bin/server-key.pem" --ca "$bin/ca.pem" \
  >"$work/portal.log" 2>&1 &
portal=$!
cli=
cleanup() {
  [ -n "$cli" ] && kill "$cli" 2>/dev/null || true
  kill "$portal" 2>/dev/null || true
  wait 2>/dev/null || true
}
trap cleanup EXIT
for _ in $(seq 1 100); do
  origin=$(grep -o 'https://[^ ]*' "$work/portal.log" | head -1 || true)
  [ -n "$origin" ] && break
  sleep 0.1
done
[ -n "$origin" ] || { echo "cli-memory: the demo portal did not start" >&2; cat "$work/portal.log" >&2; exit 1; }

(cd "$work" && exec "$abs_bin/supplier-harvester-cli" --quiet --origin "$origin" --output-dir out) \
  >"$work/stdout.txt" 2>"$work/stderr.txt" &
cli=$!
start=$(date +%s)
: >"$work/rss.tsv"
while kill -0 "$cli" 2>/dev/null; do
  rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$cli/status" 2>/dev/null || true)
  [ -n "$rss" ] || break
  rows=0
  csv=$(ls "$work"/out/data*.csv 2>/dev/null | head -1 || true)
  [ -n "$csv" ] && rows=$(($(wc -l <"$csv") - 1))
  printf '%s\t%s\t%s\n' "$(($(date +%s) - start))" "$rss" "$rows" >>"$work/rss.tsv"
  sleep 1
done
status=0
wait "$cli" || status=$?
cli=
echo "cli-memory: exit status $status after $(($(date +%s) - start)) s; $(tail -1 "$work/stderr.txt")"
awk -F'\t' '
  { t[NR] = $1; kb[NR] = $2; rows[NR] = $3; if ($2 > peak) peak = $2; if ($3 > total) total = $3 }
  END {
    if (NR == 0) { print "cli-memory: no samples"; exit 1 }
    for (i = 1; i <= NR; i++) if (rows[i] > 0) { first = i; break }
    printf "resident memory: card phase start %.1f MB", kb[first] / 1024
    for (q = 1; q <= 4; q++) {
      for (i = first; i <= NR; i++) if (rows[i] >= total * q / 4) break
      if (i > NR) i = NR
      printf ", %d/4 cards %.1f MB", q, kb[i] / 1024
    }
    printf ", peak %.1f MB; %d rows\n", peak / 1024, total
  }' "$work/rss.tsv"
