#!/usr/bin/env bash
# The one test command. Builds kembu for Linux (the native build, and static
# x86-64 and arm64 builds) and for 64- and 32-bit Windows and runs every test:
# the Linux ones natively and, for arm64, under qemu-user; the Windows ones
# under Wine.
# Every tree builds with -Werror (CMAKE_COMPILE_WARNING_AS_ERROR). Then runs
# every check: the clang tree (warnings, static analysis, sanitizers), the
# coverage floor, fuzzing, the speed budgets, and the packages.
# Installs what is missing with apt-get when it can.
# Usage: bash scripts/test.sh [--tests-only]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc 2>/dev/null || echo 2)
source scripts/packages.sh

checks=yes
case "${1:-}" in
  "") ;;
  --tests-only) checks=no ;;
  *) echo "Usage: bash scripts/test.sh [--tests-only]" >&2; exit 2 ;;
esac

linux_packages=(cmake make g++ libgtest-dev googletest strace locales)
check_packages=(clang libclang-rt-dev clang-tidy cppcheck gcovr python3 valgrind hyperfine
  dpkg-dev file lintian groff-base man-db)
static_x86_64_packages=(musl-tools musl-dev binutils)
static_aarch64_packages=(g++-aarch64-linux-gnu binutils-aarch64-linux-gnu musl-dev:arm64 qemu-user
  qemu-user-static)
windows64_packages=(g++-mingw-w64-x86-64-posix wine64)
windows32_packages=(g++-mingw-w64-i686-posix wine32:i386)

ensure_packages "${linux_packages[@]}"
[ "$checks" = no ] || ensure_packages "${check_packages[@]}"

# Builds one Windows tree when its compiler and Wine are here; prints the
# tree's path, or nothing.
windows_build() {
  local name=$1 toolchain=$2 loader=$3
  shift 3
  if ! try_packages "$@" >&2; then
    echo "Cannot install: $* (Debian: apt-get install $*)." >&2
    return
  fi
  [ -x "$loader" ] || return 0
  echo "== building for Windows ($name)" >&2
  cmake -S "$root" -B "build/$name" -DCMAKE_TOOLCHAIN_FILE="$root/$toolchain" \
    -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
  cmake --build "build/$name" -j "$jobs" >&2
  echo "$root/build/$name"
}

# Builds one static Linux tree (the program only) when its compiler and C
# library are here; prints the tree's path, or nothing.
static_build() {
  local name=$1 toolchain=$2
  shift 2
  if ! try_packages "$@" >&2; then
    echo "Cannot install: $* (Debian: apt-get install $*)." >&2
    return
  fi
  echo "== building for Linux, static ($name)" >&2
  cmake -S "$root" -B "build/$name" -DCMAKE_TOOLCHAIN_FILE="$root/$toolchain" \
    -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DKEMBU_BUILD_TESTS=OFF >/dev/null
  cmake --build "build/$name" -j "$jobs" >&2
  echo "$root/build/$name"
}

static_dir=$(static_build static-x86_64 cmake/musl-x86_64.cmake "${static_x86_64_packages[@]}")
arm64_dir=$(static_build static-aarch64 cmake/linux-aarch64-static.cmake \
  "${static_aarch64_packages[@]}")

wine64=/usr/lib/wine/wine64
wine32=/usr/lib/wine/wine
win64_dir=$(windows_build win64 cmake/mingw-w64-x86_64.cmake "$wine64" "${windows64_packages[@]}")
win32_dir=$(windows_build win32 cmake/mingw-w64-i686.cmake "$wine32" "${windows32_packages[@]}")

echo "== building for Linux"
cmake -S "$root" -B build/linux -DKEMBU_WINDOWS_BUILD_DIR="$win64_dir" -DKEMBU_WINE="$wine64" \
  -DKEMBU_WINDOWS32_BUILD_DIR="$win32_dir" -DKEMBU_WINE32="$wine32" \
  -DKEMBU_STATIC_BUILD_DIR="$static_dir" -DKEMBU_ARM64_BUILD_DIR="$arm64_dir" \
  -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
cmake --build build/linux -j "$jobs"

echo "== testing"
(cd build/linux && ctest --output-on-failure -j "$jobs" --timeout 300)

missing_builds=no
if [ -z "$static_dir" ]; then
  echo "THE STATIC X86-64 TESTS DID NOT RUN: musl-tools is missing."
  missing_builds=yes
fi
if [ -z "$arm64_dir" ]; then
  echo "THE ARM64 TESTS DID NOT RUN: g++-aarch64-linux-gnu, musl-dev:arm64 or qemu-user is missing."
  missing_builds=yes
fi
if [ -z "$win64_dir" ]; then
  echo "THE 64-BIT WINDOWS TESTS DID NOT RUN: mingw-w64 (x86-64) or wine64 is missing."
  missing_builds=yes
fi
if [ -z "$win32_dir" ]; then
  echo "THE 32-BIT WINDOWS TESTS DID NOT RUN: mingw-w64 (i686) or wine32 is missing."
  missing_builds=yes
fi
if [ "$missing_builds" = yes ] && [ "${CI:-}" = true ]; then exit 1; fi
[ "$checks" = yes ] || exit 0

# Every check runs, even after one fails, so a run shows all that is wrong.
failed=()
summary=()
run_check() {
  local name=$1 started=$SECONDS
  shift
  echo "== check: $name"
  if "$@"; then
    summary+=("passed  $name ($((SECONDS - started)) s)")
  else
    summary+=("FAILED  $name ($((SECONDS - started)) s)")
    failed+=("$name")
  fi
}
run_check "clang: warnings, static analysis, sanitizers" bash scripts/check-clang.sh
run_check "coverage floor" bash scripts/coverage.sh
run_check "fuzzing" bash scripts/fuzz.sh
run_check "budget check's self-test" bash bench/selftest.sh build/linux/kembu
run_check "speed budgets" bash bench/budgets.sh build/linux/kembu ${static_dir:+"$static_dir/kembu"}
run_check "packages" bash scripts/package.sh

echo "== checks"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "${#failed[@]} of ${#summary[@]} checks FAILED: ${failed[*]}"
  exit 1
fi
echo "all ${#summary[@]} checks passed"
