#!/usr/bin/env bash
# Builds kembu and its tests for Linux with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs every Linux test, unit and end-to-end,
# against that build. Any sanitizer finding aborts the process it happens in,
# which fails the test. Usage: bash scripts/check-sanitizers.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
ensure_packages cmake make clang libclang-rt-dev libgtest-dev googletest strace
build=build/asan

sanitize="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_FLAGS="$sanitize" -DCMAKE_CXX_FLAGS="$sanitize -O1" \
  -DCMAKE_EXE_LINKER_FLAGS="$sanitize" \
  -DKEMBU_WINDOWS_BUILD_DIR= >/dev/null
cmake --build "$build" -j 2

# kembu ends with _exit, so a report must end the process on the spot: abort
# turns it into a crash the end-to-end harness sees as a wrong wait status.
# Tests spawn kembu with this environment, so it reaches both.
export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1
cd "$build"
ctest --output-on-failure -j 2 --timeout 120 -R '^linux\.' --no-tests=error
