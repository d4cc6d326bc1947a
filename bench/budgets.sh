#!/usr/bin/env bash
# Checks kembu against its cost budgets, using only figures that do not vary
# from run to run (instruction counts, system calls):
#   - a backup and a restore each execute at most 1.2 times the instructions
#     of /bin/true, counted by callgrind in the same run;
#   - a 4 GiB (sparse) image costs within 1% of the instructions of a 512-byte
#     one, for both operations;
#   - after the start-up that /bin/true shares, a backup and a restore make no
#     system call beyond the allowed sequences below;
#   - each static Linux program given executes at most 0.05 times the
#     instructions of /bin/true per operation, costs within 1% on a 4 GiB
#     image, and makes no system call, from the first after execve to
#     exit_group, beyond the allowed sequences below.
# Prints every figure with its budget; exits 1 when any budget is exceeded.
# (Sizes, imports and "static" are ctests: see tests/CMakeLists.txt.)
# Needs valgrind and strace.
# Usage: bench/budgets.sh LINUX_KEMBU [STATIC_KEMBU...]
set -uo pipefail
bench_dir=$(cd "$(dirname "$0")" && pwd)
source "$bench_dir/lib.sh"

if [ $# -lt 1 ] || [ ! -x "$1" ]; then
  echo "usage: $0 LINUX_KEMBU [STATIC_KEMBU...]" >&2
  exit 2
fi
kembu=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
shift

INSTRUCTION_RATIO_LIMIT=1.20
SIZE_GROWTH_LIMIT_PERCENT=1
STATIC_INSTRUCTION_RATIO_LIMIT=0.05

# What each operation may call after start-up, in this order (see the name
# folding in lib.sh). Fewer calls pass; any other call, or one more, fails.
ALLOWED_BACKUP=(
  fcntl fcntl fcntl     # standard descriptors 0-2 are open
  rt_sigaction          # SIGPIPE ignored
  write                 # banner
  stat stat             # image is not KEMBU.BIN
  stat open flock       # old KEMBU.BIN: a regular file, not held by another run
  unlink close          #   deleted under its lock, before anything else
  open flock fstat read # image header, locked, not a directory
  open flock fstat      # KEMBU.BIN created, locked, still linked
  write fsync           # body saved and flushed
  open fsync close      # the folder flushed: KEMBU.BIN's name is durable too
  write write           # outcome message, line end
  close close           # image, KEMBU.BIN
  exit_group
)
ALLOWED_RESTORE=(
  fcntl fcntl fcntl
  rt_sigaction
  write                       # banner
  stat stat                   # image is not KEMBU.BIN
  open flock fstat read close # image header checked
  open flock fstat read close # saved body
  open flock fstat            # image opened for writing, locked, still linked
  write fsync                 # header block rewritten and flushed
  write write                 # outcome message, line end
  close
  exit_group
)

# A static program has no loader: all it may call, from the first call after
# execve. musl's start sets the thread pointer, where errno lives, and learns
# the thread's id; then the calls above.
ALLOWED_STATIC_START=(arch_prctl set_tid_address)
ALLOWED_STATIC_BACKUP=("${ALLOWED_STATIC_START[@]}" "${ALLOWED_BACKUP[@]}")
ALLOWED_STATIC_RESTORE=("${ALLOWED_STATIC_START[@]}" "${ALLOWED_RESTORE[@]}")

breaches=0
breach() {
  echo "  BREACH: $*"
  breaches=$((breaches + 1))
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# Same file name in both directories, so the runs differ only in the image.
mkdir "$scratch/small" "$scratch/large"
make_image "$scratch/small/image.fw" 512
make_image "$scratch/large/image.fw" 4G

# Both operations must succeed on these images, or nothing below is measured.
for size in small large; do
  (cd "$scratch/$size" && expect_ok b && expect_ok r) || {
    echo "  BREACH: kembu fails on the test images; no figures taken"
    exit 1
  }
done

# Prints and checks a program's instruction counts (the associative array
# named first, "op.size" -> count): each at most LIMIT times /bin/true's
# (printed with DIGITS decimals), and the 4 GiB image within
# SIZE_GROWTH_LIMIT_PERCENT of the 512-byte one.
check_counts() {
  local -n by_run=$1
  local limit=$2 digits=$3 op size label count ratio growth
  for op in b r; do
    for size in small large; do
      label="kembu $op, $([ $size = small ] && echo 512 B || echo 4 GiB sparse) image"
      count=${by_run[$op.$size]}
      ratio=$(awk -v c="$count" -v f="$floor" -v d="$digits" 'BEGIN { printf "%." d "f", c / f }')
      printf '  %-28s %10s  %s x /bin/true (budget %s)\n' "$label" "$count" "$ratio" "$limit"
      if [ -z "$count" ] || awk -v r="$ratio" -v l="$limit" 'BEGIN { exit !(r > l) }'; then
        breach "$label executes $ratio x the instructions of /bin/true"
      fi
    done
    growth=$(awk -v a="${by_run[$op.small]}" -v b="${by_run[$op.large]}" \
      'BEGIN { printf "%.3f", (b - a) * 100 / a }')
    printf '  %-28s %10s%%  (budget %s%%)\n' "kembu $op, 4 GiB vs 512 B" "$growth" \
      "$SIZE_GROWTH_LIMIT_PERCENT"
    if awk -v g="$growth" -v l="$SIZE_GROWTH_LIMIT_PERCENT" \
        'BEGIN { exit !(g > l || g < -l) }'; then
      breach "kembu $op: the 4 GiB image costs $growth% more instructions than the 512-byte one"
    fi
  done
}

echo "== instructions (callgrind, loader and libc start-up included)"
floor=$(instructions /bin/true)
printf '  %-28s %10s\n' "/bin/true" "$floor"
declare -A counts
for size in small large; do
  for op in b r; do
    # Restore needs a backup; the first b in the directory leaves one.
    counts[$op.$size]=$(cd "$scratch/$size" && instructions "$kembu" "$op" image.fw)
  done
done
for count in "$floor" "${counts[@]}"; do
  if ! [[ $count =~ ^[0-9]+$ ]]; then
    echo "  BREACH: callgrind gave no instruction count; is valgrind installed and working?"
    exit 1
  fi
done
check_counts counts "$INSTRUCTION_RATIO_LIMIT" 3

echo "== system calls after start-up (strace -f, the calls /bin/true makes removed)"
startup=$(syscall_names /bin/true)
echo "  start-up: $(sed '$d' <<<"$startup" | tr '\n' ' ')"
for op in b r; do
  observed=$(cd "$scratch/small" &&
    after_startup "$startup" "$(syscall_names "$kembu" "$op" image.fw)")
  if [ "$op" = b ]; then allowed=("${ALLOWED_BACKUP[@]}"); label=backup; else
    allowed=("${ALLOWED_RESTORE[@]}"); label=restore; fi
  echo "  $label allowed:  ${allowed[*]}"
  echo "  $label observed: $(tr '\n' ' ' <<<"$observed")"
  # shellcheck disable=SC2086
  check_calls "$label" "${allowed[@]}" -- $observed
done

# check_static PROGRAM: the budgets of a static Linux kembu.
check_static() {
  local program size label count ratio growth op observed allowed
  program=$(realpath "$1")
  local -A static_counts
  echo "== $program (static)"
  for size in small large; do
    for op in b r; do
      static_counts[$op.$size]=$(cd "$scratch/$size" && instructions "$program" "$op" image.fw)
      if ! [[ ${static_counts[$op.$size]} =~ ^[0-9]+$ ]]; then
        breach "callgrind gave no instruction count for $program"
        return
      fi
    done
  done
  check_counts static_counts "$STATIC_INSTRUCTION_RATIO_LIMIT" 4
  for op in b r; do
    # Everything after execve: there is no start-up shared with /bin/true.
    observed=$(cd "$scratch/small" &&
      syscall_names "$program" "$op" image.fw | sed '1{/^execve$/d}')
    if [ "$op" = b ]; then allowed=("${ALLOWED_STATIC_BACKUP[@]}"); label=backup; else
      allowed=("${ALLOWED_STATIC_RESTORE[@]}"); label=restore; fi
    echo "  $label allowed:  ${allowed[*]}"
    echo "  $label observed: $(tr '\n' ' ' <<<"$observed")"
    # shellcheck disable=SC2086
    check_calls "$label" "${allowed[@]}" -- $observed
  done
}

for program in "$@"; do check_static "$program"; done

if [ "$breaches" -gt 0 ]; then
  echo "== $breaches budget(s) exceeded"
  exit 1
fi
echo "== all budgets met"
