#!/usr/bin/env bash
# The clang checks, in one tree (build/clang, all of it under ASan and UBSan):
# kembu, its tests and the libFuzzer targets built with -Werror, the tool's
# code analysed as it compiles (clang-tidy, .clang-tidy; cppcheck,
# .cppcheck-suppressions), and the Windows platform file for the mingw-w64
# targets; then every Linux test, and each fuzzer for FUZZ_SECONDS (60).
# Also the path of a build this machine cannot run: one Windows tree that
# scripts/test.sh built is taken as such (KEMBU_CANNOT_RUN), and each of its
# tests that would run a program must be a skip. Fails on any finding. The seed corpus in tests/fuzz/corpus/TARGET is only
# read; what a fuzzer learns goes to build/clang/corpus/TARGET for the next
# run, its findings to build/clang/findings/TARGET.
# Usage: [FUZZ_SECONDS=600] bash scripts/check-clang.sh
set -euo pipefail
shopt -s nullglob
cd "$(dirname "$0")/.."
source scripts/targets.sh
# shellcheck disable=SC2046
ensure_packages $(needs linux clang)
root=$PWD
build=build/clang
status=0

# The last Windows target whose tree is built (the 32-bit one, which a
# kernel without 32-bit support cannot run) stands for every such target.
unrun=
for target in "${targets[@]}"; do
  [ "${row_system[$target]}" != windows ] || [ ! -f "build/$target/target.txt" ] || unrun=$target
done

cppcheck=(cppcheck --enable=warning,style,performance,portability --error-exitcode=1
  --inline-suppr --suppressions-list="$root/.cppcheck-suppressions" --std=c++17 --language=c++ -q)
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
  -DKEMBU_BUILD_FUZZERS=ON -DCMAKE_CXX_CLANG_TIDY="clang-tidy;--quiet" \
  -DKEMBU_TARGET_TREES="${unrun:+$root/build/$unrun}" -DKEMBU_CANNOT_RUN="$unrun" \
  -DCMAKE_CXX_CPPCHECK="$(IFS=';'; echo "${cppcheck[*]};--library=posix;-U_WIN32")" >/dev/null
cmake --build "$build" -j 2 || status=1

# A file the Linux build does not compile would escape the analysis.
windows_file=src/io/io_win32.cc
while IFS= read -r file; do
  grep -q "\"file\": \"$root/$file\"" "$build/compile_commands.json" ||
    { echo "check-clang: $file is not in the Linux build; analyse it here" >&2; status=1; }
done < <(find src -name '*.cc' ! -path "$windows_file" | sort)

# The mingw targets, with the cross compiler's own header directories. memset
# and memcpy keep the C library's signatures and reserved parameter names, so
# the two checks about parameters are off for this file alone.
for triple in x86_64-w64-mingw32 i686-w64-mingw32; do
  compiler=$triple-g++-posix
  command -v "$compiler" >/dev/null || { echo "== no $compiler: $triple not analysed"; continue; }
  mapfile -t cxx_includes < <("$compiler" -xc++ -E -v /dev/null 2>&1 |
    sed -n '/<...> search starts/,/End of search/p' | grep '^ .*/c++' | sed 's/^ /-isystem/')
  echo "== clang-tidy ($triple)"
  off=-bugprone-easily-swappable-parameters,-readability-inconsistent-declaration-parameter-name
  clang-tidy --quiet "$windows_file" --checks="$off" -- --target="$triple" \
    --sysroot="/usr/$triple" "${cxx_includes[@]}" \
    -std=c++17 -Isrc -fno-exceptions -fno-rtti 2> >(grep -v "warnings generated" >&2) || status=1
done
echo "== cppcheck (Windows)"
"${cppcheck[@]}" -Isrc --library=windows --platform=win64 -D_WIN32 -D_WIN64 "$windows_file" ||
  status=1
"${cppcheck[@]}" -Isrc --library=windows --platform=win32A -D_WIN32 "$windows_file" || status=1

[ "$status" = 0 ] || exit 1
# kembu ends with _exit, so a report must end the process on the spot: abort
# turns it into a crash the end-to-end harness sees as a wrong wait status.
(
  export UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1
  asan=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1
  export ASAN_OPTIONS=$UBSAN_OPTIONS:$asan
  cd "$build" && ctest --output-on-failure -j 2 --timeout 120 -L '^linux$' --no-tests=error
) || status=1

if [ -z "$unrun" ]; then
  echo "== no Windows tree built: the path of a build not run here is not tried"
else
  label=$unrun
  echo "== $unrun, as if this machine could not run it: its runs must be skips"
  log=$build/not-run.log
  (cd "$build" && ctest -j 2 -L "^$label\$" --no-tests=error) >"$log" 2>&1 || status=1
  ran=$(grep -E "Test +#[0-9]+: $label\.(e2e|unit_tests|prefix|nobody_prefix)[ .].* Passed" "$log" ||
    true)
  skipped=$(grep -c "^[[:space:]]*[0-9]* - $label\..*(Skipped)$" "$log" || true)
  [ -z "$ran" ] && [ "$skipped" -gt 0 ] ||
    { status=1; cat "$log"; echo "!! $skipped skipped; run all the same: ${ran:-none}"; }
  echo "   $(grep 'tests passed' "$log"): $skipped skipped, $(grep -c " Passed " "$log") passed" \
    "(the checks that run no program)"
fi

for target in command_line procedures; do
  findings=$build/findings/$target
  log=$build/$target.log
  mkdir -p "$build/corpus/$target" "$findings"
  # Longer inputs add nothing: a name over 299 bytes is refused whole, and the
  # procedures' layout caps the image and KEMBU.BIN lengths.
  max_len=1024
  [ "$target" = command_line ] || max_len=3076
  echo "== fuzzing $target for ${FUZZ_SECONDS:-60} s (log: $log)"
  if "$build/tests/fuzz/${target}_fuzzer" -max_total_time="${FUZZ_SECONDS:-60}" \
      -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$findings/" "$build/corpus/$target" "tests/fuzz/corpus/$target" >"$log" 2>&1
  then
    grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | sed 's/^/   /'
    continue
  fi
  status=1
  echo "!! $target FAILED. End of its log:"
  tail -n 60 "$log" | sed 's/^/   /'
  # A CI log keeps each finding as base64: base64 -d >finding.bin, then run
  # the fuzzer on finding.bin alone for the full report.
  for input in "$findings"/*; do echo "!! finding: $input, base64: $(base64 -w 0 "$input")"; done
done
exit "$status"
