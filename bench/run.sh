#!/usr/bin/env bash
# Benchmarks kembu against the floor (/bin/true) and the peers a user would
# otherwise reach for (dd, a Python script), on a 512-byte image and a 4 GiB
# one (sparse past the header): wall time (hyperfine), instructions (callgrind)
# and system calls (strace -f); under Wine, kembu.exe against a Windows
# program that does nothing. Writes bench/results.md (or the file in RESULTS):
# hyperfine's markdown export of each run, then the counts.
# Usage: bench/run.sh [LINUX_KEMBU [KEMBU_EXE [STATIC_KEMBU]]]
#   By default the programs in build/linux, build/win64 and build/static-x86_64
#   (bash scripts/test.sh --tests-only builds them); a missing one's rows are
#   left out. RUNS (default 100): runs per command; SIZES (default "512 4G"):
#   the images. BEFORE=PROGRAM also times PROGRAM's backup (an older build,
#   say) on the first image, in the same hyperfine run as kembu's.
# Needs hyperfine, valgrind, strace, python3; for Wine: wine64 and
# g++-mingw-w64-x86-64-posix.
set -euo pipefail
bench_dir=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$bench_dir")
source "$bench_dir/lib.sh"
runs=${RUNS:-100}
read -ra sizes <<<"${SIZES:-512 4G}"
results=${RESULTS:-$bench_dir/results.md}
work=$root/build/bench
wine=/usr/lib/wine/wine64
# The system's Python: a wrapper in PATH (pyenv) would be measured instead.
python=/usr/bin/python3
for tool in hyperfine valgrind strace "$python"; do
  command -v "$tool" >/dev/null || { echo "$tool is missing" >&2; exit 1; }
