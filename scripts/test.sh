#!/usr/bin/env bash
# Builds kembu for Linux and for 64-bit Windows and runs every test: the
# Linux ones natively, the Windows ones under Wine. Installs what is missing
# with apt-get when it can. Usage: bash scripts/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc 2>/dev/null || echo 2)

linux_packages=(cmake make g++ libgtest-dev googletest strace)
windows_packages=(g++-mingw-w64-x86-64-posix wine64)

missing() {
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || echo "$package"
  done
}

# Installs the named packages; false when that cannot be done here.
install_packages() {
  [ $# -gt 0 ] || return 0
  local sudo=()
  if [ "$(id -u)" != 0 ]; then
    command -v sudo >/dev/null && sudo -n true 2>/dev/null || return 1
    sudo=(sudo -n)
  fi
  command -v apt-get >/dev/null || return 1
  echo "== installing: $*"
  "${sudo[@]}" apt-get update -qq >/dev/null 2>&1 || true
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "$@" \
    >/dev/null || return 1
}

mapfile -t need_linux < <(missing "${linux_packages[@]}")
if ! install_packages "${need_linux[@]}"; then
  echo "Cannot install: ${need_linux[*]}. Install them (Debian: apt-get install ${need_linux[*]}) and run again." >&2
  exit 1
fi

windows=yes
mapfile -t need_windows < <(missing "${windows_packages[@]}")
if ! install_packages "${need_windows[@]}"; then
  echo "Cannot install: ${need_windows[*]} (Debian: apt-get install ${need_windows[*]})."
  windows=no
fi
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || windows=no

windows_dir=""
if [ "$windows" = yes ]; then
  echo "== building for Windows (x64)"
  cmake -S "$root" -B build/win64 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
  cmake --build build/win64 -j "$jobs"
  windows_dir=$root/build/win64
fi

echo "== building for Linux"
cmake -S "$root" -B build/linux -DKEMBU_WINDOWS_BUILD_DIR="$windows_dir" -DKEMBU_WINE="$wine" >/dev/null
cmake --build build/linux -j "$jobs"

echo "== testing"
(cd build/linux && ctest --output-on-failure -j "$jobs" --timeout 300)

if [ "$windows" != yes ]; then
  echo "THE WINDOWS TESTS DID NOT RUN: mingw-w64 or Wine is missing. Only the Linux tests ran."
  if [ "${CI:-}" = true ]; then exit 1; fi
fi
