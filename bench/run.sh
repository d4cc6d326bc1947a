#!/usr/bin/env bash
# Benchmarks kembu against the floor (/bin/true) and the peers a user would
# otherwise reach for (dd, a Python script), for images of 512 B, 1 MiB, 1 GiB
# and 4 GiB (sparse past the header): wall time (hyperfine), instructions
# (callgrind) and system calls (strace -f). Under Wine, compares the wall time
# of kembu.exe with a Windows program that does nothing. Writes the tables to
# bench/results.md (or to the file in RESULTS).
#
# Usage: bench/run.sh [LINUX_KEMBU [KEMBU_EXE [STATIC_KEMBU]]]
#   Without paths it uses build/linux/kembu, build/win64/kembu.exe and the
#   static x86-64 build/static-x86_64/kembu, building them with cmake when they
#   are missing. No KEMBU_EXE, or no Wine: the Wine table is left out; no
#   STATIC_KEMBU and no musl-gcc: the static rows are. RUNS (default 100) sets the hyperfine runs per command,
#   SIZES (default "512 1M 1G 4G") the images.
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
  command -v "$tool" >/dev/null || { echo "$tool is missing (Debian: apt-get install $tool)" >&2; exit 1; }
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

rm -rf "$work/scratch" "$work/json" "$work"/calls-*.txt
mkdir -p "$work/scratch" "$work/json"
counts=$work/counts.tsv
: >"$counts"

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
    --export-json "$work/json/linux-$size.json" "${names[@]}" "${commands[@]}" |
    { grep -E '^(Benchmark|  Time)' || true; }
  echo "== $(size_label "$size") image: instructions and system calls"
  for i in "${!labels[@]}"; do
    # shellcheck disable=SC2086
    count=$(instructions ${commands[$i]})
    # shellcheck disable=SC2086
    calls=$(syscall_names ${commands[$i]} | wc -l)
    printf '%s\t%s\t%s\t%s\n' "$size" "${labels[$i]}" "$count" "$calls" >>"$counts"
    printf '  %-16s %12s instructions %6s system calls\n' "${labels[$i]}" "$count" "$calls"
  done
  # The last call list of each operation, for the record.
  after_startup "$startup" "$(syscall_names "$kembu" b image.fw)" >"$work/calls-b.txt"
  after_startup "$startup" "$(syscall_names "$kembu" r image.fw)" >"$work/calls-r.txt"
  if [ -n "$before" ] && [ "$size" = "${sizes[0]}" ]; then
    after_startup "$startup" "$(syscall_names "$before" b image.fw)" >"$work/calls-before-b.txt"
  fi
  # A static program has no start-up to share: every call after execve.
  if [ -n "$static" ]; then
    syscall_names "$static" b image.fw | sed '1{/^execve$/d}' >"$work/calls-static-b.txt"
    syscall_names "$static" r image.fw | sed '1{/^execve$/d}' >"$work/calls-static-r.txt"
  fi
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
      --export-json "$work/json/wine-$size.json" \
      -n "nothing.exe" -n "kembu.exe b" -n "kembu.exe r" \
      "$wine $work/nothing.exe" "$wine $exe b image.fw" "$wine $exe r image.fw" |
      { grep -E '^(Benchmark|  Time)' || true; }
    cd "$root"
    wine_sizes+=("$size")
  done
fi

# The machine and the tools, for the header of the results.
first_line() { "$@" 2>&1 | head -n 1; }
machine=$work/machine.txt
{
  echo "date	$(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "cpu	$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1), $(nproc) cores available"
  echo "kernel	$(uname -sr)"
  echo "load	$load_before (load average over 1, 5, 15 minutes when the run began; the machine may be shared)"
  echo "filesystem	$(df --output=fstype "$work/scratch" | tail -n 1) (the scratch directories)"
  echo "libc	$(first_line ldd --version)"
  echo "compiler	$(first_line c++ --version)"
  echo "hyperfine	$(first_line hyperfine --version)"
  echo "valgrind	$(first_line valgrind --version)"
  echo "strace	$(first_line strace -V)"
  echo "dd	$(first_line dd --version)"
  echo "python3	$(first_line "$python" --version) ($python)"
  if [ ${#wine_sizes[@]} -gt 0 ]; then
    echo "wine	$(first_line "$wine" --version)"
    echo "mingw	$(first_line x86_64-w64-mingw32-gcc-posix --version)"
    echo "kembu.exe	$(stat -c %s "$exe") bytes; nothing.exe $(stat -c %s "$work/nothing.exe") bytes"
  fi
  echo "kembu	$(stat -c %s "$kembu") bytes (Linux build)"
  if [ -n "$before" ]; then
    echo "kembu before	$(stat -c %s "$before") bytes (Linux build of $before_rev, the program only)"
  fi
  if [ -n "$static" ]; then
    echo "kembu (static)	$(stat -c %s "$static") bytes (static x86-64 build, musl $(dpkg-query -W -f='${Version}' "musl-dev:$(dpkg --print-architecture)" 2>/dev/null))"
  fi
} >"$machine"

"$python" "$bench_dir/report.py" --runs "$runs" --warmup "$warmup" --wine-warmup "$wine_warmup" \
  --machine "$machine" \
  --counts "$counts" --json-dir "$work/json" --calls-backup "$work/calls-b.txt" \
  --calls-restore "$work/calls-r.txt" \
  ${static:+--static-calls-backup "$work/calls-static-b.txt"} \
  ${static:+--static-calls-restore "$work/calls-static-r.txt"} \
  ${before:+--before-label "$before_label" --before-rev "$before_rev" --after-rev "$after_rev"} \
  ${before:+--before-calls "$work/calls-before-b.txt"} \
  --sizes "${sizes[@]}" --wine-sizes "${wine_sizes[@]}" \
  >"$results"
echo "== written: $results"