done
kembu=$(realpath "${1:-$root/build/linux/kembu}")
exe=$(realpath -e "${2:-$root/build/win64/kembu.exe}" 2>/dev/null) || exe=""
static=$(realpath -e "${3:-$root/build/static-x86_64/kembu}" 2>/dev/null) || static=""
before=${BEFORE:+$(realpath "$BEFORE")}
size_label() { case $1 in *G) echo "${1%G} GiB" ;; *M) echo "${1%M} MiB" ;; *) echo "$1 B" ;; esac
}
# Runs hyperfine on NAME COMMAND pairs, keeping its markdown in FILE.
timed() {
  local file=$1 warmup=$2 names=()
  shift 2
  while [ $# -gt 0 ]; do names+=(-n "$1"); commands+=("$2"); shift 2; done
  hyperfine -N --warmup "$warmup" --runs "$runs" --style basic --export-markdown "$file" \
    "${names[@]}" "${commands[@]}" | { grep -E '^(Benchmark|  Time)' || true; }
}

rm -rf "$work"
mkdir -p "$work/md"
load=$(cut -d ' ' -f 1-3 /proc/loadavg)
startup=$(syscall_names /bin/true)
counts=$'| image | command | instructions | system calls |\n|---|---|---:|---:|'
for size in "${sizes[@]}"; do
  mkdir "$work/$size"
  cd "$work/$size"
  make_image image.fw "$size"
  # A restore needs a backup first; figures of a failed run mean nothing.
  expect_ok b && expect_ok r
  runs_here=(/bin/true /bin/true "kembu b" "$kembu b image.fw" "kembu r" "$kembu r image.fw")
  if [ -n "$before" ] && [ "$size" = "${sizes[0]}" ]; then
    kembu=$before expect_ok b
    runs_here+=("kembu b (before)" "$before b image.fw")
  fi
  [ -z "$static" ] ||
    runs_here+=("kembu b (static)" "$static b image.fw" "kembu r (static)" "$static r image.fw")
  runs_here+=("dd bs=1" "dd if=image.fw of=KEMBU.BIN skip=20 count=490 bs=1"
    "python3 struct" "$python $bench_dir/peer_backup.py image.fw")
  echo "== $(size_label "$size") image"
  commands=()
  timed "$work/md/linux-$size.md" 3 "${runs_here[@]}"
  for ((i = 0; i < ${#commands[@]}; i++)); do
    # shellcheck disable=SC2086
    counts+=$'\n'"| $(size_label "$size") | \`${runs_here[2 * i]}\` | "
    # shellcheck disable=SC2086
    counts+="$(instructions ${commands[i]}) | $(syscall_names ${commands[i]} | wc -l) |"
  done
  # The calls themselves; a static program has no start-up to share.
  calls=$(for op in b r; do
    echo "- kembu $op: $(after_startup "$startup" "$(syscall_names "$kembu" $op image.fw)" |
      paste -sd ' ')"
    [ -z "$static" ] || echo "- kembu $op (static): $(syscall_names "$static" $op image.fw |
      sed '1{/^execve$/d}' | paste -sd ' ')"
  done)
done

wine_sizes=()
if [ -n "$exe" ] && [ -x "$wine" ]; then
  export WINEPREFIX=$work/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
  "$wine" wineboot --init >/dev/null 2>&1
  # One server for the whole comparison, so no run pays for starting it.
  wineserver=/usr/lib/wine/wineserver64
  "$wineserver" -k 2>/dev/null || true
  "$wineserver" -w
  "$wineserver" -p
  trap '"$wineserver" -k 2>/dev/null || true' EXIT
  # Built like kembu.exe: no C runtime, raw entry point, KERNEL32 only.
  x86_64-w64-mingw32-gcc-posix -Os -nostdlib -nostartfiles -Wl,-e,Start -s \
    "$bench_dir/nothing.c" -lkernel32 -o "$work/nothing.exe"
  for size in 512 4G; do
    mkdir "$work/wine-$size"
    cd "$work/wine-$size"
    make_image image.fw "$size"
    "$wine" "$exe" b image.fw | grep -q "Backup Ok!" || { echo "kembu.exe b failed" >&2; exit 1; }
    echo "== Wine, $(size_label "$size") image"
    commands=()
    timed "$work/md/wine-$size.md" 10 nothing.exe "$wine $work/nothing.exe" \
      "kembu.exe b" "$wine $exe b image.fw" "kembu.exe r" "$wine $exe r image.fw"
    wine_sizes+=("$size")
  done
fi

first_line() { $1 2>&1 | head -n 1; }
{
  echo "# kembu: speed and size"
  echo
  echo "Generated by \`bench/run.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC'), load $load; do not edit."
  echo "Wall time: hyperfine, $runs runs after 3 warm-ups (10 under Wine), no shell."
  echo "Instructions: callgrind's total, loader and libc start-up included."
  echo "System calls: strace -f, every call counted."
  echo
  echo "- $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1), $(nproc) cores;" \
    "$(uname -sr); $(df --output=fstype "$work" | tail -n 1)"
  for tool in "ldd --version" "c++ --version" "hyperfine --version" "valgrind --version" \
              "strace -V" "$python --version"; do
    echo "- $(first_line "$tool")"
  done
  echo "- kembu: $(stat -c %s "$kembu") bytes${static:+; static: $(stat -c %s "$static") bytes}"
  [ ${#wine_sizes[@]} -eq 0 ] || echo "- $(first_line "$wine --version"); kembu.exe" \
    "$(stat -c %s "$exe") bytes, nothing.exe $(stat -c %s "$work/nothing.exe") bytes"
  for size in "${sizes[@]}"; do
    printf '\n## Linux, %s image\n\n' "$(size_label "$size")"
    cat "$work/md/linux-$size.md"
  done
  for size in "${wine_sizes[@]}"; do
    printf '\n## Wine, %s image\n\n' "$(size_label "$size")"
    cat "$work/md/wine-$size.md"
  done
  printf '\n## Instructions and system calls\n\n%s\n' "$counts"
  printf '\n## System calls on the last image\n\nAfter those /bin/true makes too; %s\n\n%s\n' \
    "for the static program, all after execve." "$calls"
} >"$results"
echo "== written: $results"
