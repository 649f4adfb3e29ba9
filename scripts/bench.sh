#!/usr/bin/env bash
# Builds the benchmarks in Release, runs every one of them with repetitions, and prints one table
# of medians (with the ratio to curl where curl does the same work), then the whole-run figures.
#
#   scripts/bench.sh                 everything (about 13 minutes; the whole run alone is ~7)
#   WHOLE_RUN=0 scripts/bench.sh     the hot paths only
#   REPS=3 CARDS_PER_PAGE=50 ...     fewer repetitions, a smaller whole run (10 years x N cards)
#
# Benchmark output (CSV per suite, the whole-run report) is kept in $BUILD_DIR/bench-results.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${BUILD_DIR:-build-release}
REPS=${REPS:-5}
WHOLE_RUN=${WHOLE_RUN:-1}
CARDS_PER_PAGE=${CARDS_PER_PAGE:-200}
CANNED_CARDS_PER_PAGE=${CANNED_CARDS_PER_PAGE:-20}
FETCH_CARDS=${FETCH_CARDS:-200}

load() { cut -d' ' -f1-3 /proc/loadavg; }

echo "== machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), load $(load)"

# Release without -Werror: at -O3 g++ 12 reports false -Wrestrict warnings inside libstdc++.
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DSH_WERROR=OFF -DSH_BUILD_TESTS=ON \
  -DSH_BUILD_BENCH=ON >/dev/null
targets=(text_bench engine_bench compare_bench export_bench net_bench tls_bench demo_portal_bench app_bench
  whole_run demo-portal)
available=$(cmake --build "$BUILD_DIR" --target help | awk '{print $2}')
build=()
for t in "${targets[@]}"; do
  grep -qx "$t" <<<"$available" && build+=("$t")
done
cmake --build "$BUILD_DIR" -j"$(nproc)" --target "${build[@]}" >"$BUILD_DIR/bench-build.log" 2>&1 ||
  { tail -30 "$BUILD_DIR/bench-build.log"; exit 1; }

