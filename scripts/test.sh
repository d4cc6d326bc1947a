#!/usr/bin/env bash
# The one test command. Builds kembu for every target of cmake/targets.txt
# (native Linux, static x86-64 and arm64, 64- and 32-bit Windows), each tree
# with -Werror, and runs every test of each build this machine can run:
# natively, under the emulator the arm64 toolchain names, or under Wine. A
# build it cannot run (its tree's configure tries, cmake/targets.cmake) is still
# built and checked; its runs are skips, and the summary names it.
# Then every check: the clang tree (warnings, analysis, sanitizers, fuzzing),
# the coverage floor, the end-to-end tests on a real NFS server in a qemu
# guest, the speed budgets, and the packages of the trees above.
# First installs, with apt-get and at once, whatever the run needs.
# Every step runs, even after one fails; the summary at the end lists each as
# passed, FAILED or not run, and the exit status is 1 when any failed.
# Usage: [KEMBU_CANNOT_RUN=TARGET...] bash scripts/test.sh [--tests-only]
#   KEMBU_CANNOT_RUN: targets taken as ones this machine cannot run.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc 2>/dev/null || echo 2)
source scripts/targets.sh

case "${1:-}" in
  "") checks=(clang coverage nfs budgets packages) ;;
  --tests-only) checks=() ;;
  *) echo "Usage: bash scripts/test.sh [--tests-only]" >&2; exit 2 ;;
esac

summary=()
failed=0
# note STATUS STEP [DETAIL]: one line of the summary.
note() {
  summary+=("$(printf '%-8s %s' "$1" "$2")${3:+: $3}")
  [ "$1" != FAILED ] || failed=$((failed + 1))
}
# step NAME COMMAND...: runs the command and notes how it went, and how long it took.
step() {
  local name=$1 started=$SECONDS status=0
  shift
  echo "== $name"
  "$@" || status=$?
  if [ "$status" = 0 ]; then note passed "$name" "$((SECONDS - started)) s"; else
    note FAILED "$name" "$((SECONDS - started)) s"
  fi
  return "$status"
}

# Everything at once where it can be: a package installed alone, later, may
# not match those already in (wine32:i386 beside wine64). Failing that, each
# row's on its own, so that one that cannot be had leaves the rest: a target
# whose compiler is missing is not built, one whose runner is missing is
# built but not run (the probe finds that), a check without its packages fails.
declare -A cannot_build=()
started=$SECONDS
# shellcheck disable=SC2046
if try_packages $(needs "${targets[@]}" "${checks[@]}"); then
  note passed "install what the run needs" "$((SECONDS - started)) s"
else
  echo "== not all at once: each part on its own"
  # shellcheck disable=SC2046
  ensure_packages $(needs linux)
  unavailable=()
  for row in "${targets[@]:1}" "${checks[@]}"; do
    # shellcheck disable=SC2086
    try_packages ${row_packages[$row]} || {
      cannot_build[$row]="cannot install ${row_packages[$row]}"
      unavailable+=(${row_packages[$row]})
    }
    # shellcheck disable=SC2086
    [ -z "${row_runs_with[$row]}" ] || try_packages ${row_runs_with[$row]} ||
      unavailable+=(${row_runs_with[$row]})
  done
  note passed "install what the run needs" "$((SECONDS - started)) s, in parts${unavailable[*]:+, \
all but ${unavailable[*]} (build/apt.log)}"
fi

cannot_run=$(tr ', ' ';;' <<<"${KEMBU_CANNOT_RUN:-}")
# Windows trees build their unit tests and the launcher, which run under Wine.
build_tree() {
  local tests=OFF
  [ "${row_system[$1]}" != windows ] || tests=ON
  cmake -S "$root" -B "build/$1" -DKEMBU_TARGET="$1" -DKEMBU_CANNOT_RUN="$cannot_run" \
    -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DKEMBU_BUILD_TESTS="$tests" >/dev/null &&
    cmake --build "build/$1" -j "$jobs"
}
trees=()
for target in "${targets[@]:1}"; do
  if [ -n "${cannot_build[$target]:-}" ]; then
    # A machine of this kind can have every compiler; CI must make every package.
    if [ "${CI:-}" = true ]; then note FAILED "build $target" "${cannot_build[$target]}"; else
      note "not run" "build $target" "${cannot_build[$target]}"
    fi
  elif step "build $target" build_tree "$target"; then
    trees+=("$root/build/$target")
  fi
