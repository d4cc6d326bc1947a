#!/usr/bin/env bash
# Benchmarks kembu against the floor (/bin/true) and the peers a user would
# otherwise reach for (dd, a Python script), on a 512-byte and a 4 GiB image
# (sparse past the header): wall time (hyperfine), instructions (callgrind),
# system calls (strace -f); under Wine, kembu.exe against a program that does
# nothing, on the small image. Writes hyperfine's markdown export and the
# counts to RESULTS (bench/results.md). Installs what it needs but Wine and
# mingw-w64 (scripts/test.sh does). Usage: bench/run.sh [KEMBU [KEMBU_EXE [STATIC]]]
#   By default the programs scripts/test.sh --tests-only builds; a missing
#   one's rows are left out. RUNS (100): runs per command; SIZES ("512 4G");
#   BEFORE=PROGRAM times that backup (an older build's, say) beside kembu's.
set -euo pipefail
bench_dir=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$bench_dir")
source "$bench_dir/lib.sh"
source "$root/scripts/targets.sh"
# shellcheck disable=SC2046
ensure_packages $(needs linux bench)
# From cmake/targets.txt: the Windows target and the static one for this
# machine's processor, and Wine's loader.
for target in "${targets[@]:1}"; do
  [ "${row_machine[$target]}" = "$(uname -m)" ] || continue
  case ${row_system[$target]} in
    linux) static_tree=${static_tree:-$target} ;;
    windows) windows_tree=${windows_tree:-$target} ;;
  esac
done
wine=${row_runner[$windows_tree]}
runs=${RUNS:-100}
read -ra sizes <<<"${SIZES:-512 4G}"
results=${RESULTS:-$bench_dir/results.md}
work=$root/build/bench
# The system's Python: a wrapper in PATH (pyenv) would be measured instead.
python=/usr/bin/python3
for tool in hyperfine valgrind strace "$python"; do
  command -v "$tool" >/dev/null || { echo "$tool is missing" >&2; exit 1; }; done
kembu=$(realpath "${1:-$root/build/linux/kembu}")
exe=$(realpath -e "${2:-$root/build/$windows_tree/kembu.exe}" 2>/dev/null) || exe=""
static=$(realpath -e "${3:-$root/build/$static_tree/kembu}" 2>/dev/null) || static=""
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

rm -rf "$work" && mkdir -p "$work/md"
load=$(cut -d ' ' -f 1-3 /proc/loadavg)
counts=$'| image | command | instructions | system calls |\n|---|---|---:|---:|'
for size in "${sizes[@]}"; do
  mkdir "$work/$size" && cd "$work/$size"
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
  # By its path: the counts are taken in an empty environment, without PATH.
  runs_here+=("dd bs=1" "/bin/dd if=image.fw of=KEMBU.BIN skip=20 count=490 bs=1"
    "python3 struct" "$python $bench_dir/peer_backup.py image.fw")
  echo "== $(size_label "$size") image"
  commands=()
  timed "$work/md/linux-$size.md" 3 "${runs_here[@]}"
  for ((i = 0; i < ${#commands[@]}; i++)); do
    counts+=$'\n'"| $(size_label "$size") | \`${runs_here[2 * i]}\` | "
    # shellcheck disable=SC2086
    counts+="$(instructions ${commands[i]}) | $(syscall_names ${commands[i]} | wc -l) |"
  done
done

wine_sizes=()
if [ -n "$exe" ] && [ -x "$wine" ]; then
  export WINEPREFIX=$work/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
  "$wine" wineboot --init >/dev/null 2>&1
  # One server for the whole comparison, so no run pays for starting it.
  wineserver=$(dirname "$wine")/wineserver64  # Debian's, beside the loader
  "$wineserver" -k 2>/dev/null || true
  "$wineserver" -w && "$wineserver" -p
  trap '"$wineserver" -k 2>/dev/null || true' EXIT
  # Built like kembu.exe: no C runtime, raw entry point, KERNEL32 only.
  x86_64-w64-mingw32-gcc-posix -Wall -Wextra -Os -nostdlib -nostartfiles -Wl,-e,Start -s \
    -Wl,--gc-sections,--subsystem,console "$bench_dir/nothing.c" -lkernel32 -o "$work/nothing.exe"
  # Wine's start-up dwarfs the rest: the small image says all there is.
  mkdir "$work/wine-512" && cd "$work/wine-512"
  make_image image.fw 512
  "$wine" "$exe" b image.fw | grep -q "Backup Ok!" || { echo "kembu.exe b failed" >&2; exit 1; }
  echo "== Wine, 512 B image"
  commands=()
  timed "$work/md/wine-512.md" 10 nothing.exe "$wine $work/nothing.exe" \
    "kembu.exe b" "$wine $exe b image.fw" "kembu.exe r" "$wine $exe r image.fw"
  wine_sizes+=(512)
fi

first_line() { $1 2>&1 | head -n 1; }
{
  printf '# kembu: speed and size\n\n'
  echo "Generated by \`bench/run.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC'), load $load; do not edit."
  echo "Wall time: hyperfine, $runs runs after 3 warm-ups (10 under Wine), no shell."
  echo "Instructions: callgrind's total, loader and libc start-up included."
  echo "System calls: strace -f, every call counted (bench/budgets.sh shows which, in order)."
  echo
  echo "- $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1), $(nproc) cores;" \
    "$(uname -sr); $(df --output=fstype "$work" | tail -n 1)"
  echo "- $(for tool in "ldd --version" "c++ --version" "hyperfine --version" \
    "valgrind --version" "strace -V" "$python --version"; do first_line "$tool"; done |
    paste -sd ';' | sed 's/;/; /g')"
  echo "- kembu: $(stat -c %s "$kembu") bytes${static:+; static: $(stat -c %s "$static") bytes}"
  [ ${#wine_sizes[@]} -eq 0 ] || echo "- $(first_line "$wine --version"); kembu.exe" \
    "$(stat -c %s "$exe") bytes, nothing.exe $(stat -c %s "$work/nothing.exe") bytes"
  for run in "${sizes[@]/#/linux-}" "${wine_sizes[@]/#/wine-}"; do
    system=${run%%-*}
    printf '\n## %s, %s image\n\n%s\n' "${system^}" "$(size_label "${run#*-}")" \
      "$(cat "$work/md/$run.md")"
  done
  printf '\n## Instructions and system calls\n\n%s\n' "$counts"
} >"$results"
echo "== written: $results"
