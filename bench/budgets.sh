#!/usr/bin/env bash
# Checks kembu against its cost budgets, with figures that do not vary from
# run to run nor with who runs them: a backup and a restore each execute at
# most 1.2 times the instructions of /bin/true (callgrind, same run), a static
# program at most 0.035 times, both measured in an empty environment (env -i)
# and kembu as ./kembu, a copy beside the image; a 4 GiB (sparse) image costs
# within 1% of a 512-byte one; and
# they make no system call beyond the allowed sequences below: after the
# start-up that /bin/true shares, or, for a static program, after execve.
# (Sizes, imports and "static" are ctests: see tests/CMakeLists.txt.)
# Prints every figure with its budget; exits 1 when any budget is exceeded.
# Usage: bench/budgets.sh LINUX_KEMBU [STATIC_KEMBU...]     Needs valgrind, strace.
set -uo pipefail
source "$(dirname "$0")/lib.sh"
[ $# -ge 1 ] && [ -x "$1" ] || { echo "usage: $0 LINUX_KEMBU [STATIC_KEMBU...]" >&2; exit 2; }
SIZE_GROWTH_LIMIT_PERCENT=1

# What each operation may call after start-up, in this order (see the name
# folding in lib.sh). Fewer calls pass; any other call, or one more, fails.
ALLOWED_BACKUP=(
  fcntl fcntl fcntl     # standard descriptors 0-2 are open
  rt_sigprocmask        # SIGPIPE and SIGXFSZ blocked
  write                 # banner
  stat stat             # image is not KEMBU.BIN
  stat open fcntl flock # old KEMBU.BIN: a regular file, not held by another run,
  fstat stat            #   still the one its name names
  unlink close          #   deleted under its lock, before anything else
  stat open fcntl flock # image: a regular file, opened, locked (a record read lock, then flock),
  fstat stat read       #   still a regular file and the name's; header read
  open fcntl flock      # KEMBU.BIN created, locked (a record write lock, then flock),
  fstat stat            #   still the name's
  pwrite64 fsync        # body saved at the start and flushed
  open fsync close      # the folder flushed: KEMBU.BIN's name is durable too
  stat                  # the name still holds what was written
  write write           # outcome message, line end
  close close           # image, KEMBU.BIN
  exit_group
)
ALLOWED_RESTORE=(
  fcntl fcntl fcntl
  rt_sigprocmask
  write                       # banner
  stat stat                   # image is not KEMBU.BIN
  stat open fcntl flock       # image: a regular file, opened for reading and writing, locked,
  fstat stat read             #   still the name's; header checked, held open from here on
  stat open fcntl flock       # saved body
  fstat stat
  read close
  stat                        # the name still names the image
  pwrite64 fsync              # header block rewritten at the start and flushed
  stat                        # the name still holds what was written
  write write                 # outcome message, line end
  close
  exit_group
)
# A static program has no loader: musl's start sets the thread pointer, where
# errno lives, and learns the thread's id; then the calls above.
ALLOWED_STATIC_START=(arch_prctl set_tid_address)

breaches=0
breach() { echo "  BREACH: $*"; breaches=$((breaches + 1)); }
over() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a > b) }'; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# Same file name in both directories, so the runs differ only in the image.
for size in 512 4G; do mkdir "$scratch/$size" && make_image "$scratch/$size/image.fw" "$size"; done
floor=$(instructions /bin/true)
startup=$(syscall_names /bin/true)
echo "== /bin/true: $floor instructions (env -i, as every figure here);" \
  "start-up calls: $(sed '$d' <<<"$startup" | paste -sd ' ')"

# check PROGRAM LIMIT DIGITS STATIC: each operation's instructions at most
# LIMIT times /bin/true's (printed with DIGITS decimals), the same within
# SIZE_GROWTH_LIMIT_PERCENT on both images, and its system calls; STATIC is
# yes for a program without a loader.
check() {
  local program=$1 limit=$2 digits=$3 static=$4 op size ratio growth observed allowed
  local -A count
  echo "== $program, as ./kembu"
  for size in 512 4G; do
    cp "$program" "$scratch/$size/kembu"
    # Both operations must succeed, or nothing here is measured; the restore
    # uses the backup's KEMBU.BIN.
    (cd "$scratch/$size" && kembu=./kembu expect_ok b && kembu=./kembu expect_ok r) ||
      { breach "$program fails on the test images"; return; }
  done
  for op in b r; do
    for size in 512 4G; do
      count[$size]=$(cd "$scratch/$size" && instructions ./kembu "$op" image.fw)
      if ! [[ ${count[$size]} =~ ^[0-9]+$ && $floor =~ ^[0-9]+$ ]]; then
        breach "callgrind gave no instruction count; is valgrind installed and working?"
        return
      fi
      ratio=$(awk -v c="${count[$size]}" -v f="$floor" -v d="$digits" \
        'BEGIN { printf "%." d "f", c / f }')
      printf '  %-28s %10s  %s x /bin/true (budget %s)\n' "kembu $op, $size image" \
        "${count[$size]}" "$ratio" "$limit"
      ! over "$ratio" "$limit" ||
        breach "kembu $op on the $size image executes $ratio x the instructions of /bin/true"
    done
    growth=$(awk -v a="${count[512]}" -v b="${count[4G]}" \
      'BEGIN { printf "%.3f", (b - a) * 100 / a }')
    printf '  %-28s %10s%%  (budget %s%%)\n' "kembu $op, 4 GiB vs 512 B" "$growth" \
      "$SIZE_GROWTH_LIMIT_PERCENT"
    ! over "${growth#-}" "$SIZE_GROWTH_LIMIT_PERCENT" ||
      breach "kembu $op: the 4 GiB image costs $growth% more instructions than the 512-byte one"
    allowed=("${ALLOWED_BACKUP[@]}")
    [ "$op" = b ] || allowed=("${ALLOWED_RESTORE[@]}")
    if [ "$static" = yes ]; then
      allowed=("${ALLOWED_STATIC_START[@]}" "${allowed[@]}")
      observed=$(cd "$scratch/512" && syscall_names ./kembu "$op" image.fw |
        sed '1{/^execve$/d}')
    else
      observed=$(cd "$scratch/512" &&
        after_startup "$startup" "$(syscall_names ./kembu "$op" image.fw)")
    fi
    echo "  kembu $op observed: $(paste -sd ' ' <<<"$observed")"
    # shellcheck disable=SC2086
    check_calls "kembu $op" "${allowed[@]}" -- $observed
  done
}

check "$(realpath "$1")" 1.20 3 no
for program in "${@:2}"; do check "$(realpath "$program")" 0.035 4 yes; done

[ "$breaches" = 0 ] || { echo "== $breaches budget(s) exceeded"; exit 1; }
echo "== all budgets met"
