#!/usr/bin/env bash
# Builds the benchmarks in Release, runs every one of them with repetitions, and prints one table
# of medians (with the ratio to curl where curl does the same work), then the whole-run figures.
#
#   scripts/bench.sh                 everything (about 10 minutes; the whole run alone is ~7)
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

load() { cut -d' ' -f1-3 /proc/loadavg; }

echo "== machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), load $(load)"

# Release without -Werror: at -O3 g++ 12 reports false -Wrestrict warnings inside libstdc++.
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DSH_WERROR=OFF -DSH_BUILD_TESTS=ON \
  -DSH_BUILD_BENCH=ON >/dev/null
targets=(text_bench engine_bench net_bench tls_bench demo_portal_bench whole_run demo-portal)
[ -f bench/app/CMakeLists.txt ] && targets+=(app_bench)
available=$(cmake --build "$BUILD_DIR" --target help | awk '{print $2}')
build=()
for t in "${targets[@]}"; do
  grep -qx "$t" <<<"$available" && build+=("$t")
done
cmake --build "$BUILD_DIR" -j"$(nproc)" --target "${build[@]}" >/dev/null

bin=$BUILD_DIR/bin
out=$BUILD_DIR/bench-results
mkdir -p "$out"
rm -f "$out"/*.csv

run_suite() {  # name, then extra benchmark flags
  local name=$1
  shift
  [ -x "$bin/$name" ] || { echo "   ($name not built, skipped)"; return; }
  echo "-- $name (load $(load))" >&2
  QT_QPA_PLATFORM=offscreen "$bin/$name" --benchmark_repetitions="$REPS" \
    --benchmark_report_aggregates_only=true --benchmark_out="$out/$name.csv" \
    --benchmark_out_format=csv "$@" >"$out/$name.txt" 2>&1 ||
    echo "   $name failed, see $out/$name.txt" >&2
}

start_load=$(load)
run_suite text_bench
run_suite engine_bench
run_suite net_bench
run_suite tls_bench
run_suite demo_portal_bench
run_suite app_bench
end_load=$(load)

# One table: the median rows of every suite. Times are real (wall) and CPU time per iteration
# in the benchmark's own unit; throughput from bytes or items per second; the ratio is the
# project's median real time over curl's for the same work.
echo
echo "== hot paths: medians of $REPS repetitions (load at start $start_load, at end $end_load)"
awk -F, '
  function unq(s) { gsub(/^"|"$/, "", s); return s }
  function human(b) {
    if (b == "") return ""
    if (b >= 1e9) return sprintf("%.2f GB/s", b / 1e9)
    if (b >= 1e6) return sprintf("%.1f MB/s", b / 1e6)
    return sprintf("%.0f kB/s", b / 1e3)
  }
  FNR == 1 { suite = FILENAME; sub(/.*\//, "", suite); sub(/\.csv$/, "", suite); next }
  {
    name = unq($1)
    if (name !~ /_median$/) next
    sub(/_median$/, "", name)
    n++; order[n] = name; suiteOf[n] = suite
    real[name] = $3; cpu[name] = $4; unit[name] = unq($5)
    bps[name] = $6; ips[name] = $7
  }
  END {
    pair["BM_GetFromNginx"] = "BM_CurlFromNginx"
    pair["BM_ClientHttpsGetNewConnection"] = "BM_CurlHttpsGetNewConnection"
    printf "%-18s %-44s %12s %12s %-4s %-14s %s\n", "suite", "benchmark", "real", "cpu", "unit", "throughput", "vs curl"
    for (i = 1; i <= n; i++) {
      b = order[i]; t = ""
      if (bps[b] != "") t = human(bps[b])
      else if (ips[b] != "") t = sprintf("%.3g items/s", ips[b])
      r = ""
      if (b in pair && (pair[b] in real) && real[pair[b]] > 0)
        r = sprintf("%.2fx curl", real[b] / real[pair[b]])
      printf "%-18s %-44s %12.3f %12.3f %-4s %-14s %s\n", suiteOf[i], b, real[b], cpu[b], unit[b], t, r
    }
  }' "$out"/*.csv

if [ "$WHOLE_RUN" != 0 ] && [ -x "$bin/whole_run" ]; then
  echo
  echo "== whole run (load $(load))"
  "$bin/whole_run" run --years 2016-2025 --pages-per-year 1 --cards-per-page "$CARDS_PER_PAGE" |
    tee "$out/whole_run.txt" | grep -v '^demo-portal\|^WHOLE_RUN'
  for n in 20000 300000; do
    "$bin/whole_run" lists "$n" | tee "$out/lists-$n.txt" | grep -v '^LISTS'
  done
  echo "   (load at the end $(load))"
fi