bin=$BUILD_DIR/bin
out=$BUILD_DIR/bench-results
mkdir -p "$out"
rm -f "$out"/*.json

run_suite() {  # name, then extra benchmark flags
  local name=$1
  shift
  [ -x "$bin/$name" ] || { echo "   ($name not built, skipped)"; return; }
  echo "-- $name (load $(load))" >&2
  QT_QPA_PLATFORM=offscreen "$bin/$name" --benchmark_repetitions="$REPS" \
    --benchmark_report_aggregates_only=true --benchmark_out="$out/$name.json" \
    --benchmark_out_format=json "$@" >"$out/$name.txt" 2>&1 ||
    echo "   $name failed, see $out/$name.txt" >&2
}

start_load=$(load)
run_suite text_bench
run_suite engine_bench
run_suite compare_bench
run_suite export_bench
run_suite net_bench
run_suite tls_bench
run_suite demo_portal_bench
# A million log lines per run: one run of it (its counters give the per-line costs), medians
# of the window-thread call.
run_suite app_bench --benchmark_filter=LogMillionLines --benchmark_repetitions=1
mv -f "$out/app_bench.json" "$out/app_bench_log.json" 2>/dev/null || true
run_suite app_bench --benchmark_filter=-LogMillionLines
end_load=$(load)

# One table: the median rows of every suite (the only row of a suite run once). Times are real (wall) and CPU time per iteration
# in the benchmark's own unit (curl runs as a child process, whose CPU the suite does not see);
# throughput from bytes or items per second; the ratio is the project's median real time over
# curl's for the same work.
echo
echo "== hot paths: medians of $REPS repetitions (load at start $start_load, at end $end_load)"
awk '
  function val(line) { sub(/^[^:]*: */, "", line); sub(/,$/, "", line); gsub(/"/, "", line); return line }
  function human(b) {
    if (b == "") return ""
    b = b + 0
    if (b >= 1e9) return sprintf("%.2f GB/s", b / 1e9)
    if (b >= 1e6) return sprintf("%.1f MB/s", b / 1e6)
    return sprintf("%.0f kB/s", b / 1e3)
  }
  FNR == 1 { suite = FILENAME; sub(/.*\//, "", suite); sub(/\.json$/, "", suite); sub(/_log$/, "", suite) }
  /^ *"name":/ { name = val($0); r = c = u = b = it = f1 = f2 = ""; kind = "" }
  /^ *"run_type":/ { kind = val($0) }
  /^ *"first100k_ns_per_line":/ { f1 = val($0) }
  /^ *"last100k_ns_per_line":/ { f2 = val($0) }
  /^ *"real_time":/ { r = val($0) }
  /^ *"cpu_time":/ { c = val($0) }
  /^ *"time_unit":/ { u = val($0) }
  /^ *"bytes_per_second":/ { b = val($0) }
  /^ *"items_per_second":/ { it = val($0) }
  /^ *}/ {
    if (name == "" || r == "" || (kind == "aggregate" && name !~ /_median$/)) next
    single = kind == "iteration"  # a suite run once: its only row stands for the median
    sub(/_median$/, "", name)
    gsub(/\/(min_time|repeats|iterations):[^\/]*/, "", name); gsub(/\/real_time/, "", name)
    if (single && (name in real)) next
    if (!(name in real)) { n++; order[n] = name; suiteOf[n] = suite }
    real[name] = r; cpu[name] = c; unit[name] = u; bps[name] = b; ips[name] = it
    if (f1 != "") lines[name] = sprintf("%.0f/%.0f ns/line", f1, f2)
    name = ""
  }
  END {
    pair["BM_GetFromNginx"] = "BM_CurlFromNginx"
    pair["BM_ClientHttpsGetNewConnection"] = "BM_CurlHttpsGetNewConnection"
    printf "%-18s %-34s %11s %11s %-4s %-16s %s\n", "suite", "benchmark", "real", "cpu", "unit", "throughput", "vs curl"
    for (i = 1; i <= n; i++) {
      k = order[i]; t = ""
      if (bps[k] != "") t = human(bps[k])
      else if (ips[k] != "") t = sprintf("%.3g items/s", ips[k])
      else if (k in lines) t = lines[k]
      x = ""
      if ((k in pair) && (pair[k] in real) && real[pair[k]] + 0 > 0) x = sprintf("%.2fx curl", real[k] / real[pair[k]])
      cp = k ~ /Curl/ ? "(child)" : sprintf("%.3f", cpu[k])
      printf "%-18s %-34s %11.3f %11s %-4s %-16s %s\n", suiteOf[i], k, real[k], cp, unit[k], t, x
    }
  }' "$out"/*.json

if [ "$WHOLE_RUN" != 0 ] && [ -x "$bin/whole_run" ]; then
  echo
  echo "== whole run (load $(load))"
  "$bin/whole_run" run --years 2016-2025 --pages-per-year 1 --cards-per-page "$CARDS_PER_PAGE" |
    tee "$out/whole_run.txt" | grep -v '^demo-portal\|^WHOLE_RUN'
  echo
  echo "== the engine's own cost: the same run on 10 x $CANNED_CARDS_PER_PAGE cards answered from memory (load $(load))"
  "$bin/whole_run" run --canned-cards --years 2016-2025 --pages-per-year 1 \
    --cards-per-page "$CANNED_CARDS_PER_PAGE" | tee "$out/whole_run_canned.txt" | grep -E 'CPU|fetched'
  echo
  echo "== the transport alone: $FETCH_CARDS cards, each on a new thread with a new fetcher, at the run's pace, and curl (load $(load))"
  "$bin/whole_run" fetch --count "$FETCH_CARDS" | tee "$out/fetch_alone.txt" | grep -E 'CPU|curl|failed'
  echo
  echo "== address lists alone"
  for n in 20000 300000; do
    "$bin/whole_run" lists "$n" | tee "$out/lists-$n.txt" | grep -v '^LISTS'
  done
  echo "   (load at the end $(load))"
fi
