#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) in build/fuzz and runs
# each for a bounded time. Fails on any finding: a crash, a sanitizer report
# or a broken property check. Installs what is missing with apt-get when it can.
#
# Usage: bash scripts/fuzz.sh [TARGET...]     targets: command_line procedures
#        FUZZ_SECONDS=600 bash scripts/fuzz.sh procedures
#
# The seed corpus in tests/fuzz/corpus/TARGET is only read; what the fuzzer
# learns goes to build/fuzz/corpus/TARGET and is reused by the next run.
# Findings are kept in build/fuzz/findings/TARGET.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/fuzz
seconds=${FUZZ_SECONDS:-60}
all_targets=(command_line procedures)

usage() { sed -n '2,11s/^# \{0,1\}//p' "$0"; }
case ${1:-} in -h | --help) usage; exit 0 ;; esac

if [[ ! $seconds =~ ^[1-9][0-9]*$ ]]; then
  echo "FUZZ_SECONDS must be a whole number of seconds, not '$seconds'." >&2
  exit 2
fi
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all_targets[@]}")
for target in "${targets[@]}"; do
  case " ${all_targets[*]} " in
    *" $target "*) ;;
    *) usage >&2; echo "Unknown target '$target'." >&2; exit 2 ;;
  esac
done

source "$root/scripts/packages.sh"
ensure_packages cmake make clang libclang-rt-dev

echo "== building fuzzers in build/fuzz"
started=$SECONDS
cmake -S "$root" -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEMBU_BUILD_FUZZERS=ON -DKEMBU_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j 2 --target "${targets[@]/%/_fuzzer}" >/dev/null
echo "   built in $((SECONDS - started)) s"

failed=()
for target in "${targets[@]}"; do
  fuzzer=$build/tests/fuzz/${target}_fuzzer
  corpus=$build/corpus/$target
  findings=$build/findings/$target
  log=$build/logs/$target.log
  mkdir -p "$corpus" "$findings" "$(dirname "$log")"
  # Longer inputs add nothing: a name over 299 bytes is refused whole, and the
  # procedures' layout caps the image and KEMBU.BIN lengths.
  case $target in
    command_line) max_len=1024 ;;
    procedures) max_len=3076 ;;
  esac
  before=$(mktemp)
  echo "== fuzzing $target for $seconds s (log: ${log#"$root"/})"
  status=0
  "$fuzzer" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$findings/" \
    "$corpus" "$root/tests/fuzz/corpus/$target" >"$log" 2>&1 || status=$?
  grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)' "$log" | sed 's/^/   /' || true
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$log" |
    sed 's/^/   /' || true

  mapfile -t found < <(find "$findings" -type f -newer "$before")
  rm -f "$before"
  if [ "$status" -ne 0 ] || [ ${#found[@]} -gt 0 ]; then
    failed+=("$target")
    echo "!! $target FAILED (exit $status). End of its log:"
    tail -n 60 "$log" | sed 's/^/   /'
    for input in "${found[@]}"; do
      echo "!! finding: ${input#"$root"/} ($(stat -c %s "$input") bytes), base64:"
      base64 -w 0 "$input"
      echo
    done
    echo "!! reproduce (the fuzzer runs just the given input, with the full report):"
    echo "     ${fuzzer#"$root"/} ${found[0]:-FILE}" | sed "s|$root/||"
    echo "   from a CI log: base64 -d > finding.bin <<< 'BASE64' and run the fuzzer on finding.bin"
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "FUZZING FOUND PROBLEMS IN: ${failed[*]}"
  exit 1
fi
echo "== fuzzing found nothing in ${targets[*]} ($seconds s each)"
