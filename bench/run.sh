#!/usr/bin/env bash
# Benchmarks kembu against the floor (/bin/true) and the peers a user would
# otherwise reach for (dd, a Python script), for images of 512 B, 1 MiB, 1 GiB
# and 4 GiB (sparse past the header): wall time (hyperfine), instructions
# (callgrind) and system calls (strace -f). Under Wine, compares the wall time
# of kembu.exe with a Windows program that does nothing. Writes
# bench/results.md (or the file in RESULTS): hyperfine's own markdown export
# of each run, and the instruction counts and system calls beside it.
#
# Usage: bench/run.sh [LINUX_KEMBU [KEMBU_EXE [STATIC_KEMBU]]]
#   Without paths it uses build/linux/kembu, build/win64/kembu.exe and the
#   static x86-64 build/static-x86_64/kembu, building them with cmake when they
#   are missing. No KEMBU_EXE, or no Wine: the Wine tables are left out; no
#   STATIC_KEMBU and no musl-gcc: the static rows are. RUNS (default 100) sets
#   the hyperfine runs per command, SIZES (default "512 1M 1G 4G") the images.
#   BEFORE_REV=<git revision> also builds the native Linux kembu of that
#   revision (in a worktree under build/bench, removed after) and times its
#   backup in the same hyperfine run as LINUX_KEMBU's, on the first image size,
#   as "kembu b (before: <rev>)": what a change costs, on the same disk.
#   Example: BEFORE_REV=1d6fdee bash bench/run.sh
# Needs hyperfine, valgrind, strace, python3, for Wine: wine64 and
# g++-mingw-w64-x86-64-posix, and for the static program: musl-tools.
set -euo pipefail
bench_dir=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$bench_dir")
source "$bench_dir/lib.sh"

runs=${RUNS:-100}
warmup=3
# The first starts in a fresh Wine prefix are slow.
wine_warmup=10
sizes=(${SIZES:-512 1M 1G 4G})
results=${RESULTS:-$bench_dir/results.md}
work=$root/build/bench
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64
# The system's Python: a wrapper in PATH (pyenv) would be measured instead.
python=${PYTHON:-/usr/bin/python3}
[ -x "$python" ] || python=$(command -v python3)

for tool in hyperfine valgrind strace; do
  command -v "$tool" >/dev/null ||
    { echo "$tool is missing (Debian: apt-get install $tool)" >&2; exit 1; }
done

# The tree the tests use is configured the same way scripts/test.sh does it,
# and only the program is built.
if [ $# -ge 1 ]; then
  kembu=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
else
  kembu=$root/build/linux/kembu
  if [ ! -x "$kembu" ]; then
    cmake -S "$root" -B "$root/build/linux" >/dev/null
    cmake --build "$root/build/linux" --target kembu -j 2 >/dev/null
  fi
fi
if [ $# -ge 2 ]; then
  exe=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
elif [ $# -eq 0 ] && command -v x86_64-w64-mingw32-gcc-posix >/dev/null; then
  exe=$root/build/win64/kembu.exe
  if [ ! -f "$exe" ]; then
    cmake -S "$root" -B "$root/build/win64" \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
    cmake --build "$root/build/win64" --target kembu -j 2 >/dev/null
  fi
else
  exe=""
fi
if [ $# -ge 3 ]; then
  static=$(cd "$(dirname "$3")" && pwd)/$(basename "$3")
elif [ $# -eq 0 ] && command -v musl-gcc >/dev/null; then
  static=$root/build/static-x86_64/kembu
  if [ ! -x "$static" ]; then
    cmake -S "$root" -B "$root/build/static-x86_64" -DKEMBU_BUILD_TESTS=OFF \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/musl-x86_64.cmake" >/dev/null
    cmake --build "$root/build/static-x86_64" --target kembu -j 2 >/dev/null
  fi
else
  static=""
fi

# The older program is built as the static one is, the program only; its
# worktree lives only as long as the build.
before=""
before_label=""
if [ -n "${BEFORE_REV:-}" ]; then
  before_rev=$(git -C "$root" rev-parse --short --verify "$BEFORE_REV^{commit}")
  before_src=$work/before-src
  before_build=$work/before-build
  mkdir -p "$work"
  git -C "$root" worktree remove --force "$before_src" 2>/dev/null || true
  rm -rf "$before_src" "$before_build"
  # A run killed before its clean-up leaves the worktree registered.
  git -C "$root" worktree prune
  git -C "$root" worktree add --detach --quiet "$before_src" "$before_rev"
  trap 'git -C "$root" worktree remove --force "$before_src" 2>/dev/null || true' EXIT
  cmake -S "$before_src" -B "$before_build" -DKEMBU_BUILD_TESTS=OFF >/dev/null
  cmake --build "$before_build" --target kembu -j 2 >/dev/null
  before=$work/kembu-$before_rev
  cp "$before_build/kembu" "$before"
  git -C "$root" worktree remove --force "$before_src"
  trap - EXIT
  rm -rf "$before_build"
  before_label="kembu b (before: $before_rev)"
  # Named by the last commit that changed the program, not by HEAD, which
  # may be a change to the docs alone.
  after_rev=$(git -C "$root" log -1 --format=%h HEAD -- src CMakeLists.txt cmake)
fi

rm -rf "$work/scratch" "$work/md"
mkdir -p "$work/scratch" "$work/md"
counts=$work/counts.md
printf '| image | command | instructions | system calls |\n|---|---|---:|---:|\n' >"$counts"

size_label() {
  case $1 in
    512) echo "512 B" ;;
    *K) echo "${1%K} KiB" ;;
    *M) echo "${1%M} MiB" ;;
    *G) echo "${1%G} GiB" ;;
    *) echo "$1 B" ;;
  esac
}

