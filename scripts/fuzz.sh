#!/usr/bin/env bash
# fuzz.sh [SECONDS]
# Builds the pure rules natively with clang, ASan, UBSan and libFuzzer and runs
# every harness for SECONDS each (default 300; CI runs a short pass). Each
# starts from its checked-in seeds (tests/fuzz/corpus/HARNESS) and dictionary
# (tests/fuzz/HARNESS.dict); what it finds new is kept in build/fuzz/corpus.
# Prints the executions and the coverage (edges, features) of each and fails
# on the first finding, leaving the crashing input under build/fuzz/findings.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
cd "$quentra_repo"
seconds=${1:-300}
scripts/bootstrap.sh
out=build/fuzz
# A tree configured from tests/fuzz alone, as it once was, is configured anew.
grep -qsx "CMAKE_HOME_DIRECTORY:INTERNAL=$PWD" "$out/CMakeCache.txt" || rm -f "$out/CMakeCache.txt"
quentra_build fuzz
mkdir -p "$out/findings"
total=0
for harness in "$out"/bin/fuzz_*; do
  [ -x "$harness" ] || continue
  name=$(basename "$harness")
  seeds=tests/fuzz/corpus/$name
  dict=tests/fuzz/$name.dict
  [ -d "$seeds" ] && [ -f "$dict" ] || { echo "fuzz: $name has no seeds in $seeds or no $dict"; exit 1; }
  mkdir -p "$out/corpus/$name"
  log="$out/$name.log"
  if ! "$harness" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -artifact_prefix="$out/findings/$name-" \
       -dict="$dict" -print_final_stats=1 "$out/corpus/$name" "$seeds" >"$log" 2>&1; then
    echo "fuzz: $name FOUND A FAULT:"; tail -30 "$log"; exit 1
  fi
  runs=$(grep -oE 'Done [0-9]+ runs' "$log" | grep -oE '[0-9]+' || echo 0)
  cov=$(grep -E '^#[0-9]+' "$log" | tail -1 | grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+' || echo 'cov: ?')
  total=$((total + runs))
  printf 'fuzz: %-14s %10s executions in %ss, %s, no finding\n' "$name" "$runs" "$seconds" "$cov"
done
echo "fuzz: $total executions in all, no finding"
