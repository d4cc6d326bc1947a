#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) in build/fuzz and runs
# each for a bounded time. Fails on any finding: a crash, a sanitizer report
# or a broken property check.
# Usage: [FUZZ_SECONDS=60] bash scripts/fuzz.sh [command_line] [procedures]
# The seed corpus in tests/fuzz/corpus/TARGET is only read; what the fuzzer
# learns goes to build/fuzz/corpus/TARGET and is reused by the next run.
# Findings are kept in build/fuzz/findings/TARGET.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/fuzz
seconds=${FUZZ_SECONDS:-60}
targets=("$@")
[ $# -gt 0 ] || targets=(command_line procedures)
source scripts/packages.sh
ensure_packages cmake make clang libclang-rt-dev

echo "== building fuzzers in build/fuzz"
cmake -S "$root" -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEMBU_BUILD_FUZZERS=ON -DKEMBU_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j 2 --target "${targets[@]/%/_fuzzer}" >/dev/null

failed=()
for target in "${targets[@]}"; do
  fuzzer=$build/tests/fuzz/${target}_fuzzer
  findings=$build/findings/$target
  log=$build/logs/$target.log
  mkdir -p "$build/corpus/$target" "$findings" "$build/logs"
  # Longer inputs add nothing: a name over 299 bytes is refused whole, and the
  # procedures' layout caps the image and KEMBU.BIN lengths.
  max_len=1024
  [ "$target" = command_line ] || max_len=3076
  before=$(mktemp)
  echo "== fuzzing $target for $seconds s (log: ${log#"$root"/})"
  status=0
  "$fuzzer" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$findings/" \
    "$build/corpus/$target" "$root/tests/fuzz/corpus/$target" >"$log" 2>&1 || status=$?
  grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)|^stat::(number_of_executed_units|average_exec)' \
    "$log" | sed 's/^/   /' || true
  mapfile -t found < <(find "$findings" -type f -newer "$before")
  rm -f "$before"
  if [ "$status" -ne 0 ] || [ ${#found[@]} -gt 0 ]; then
    failed+=("$target")
    echo "!! $target FAILED (exit $status). End of its log:"
    tail -n 60 "$log" | sed 's/^/   /'
    # A CI log keeps each finding as base64: base64 -d >finding.bin, then run
    # the fuzzer on finding.bin alone for the full report.
    for input in "${found[@]}"; do
      echo "!! finding: ${input#"$root"/}, base64: $(base64 -w 0 "$input")"
    done
  fi
done
[ ${#failed[@]} -eq 0 ] || { echo "FUZZING FOUND PROBLEMS IN: ${failed[*]}"; exit 1; }
echo "== fuzzing found nothing in ${targets[*]} ($seconds s each)"
