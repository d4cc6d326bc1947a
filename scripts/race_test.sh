#!/usr/bin/env bash
# Builds kembu as scripts/test.sh does and runs the race tests over and over,
# to show they pass every time: natively, and under Wine against kembu.exe.
# Needs what scripts/test.sh installs. Usage:
#   bash scripts/race_test.sh [native repeats, default 20] [Wine repeats, default 5]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
native_repeats=${1:-20}
wine_repeats=${2:-5}
jobs=$(nproc 2>/dev/null || echo 2)
wine=/usr/lib/wine/wine64

windows_dir=""
if command -v x86_64-w64-mingw32-g++-posix >/dev/null && [ -x "$wine" ]; then
  cmake -S "$root" -B build/win64 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
  cmake --build build/win64 -j "$jobs"
  windows_dir=$root/build/win64
else
  echo "No mingw-w64 or Wine: the races run natively only."
fi
cmake -S "$root" -B build/linux -DKEMBU_WINDOWS_BUILD_DIR="$windows_dir" -DKEMBU_WINE="$wine" >/dev/null
cmake --build build/linux -j "$jobs"

cd build/linux
echo "== native races, $native_repeats times"
time ctest -R '^linux\..*race' --repeat until-fail:"$native_repeats" --output-on-failure
if [ -n "$windows_dir" ]; then
  echo "== races under Wine, $wine_repeats times"
  time ctest -R '^wine\.prefix$|^wine\..*race' --repeat until-fail:"$wine_repeats" --output-on-failure
fi
