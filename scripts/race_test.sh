#!/usr/bin/env bash
# Runs the race tests over and over, to show they pass every time: natively,
# and under Wine against both kembu.exe files. Uses the build that
# scripts/test.sh makes, and makes it first when it is not there. Usage:
#   bash scripts/race_test.sh [native repeats, default 20] [Wine repeats, default 5]
set -euo pipefail
cd "$(dirname "$0")/.."
native_repeats=${1:-20}
wine_repeats=${2:-5}

[ -f build/linux/CTestTestfile.cmake ] || bash scripts/test.sh --tests-only
cmake --build build/linux -j "$(nproc 2>/dev/null || echo 2)"

cd build/linux
echo "== native races, $native_repeats times"
time ctest -R '^linux\..*race' --repeat until-fail:"$native_repeats" --output-on-failure
if [[ $(ctest -N -R '^wine') == *race* ]]; then
  echo "== races under Wine, $wine_repeats times"
  time ctest -R '^wine(32)?\.prefix$|^wine(32)?\..*race' --repeat until-fail:"$wine_repeats" \
    --output-on-failure
else
  echo "No Windows build in build/linux's tests: the races ran natively only."
fi