load_before=$(cut -d ' ' -f 1-3 /proc/loadavg)
startup=$(syscall_names /bin/true)
for size in "${sizes[@]}"; do
  dir=$work/scratch/$size
  mkdir -p "$dir"
  make_image "$dir/image.fw" "$size"
  cd "$dir"
  # A restore needs a backup body first.
  expect_ok b
  expect_ok r
  labels=("/bin/true" "kembu b")
  commands=("/bin/true" "$kembu b image.fw")
  # Next to the backup it is compared with, so the two runs are close in time.
  if [ -n "$before" ] && [ "$size" = "${sizes[0]}" ]; then
    kembu=$before expect_ok b  # figures of a failed backup mean nothing
    labels+=("$before_label")
    commands+=("$before b image.fw")
  fi
  labels+=("kembu r")
  commands+=("$kembu r image.fw")
  if [ -n "$static" ]; then
    labels+=("kembu b (static)" "kembu r (static)")
    commands+=("$static b image.fw" "$static r image.fw")
  fi
  labels+=("dd bs=1" "python3 struct")
  commands+=(
    "dd if=image.fw of=KEMBU.BIN skip=20 count=490 bs=1"
    "$python $bench_dir/peer_backup.py image.fw"
  )
  echo "== $(size_label "$size") image: wall time"
  # A failed command stops the run (pipefail): its times would be of a failure.
  names=()
  for i in "${!labels[@]}"; do names+=(-n "${labels[$i]}"); done
  hyperfine -N --warmup "$warmup" --runs "$runs" --style basic \
    --export-markdown "$work/md/linux-$size.md" "${names[@]}" "${commands[@]}" |
    { grep -E '^(Benchmark|  Time)' || true; }
  echo "== $(size_label "$size") image: instructions and system calls"
  for i in "${!labels[@]}"; do
    # shellcheck disable=SC2086
    count=$(instructions ${commands[$i]})
    # shellcheck disable=SC2086
    calls=$(syscall_names ${commands[$i]} | wc -l)
    printf '| %s | `%s` | %s | %s |\n' "$(size_label "$size")" "${labels[$i]}" "$count" "$calls" \
      >>"$counts"
    printf '  %-16s %12s instructions %6s system calls\n' "${labels[$i]}" "$count" "$calls"
  done
  # The call lists of the last image, for the record; a static program has
  # no start-up to share, so all its calls after execve.
  calls=$work/calls.md
  {
    for op in b r; do
      echo "- kembu $op: $(after_startup "$startup" "$(syscall_names "$kembu" $op image.fw)" |
        paste -sd ' ')"
      [ -z "$static" ] ||
        echo "- kembu $op (static): $(syscall_names "$static" $op image.fw |
          sed '1{/^execve$/d}' | paste -sd ' ')"
    done
  } >"$calls"
  cd "$root"
