#!/usr/bin/env bash
# Builds kembu for Linux and for 64-bit and 32-bit Windows and runs every
# test: the Linux ones natively, the Windows ones under Wine. Installs what
# is missing with apt-get when it can. Usage: bash scripts/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc 2>/dev/null || echo 2)

linux_packages=(cmake make g++ libgtest-dev googletest strace)
windows_packages=(g++-mingw-w64-x86-64-posix wine64)
windows32_packages=(g++-mingw-w64-i686-posix wine32:i386)

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
  # wine32 comes from the i386 architecture.
  if printf '%s\n' "$@" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo[@]}" dpkg --add-architecture i386 || return 1
  fi
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

windows32=yes
mapfile -t need_windows32 < <(missing "${windows32_packages[@]}")
if ! install_packages "${need_windows32[@]}"; then
  echo "Cannot install: ${need_windows32[*]} (Debian: dpkg --add-architecture i386; apt-get update; apt-get install ${need_windows32[*]})."
  windows32=no
fi
wine32=/usr/lib/wine/wine
[ -x "$wine32" ] || windows32=no

windows_dir=""
if [ "$windows" = yes ]; then
  echo "== building for Windows (x64)"
  cmake -S "$root" -B build/win64 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
  cmake --build build/win64 -j "$jobs"
  windows_dir=$root/build/win64
fi

windows32_dir=""
if [ "$windows32" = yes ]; then
  echo "== building for Windows (32-bit)"
  cmake -S "$root" -B build/win32 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-i686.cmake" >/dev/null
  cmake --build build/win32 -j "$jobs"
  windows32_dir=$root/build/win32
fi

echo "== building for Linux"
cmake -S "$root" -B build/linux -DKEMBU_WINDOWS_BUILD_DIR="$windows_dir" -DKEMBU_WINE="$wine" \
  -DKEMBU_WINDOWS32_BUILD_DIR="$windows32_dir" -DKEMBU_WINE32="$wine32" >/dev/null
cmake --build build/linux -j "$jobs"

echo "== testing"
(cd build/linux && ctest --output-on-failure -j "$jobs" --timeout 300)

if [ "$windows" != yes ] || [ "$windows32" != yes ]; then
  [ "$windows" = yes ] || echo "THE 64-BIT WINDOWS TESTS DID NOT RUN: mingw-w64 (x86-64) or wine64 is missing."
  [ "$windows32" = yes ] || echo "THE 32-BIT WINDOWS TESTS DID NOT RUN: mingw-w64 (i686) or wine32 is missing."
  if [ "${CI:-}" = true ]; then exit 1; fi
fi