done

build_linux() {
  cmake -S "$root" -B build/linux -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
    -DKEMBU_TARGET_TREES="$(IFS=';'; echo "${trees[*]}")" -DKEMBU_CANNOT_RUN="$cannot_run" \
    >/dev/null &&
    cmake --build build/linux -j "$jobs"
}
linux=no
step "build linux" build_linux && linux=yes

# The tests, with a count for the summary.
run_tests() {
  local log=build/linux/ctest.log status=0 total skipped failures
  (cd build/linux && ctest --output-on-failure -j "$jobs" --timeout 300) 2>&1 | tee "$log" ||
    status=1
  total=$(sed -n 's/.* tests failed out of \([0-9]*\)$/\1/p' "$log")
  failures=$(sed -n 's/.*, \([0-9]*\) tests failed out of .*/\1/p' "$log")
  skipped=$(grep -c '^[[:space:]]*[0-9]* - .* (Skipped)$' "$log")
  tests_line="tests: $((${total:-0} - ${failures:-0} - skipped)) passed, ${failures:-0} failed, $skipped skipped"
  return "$status"
}
tests_line=
if [ "$linux" = yes ]; then
  step "tests (build/linux)" run_tests
  summary[-1]+=", ${tests_line#tests: }"
else
  note "not run" "tests" "no Linux build"
fi

# The checks, each a script of its own.
for check in "${checks[@]}"; do
  case $check in
    clang) step "clang: warnings, analysis, sanitizers, fuzzing, a build not run" \
             bash scripts/check-clang.sh ;;
    coverage) step "coverage floor" bash scripts/coverage.sh ;;
    # Exit status 77: this machine cannot run it, for the reason on its last line.
    nfs)
      name="end-to-end tests on NFS, in a qemu guest" started=$SECONDS status=0
      echo "== $name"
      bash scripts/nfs.sh | tee build/nfs.log || status=$?
      case $status in
        0) note passed "$name" "$((SECONDS - started)) s" ;;
        77) note "not run" "$name" "$(tail -n 1 build/nfs.log)" ;;
        *) note FAILED "$name" "$((SECONDS - started)) s, build/nfs-guest/logs" ;;
      esac ;;
    budgets)
      if [ "$linux" = no ]; then note "not run" "speed budgets and their self-test" "no Linux build"
        continue
      fi
      step "budget check's self-test" bash bench/selftest.sh build/linux/kembu
      # The static programs that run on this machine as they are.
      static=()
      for target in "${targets[@]:1}"; do
        [ "${row_system[$target]}" != linux ] || [ -n "${row_runner[$target]}" ] ||
          [ ! -x "build/$target/kembu" ] || static+=("build/$target/kembu")
      done
      step "speed budgets" bash bench/budgets.sh build/linux/kembu "${static[@]}" ;;
    packages)
      if [ "$linux" = yes ]; then step "packages" bash scripts/package.sh; else
        note "not run" "packages" "no Linux build"
      fi ;;
  esac
done

echo
echo "== summary"
printf '%s\n' "${summary[@]}"
not_run=()
for tree in "${trees[@]##*/}"; do
  why=$(tree_fact "$tree" not_run)
  [ -z "$why" ] || not_run+=("$tree: $why")
done
if [ ${#not_run[@]} -gt 0 ]; then
  echo "== built and checked, but not run on this machine (their runs are skips):"
  printf '%s\n' "${not_run[@]}"
fi
echo "== ${#summary[@]} steps, $failed failed"
[ -z "$tests_line" ] || echo "$tests_line"
[ "$failed" = 0 ]
