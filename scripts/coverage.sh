#!/usr/bin/env bash
# Coverage of src/ by the Linux unit and end-to-end tests (gcc --coverage,
# gcovr, HTML report in build/coverage/report/): fails unless every line of
# src/header, src/cli and src/io/io_posix.cc is covered (gcovr
# --fail-under-line), less those no test can reach, marked GCOVR_EXCL with the
# reason. Usage: bash scripts/coverage.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/targets.sh
# shellcheck disable=SC2046
ensure_packages $(needs linux coverage)
root=$PWD
build=build/coverage

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=gcc \
  -DCMAKE_CXX_COMPILER=g++ -DCMAKE_C_FLAGS="--coverage -O0" -DCMAKE_CXX_FLAGS="--coverage -O0" \
  -DCMAKE_EXE_LINKER_FLAGS=--coverage -DKEMBU_COVERAGE=ON >/dev/null
# Counts from earlier runs, and from the test listing the build itself runs,
# are dropped.
find "$build" -name '*.gcda' -delete
cmake --build "$build" -j 2
find "$build" -name '*.gcda' -delete
# Some end-to-end runs drop to the user nobody, whose kembu must still add its
# counts wherever the build tree lives (in /root, nobody cannot reach it): the
# counters go under /tmp, where kembu's exist, empty and writable to all,
# before any test starts, and come back beside the objects afterwards.
counters=$(mktemp -d /tmp/kembu-coverage.XXXXXX)
trap 'rm -rf "$counters"' EXIT
chmod 755 "$counters"
find "$root/$build/CMakeFiles/kembu.dir" "$root/$build/CMakeFiles/kembu_core.dir" -name '*.o' |
  sed 's/\.o$/.gcda/' | while read -r file; do
    mkdir -p "$counters${file%/*}" && install -m 0666 /dev/null "$counters$file"
  done
(cd "$build" && GCOV_PREFIX=$counters ctest --output-on-failure -j 2 --timeout 120 -L '^linux$' \
  --no-tests=error)
cp -r "$counters$root/$build/." "$build/"

echo "== lines left out by markers (each says why)"
grep -rn -E 'GCOVR_EXCL_(LINE|START)' src --exclude=io_win32.cc || echo "none"
# The floor: every line of these files, less the marked ones.
report=$build/report
mkdir -p "$report"
gcovr --root "$root" --object-directory "$build" --exclude-unreachable-branches \
  --filter "$root/src/header/" --filter "$root/src/cli/" --filter "$root/src/io/io_posix.cc" \
  --txt - --print-summary --html-details "$report/index.html" --fail-under-line 100 \
  "$build/CMakeFiles/kembu.dir" "$build/CMakeFiles/kembu_core.dir"
