#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, with AddressSanitizer and UBSan) in build-fuzz/ and runs
# each for a bounded time, starting from the seed corpus in fuzz/corpus/<target>/ and, for a
# target whose seeds are the tests' fixtures, from those (see shared_seeds below).
#   bash scripts/fuzz.sh             20 seconds per target (the CI gate)
#   bash scripts/fuzz.sh 600         ten minutes per target
#   bash scripts/fuzz.sh 60 fuzz_url one target
# New inputs go to build-fuzz/corpus/<target>/, crashes, leaks and hangs to
# build-fuzz/artifacts/ (replay one with: build-fuzz/fuzz/<target> <file>). Any finding fails
# the script.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_EACH=${1:-20}
shift || true
DIR=${FUZZ_DIR:-build-fuzz}

CC=clang CXX=clang++ cmake -S . -B "$DIR" -DCMAKE_BUILD_TYPE=Debug -DSH_FUZZ=ON \
  -DSH_BUILD_TESTS=OFF -DSH_BUILD_BENCH=OFF \
  -DSH_SANITIZE=fuzzer-no-link,address,undefined \
  -DCMAKE_CXX_FLAGS="-O1 -fno-sanitize-recover=undefined" >/dev/null
cmake --build "$DIR" -j"$(nproc)" --target fuzz_targets

if [ $# -gt 0 ]; then targets=("$@"); else
  targets=()
  for f in fuzz/fuzz_*.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi

# Seeds kept once, as test fixtures, instead of a copy under fuzz/corpus/.
declare -A shared_seeds=([fuzz_supplier_card]=tests/text/data/card.html)

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
failed=()
mkdir -p "$DIR/artifacts"
for t in "${targets[@]}"; do
  mkdir -p "$DIR/corpus/$t"
  seeds=()
  if [ -d "fuzz/corpus/$t" ]; then seeds+=("fuzz/corpus/$t"); fi
  if [ -n "${shared_seeds[$t]:-}" ]; then cp -f "${shared_seeds[$t]}" "$DIR/corpus/$t/"; fi
  echo "fuzz: $t for ${SECONDS_EACH}s"
  if ! "$DIR/fuzz/$t" -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 \
        -max_len=65536 -print_final_stats=1 -artifact_prefix="$DIR/artifacts/$t-" \
        "$DIR/corpus/$t" "${seeds[@]}" >"$DIR/$t.log" 2>&1; then
    failed+=("$t")
    tail -n 60 "$DIR/$t.log"
  else
    grep -E '^stat::number_of_executed_units|^#[0-9]+.*DONE' "$DIR/$t.log" | tail -n 2 || true
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: findings in ${failed[*]} (see $DIR/artifacts/)" >&2
  exit 1
fi
echo "fuzz: ${#targets[@]} targets clean"
