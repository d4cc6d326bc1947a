# Sourced by the scripts.
#
# The table cmake/targets.txt, as cmake/targets.cmake reads it: targets, the
# build targets' names (the native one first), and for each row NAME and
# column COLUMN, row_COLUMN[NAME] (lists apart by spaces, "" for "-"). CMake
# reads the table, so it is installed first where it is missing.
kembu_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
declare -A row_name row_system row_machine row_debian row_wine row_toolchain row_runner row_size \
  row_packages row_runs_with
read_targets() {
  local table
  table=$(cmake -P "$kembu_root/cmake/targets.cmake") || return 1
  eval "$table"
}

# tree_fact TREE COLUMN: the column of the row that the tree under build/
# was made for, as the tree wrote it down when configured (target.txt), with
# not_run: why this machine cannot run its programs, "" when it can.
tree_fact() {
  (source "$kembu_root/build/$1/target.txt" 2>/dev/null && echo "${!2}")
}

# needs NAME...: every Debian package that those rows name, their runners' too.
needs() {
  local name
  for name in "$@"; do echo "${row_packages[$name]} ${row_runs_with[$name]}"; done |
    tr ' ' '\n' | sed '/^$/d' | sort -u | paste -sd ' '
}

# try_packages NAME... installs the Debian packages that are missing (as root,
# or through sudo without a password), all in one apt-get transaction, and
# fails when that cannot be done; ensure_packages NAME... stops the script
# instead, with a hint. apt-get's output goes to build/apt.log; the terminal
# gets its progress. A NAME:ARCH package (wine32:i386, musl-dev:arm64) turns
# on that foreign architecture first.
try_packages() {
  local package missing=()
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
      missing+=("$package")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  command -v apt-get >/dev/null || return 1
  local sudo=() arch log=$kembu_root/build/apt.log
  if [ "$(id -u)" != 0 ]; then
    command -v sudo >/dev/null && sudo -n true 2>/dev/null || return 1
    sudo=(sudo -n)
  fi
  mkdir -p "$kembu_root/build"
  for arch in $(printf '%s\n' "${missing[@]}" | sed -n 's/^[^:]*:\(.*\)$/\1/p' | sort -u); do
    [ "$arch" != "$(dpkg --print-architecture)" ] || continue
    dpkg --print-foreign-architectures | grep -qx "$arch" && continue
    "${sudo[@]}" dpkg --add-architecture "$arch" || return 1
    apt_lists_read=""
  done
  echo "== installing ${missing[*]} (log: build/apt.log)"
  if [ -z "${apt_lists_read:-}" ]; then
    echo "   apt-get update"
    "${sudo[@]}" apt-get update >>"$log" 2>&1 ||
      echo "   apt-get update reported errors (see the log); going on with the lists it has"
    apt_lists_read=yes
  fi
  # A mirror whose security suite lags for one architecture offers no
  # foreign twin of a library updated there (wine32:i386 then cannot be
  # installed): the release's own suite then gives matching pairs. Nothing is
  # ever removed to make room.
  apt_install "${missing[@]}" && return 0
  local release
  release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  [ -n "$release" ] || return 1
  echo "   that failed (end of the log above); again, from $release alone"
  apt_install -t "$release" "${missing[@]}"
}

# apt_install ARGUMENT...: apt-get install, quiet but for a line per tenth
# of its progress, and the end of its log when it fails.
apt_install() {
  local - log=$kembu_root/build/apt.log status=0
  set -o pipefail
  echo "-- apt-get install $*" >>"$log"
  local start
  start=$(wc -l <"$log")
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
    --no-remove -o DPkg::Lock::Timeout=600 -o APT::Status-Fd=3 "$@" 3>&1 >>"$log" 2>&1 |
    awk -F: '$1 ~ /^(dl|pm)status$/ {
               step = $1 == "dlstatus" ? "downloading" : "installing"
               tenth = int($3 / 10)
               if (step != last || tenth > shown) {
                 printf "   %s: %d%%\n", step, tenth * 10; fflush(); last = step; shown = tenth
               }
             }' || status=$?
  [ "$status" = 0 ] ||
    tail -n "+$((start + 2))" "$log" | grep -v '^debconf: delaying' | tail -n 12 | sed 's/^/   | /'
  return "$status"
}

ensure_packages() {
  try_packages "$@" || { echo "Cannot install: $* (Debian: apt-get install $*)." >&2; exit 1; }
}

ensure_packages cmake
read_targets || { echo "Cannot read cmake/targets.txt." >&2; exit 1; }
