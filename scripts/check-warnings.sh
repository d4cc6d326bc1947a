#!/usr/bin/env bash
# Builds the tool and its tests with g++, clang++ and every mingw-w64
# toolchain in cmake/, and the tool alone with the static Linux toolchains
# (musl has no GoogleTest), with -Werror, and fails on any compiler or linker
# warning. The tool's own flags (KEMBU_TOOL_FLAGS) carry -Wall -Wextra
# -Wconversion -Wshadow; the tests build with -Wall -Wextra.
# Usage: bash scripts/check-warnings.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
ensure_packages cmake make g++ clang g++-mingw-w64-x86-64-posix libgtest-dev googletest \
  musl-tools musl-dev g++-aarch64-linux-gnu musl-dev:arm64
root=$PWD
status=0

# Builds from scratch, so that every file is compiled and linked again and
# nothing it warned about last time goes unseen.
check() {
  local name=$1
  shift
  local build=build/warn-$name log=build/warn-$name/build.log
  echo "== $name"
  mkdir -p "$build"
  if cmake -S . -B "$build" -DKEMBU_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release \
       -DCMAKE_CXX_FLAGS=-Werror "$@" >/dev/null &&
     cmake --build "$build" --clean-first -j 2 >"$log" 2>&1 &&
     ! grep "warning:" "$log"; then
    return 0
  fi
  grep -E "warning:|error:" "$log" | head -50 >&2 || true
  echo "check-warnings: $name is not warning-free (full log: $log)" >&2
  status=1
}

check gcc -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++
check clang -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
for toolchain in cmake/mingw-w64-*.cmake; do
  arch=$(basename "$toolchain" .cmake)
  check "mingw-${arch#mingw-w64-}" -DCMAKE_TOOLCHAIN_FILE="$root/$toolchain"
done
for toolchain in cmake/musl-x86_64.cmake cmake/linux-aarch64-static.cmake; do
  check "$(basename "$toolchain" .cmake)" -DCMAKE_TOOLCHAIN_FILE="$root/$toolchain" \
    -DKEMBU_BUILD_TESTS=OFF
done
exit "$status"