done

wine_sizes=()
if [ -n "$exe" ] && [ -x "$wine" ]; then
  export WINEPREFIX=$work/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
  [ -d "$WINEPREFIX" ] || "$wine" wineboot --init >/dev/null 2>&1
  # One server for the whole comparison, so no run pays for starting it; the
  # one wineboot left behind would quit at its own time.
  "$wineserver" -k 2>/dev/null || true
  "$wineserver" -w
  "$wineserver" -p
  trap '"$wineserver" -k 2>/dev/null || true' EXIT
  # Built like kembu.exe: no C runtime, raw entry point, KERNEL32 only.
  x86_64-w64-mingw32-gcc-posix -Wall -Wextra -Os -nostdlib -nostartfiles -Wl,-e,Start \
    -Wl,--gc-sections -s -Wl,--subsystem,console "$bench_dir/nothing.c" -lkernel32 \
    -o "$work/nothing.exe"
  for size in 512 4G; do
    dir=$work/scratch/wine-$size
    mkdir -p "$dir"
    make_image "$dir/image.fw" "$size"
    cd "$dir"
    "$wine" "$exe" b image.fw | grep -q "Backup Ok!" ||
      { echo "kembu.exe b failed under Wine" >&2; exit 1; }
    echo "== Wine, $(size_label "$size") image: wall time"
    hyperfine -N --warmup "$wine_warmup" --runs "$runs" --style basic \
      --export-markdown "$work/md/wine-$size.md" \
      -n "nothing.exe" -n "kembu.exe b" -n "kembu.exe r" \
      "$wine $work/nothing.exe" "$wine $exe b image.fw" "$wine $exe r image.fw" |
      { grep -E '^(Benchmark|  Time)' || true; }
    cd "$root"
    wine_sizes+=("$size")
  done
fi

# The machine and the tools, then each table.
first_line() { "$@" 2>&1 | head -n 1; }
{
  echo "# kembu: speed and size"
  echo
  echo "Generated by \`bench/run.sh\`; do not edit by hand. Wall time: hyperfine -N (no shell), \
$runs runs after $warmup warm-ups ($wine_warmup under Wine). Instructions: callgrind's total, the \
dynamic loader and libc start-up included. System calls: strace -f, every call counted."
  echo
  echo "- date: $(date -u '+%Y-%m-%d %H:%M UTC'), load when the run began: $load_before"
  echo "- cpu: $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1), $(nproc) cores"
  echo "- kernel: $(uname -sr); scratch file system: $(df --output=fstype "$work/scratch" |
    tail -n 1)"
  for tool in "ldd --version" "c++ --version" "hyperfine --version" "valgrind --version" \
              "strace -V" "dd --version" "$python --version"; do
    echo "- $(first_line $tool)"
  done
  echo "- kembu: $(stat -c %s "$kembu") bytes (Linux build)"
  [ -z "$static" ] || echo "- kembu (static): $(stat -c %s "$static") bytes (musl)"
  [ -z "$before" ] || echo "- $before_label: $(stat -c %s "$before") bytes; after: $after_rev"
  if [ ${#wine_sizes[@]} -gt 0 ]; then
    echo "- $(first_line "$wine" --version); kembu.exe $(stat -c %s "$exe") bytes, \
nothing.exe (built like it, calls ExitProcess) $(stat -c %s "$work/nothing.exe") bytes"
  fi
  for size in "${sizes[@]}"; do
    printf '\n## Linux, %s image\n\n' "$(size_label "$size")"
    cat "$work/md/linux-$size.md"
  done
  printf '\n## Instructions and system calls\n\n'
  cat "$counts"
  printf '\n## System calls of the last image, after the calls /bin/true makes too\n\n'
  cat "$calls"
  for size in "${wine_sizes[@]}"; do
    printf '\n## Wine, %s image\n\n' "$(size_label "$size")"
    cat "$work/md/wine-$size.md"
  done
} >"$results"
echo "== written: $results"
