#!/usr/bin/env bash
# The one test command. Builds kembu for Linux (native, static x86-64 and
# arm64) and for 64- and 32-bit Windows, each tree with -Werror, and runs every
# test: natively, under the emulator the arm64 toolchain names, or under Wine.
# Then every check: the clang tree (warnings, analysis, sanitizers, fuzzing),
# the coverage floor, the speed budgets, and the packages of the trees above.
# Installs what is missing with apt-get when it can.
# Usage: bash scripts/test.sh [--tests-only]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc 2>/dev/null || echo 2)
source scripts/packages.sh

case "${1:-}" in
  "") checks=yes ;;
  --tests-only) checks=no ;;
  *) echo "Usage: bash scripts/test.sh [--tests-only]" >&2; exit 2 ;;
esac

ensure_packages cmake make g++ libgtest-dev googletest strace locales
# Each check script installs what it needs; the budgets need valgrind.
[ "$checks" = no ] || ensure_packages valgrind

# Builds one cross tree when its packages are here (and, when a loader is
# named, it is too); prints the tree's path, or nothing.
cross_build() {
  local name=$1 toolchain=$2 loader=$3 tests=$4
  shift 4
  if ! try_packages "$@" >&2 || { [ -n "$loader" ] && [ ! -x "$loader" ]; }; then
    echo "THE $name TESTS DO NOT RUN: cannot install $* (Debian: apt-get install $*)." >&2
    return
  fi
  echo "== building $name" >&2
  cmake -S "$root" -B "build/$name" -DCMAKE_TOOLCHAIN_FILE="$root/$toolchain" \
    -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DKEMBU_BUILD_TESTS="$tests" >/dev/null
  cmake --build "build/$name" -j "$jobs" >&2
  echo "$root/build/$name"
}
static_dir=$(cross_build static-x86_64 cmake/musl-x86_64.cmake "" OFF musl-tools musl-dev binutils)
arm64_dir=$(cross_build static-aarch64 cmake/linux-aarch64-static.cmake "" OFF \
  g++-aarch64-linux-gnu binutils-aarch64-linux-gnu musl-dev:arm64 qemu-user qemu-user-static)
wine64=/usr/lib/wine/wine64
wine32=/usr/lib/wine/wine
win64_dir=$(cross_build win64 cmake/mingw-w64-x86_64.cmake "$wine64" ON \
  g++-mingw-w64-x86-64-posix wine64)
win32_dir=$(cross_build win32 cmake/mingw-w64-i686.cmake "$wine32" ON \
  g++-mingw-w64-i686-posix wine32:i386)

echo "== building for Linux"
cmake -S "$root" -B build/linux -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
  -DKEMBU_WINDOWS_BUILD_DIR="$win64_dir" -DKEMBU_WINE="$wine64" \
  -DKEMBU_WINDOWS32_BUILD_DIR="$win32_dir" -DKEMBU_WINE32="$wine32" \
  -DKEMBU_STATIC_BUILD_DIR="$static_dir" -DKEMBU_ARM64_BUILD_DIR="$arm64_dir" >/dev/null
cmake --build build/linux -j "$jobs"

echo "== testing"
(cd build/linux && ctest --output-on-failure -j "$jobs" --timeout 300)
for dir in "$static_dir" "$arm64_dir" "$win64_dir" "$win32_dir"; do
  [ -n "$dir" ] || [ "${CI:-}" != true ] || { echo "Under CI every build is tested." >&2; exit 1; }
done
[ "$checks" = yes ] || exit 0

# Every check runs, even after one fails, so a run shows all that is wrong.
failed=()
summary=()
run_check() {
  local name=$1 started=$SECONDS
  shift
  echo "== check: $name"
  "$@" && summary+=("passed  $name ($((SECONDS - started)) s)") ||
    { summary+=("FAILED  $name ($((SECONDS - started)) s)"); failed+=("$name"); }
}
run_check "clang: warnings, static analysis, sanitizers, fuzzing" bash scripts/check-clang.sh
run_check "coverage floor" bash scripts/coverage.sh
run_check "budget check's self-test" bash bench/selftest.sh build/linux/kembu
run_check "speed budgets" bash bench/budgets.sh build/linux/kembu ${static_dir:+"$static_dir/kembu"}
run_check "packages" bash scripts/package.sh

echo "== checks"
printf '%s\n' "${summary[@]}"
[ ${#failed[@]} -eq 0 ] || { echo "${#failed[@]} of ${#summary[@]} FAILED: ${failed[*]}"; exit 1; }
echo "all ${#summary[@]} checks passed"
