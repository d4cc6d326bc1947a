#!/usr/bin/env bash
# Checks that the budget check can fail: each helper in lib.sh and budgets.sh
# itself are given inputs that must breach. Usage: bench/selftest.sh LINUX_KEMBU
set -uo pipefail
bench_dir=$(cd "$(dirname "$0")" && pwd)
source "$bench_dir/lib.sh"
kembu=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
failures=0
expect() {  # expect DESCRIPTION CONDITION...
  "${@:2}" && echo "ok    $1" || { echo "FAIL  $1"; failures=$((failures + 1)); }
}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"

# Images: sealed at every size, the body kept through a backup and restore.
for size in 512 1M 4G; do
  make_image image.fw "$size"
  expect "a $size image passes kembu's checks" expect_ok b
  expect "a $size image is $size long" [ "$(stat -c %s image.fw)" = "$(numfmt --from=iec "$size")" ]
done
# Every bit of one byte flipped: the checksum cannot still match.
byte=$(od -An -t u1 -j 100 -N 1 image.fw | tr -d ' ')
printf "$(printf '\\x%02x' $((byte ^ 255)))" | dd of=image.fw bs=1 seek=100 conv=notrunc status=none
expect "a changed image is refused" eval '! expect_ok b 2>/dev/null'

# The allowed-calls match: order kept, calls may be missing, none added.
breached=0
breach() { breached=1; }
verdict() { breached=0; check_calls t "$@" >/dev/null; echo $breached; }
expect "the same calls pass" [ "$(verdict a b c -- a b c)" = 0 ]
expect "fewer calls pass" [ "$(verdict a b c -- a c)" = 0 ]
expect "an extra call fails" [ "$(verdict a b c -- a b b c)" = 1 ]
expect "calls out of order fail" [ "$(verdict a b c -- b a c)" = 1 ]
expect "an unknown call fails" [ "$(verdict a b c -- a x)" = 1 ]
expect "no calls at all fail, as when strace is broken" [ "$(verdict a b c --)" = 1 ]

# A program with a loader, given as a static one, breaches the static budgets.
"$bench_dir/budgets.sh" "$kembu" "$kembu" >/dev/null
expect "budgets.sh fails on a dynamic program given as static" [ $? = 1 ]
# A callgrind that counts nothing must not pass as a cheap run.
mkdir fakebin && printf '#!/bin/sh\nexit 1\n' >fakebin/valgrind && chmod +x fakebin/valgrind
PATH=$PWD/fakebin:$PATH "$bench_dir/budgets.sh" "$kembu" >/dev/null 2>&1
expect "budgets.sh fails when callgrind counts nothing" [ $? = 1 ]
"$bench_dir/budgets.sh" >/dev/null 2>&1
expect "budgets.sh without a program is a usage error" [ $? = 2 ]

[ "$failures" = 0 ] || { echo "$failures failed"; exit 1; }
