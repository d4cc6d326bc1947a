#!/usr/bin/env bash
# Builds kembu's packages from scratch and checks them: the Debian package and
# the .tar.gz of the static program for Linux x86-64 and arm64, and a zip for
# each Windows build whose toolchain is here. Then builds them all again from
# a copy of the sources elsewhere and checks that the bytes are the same.
# Last, gathers the packages into build/packages with a SHA256SUMS file that
# covers them all, to upload as they are. The amd64 .deb is installed into
# this system for the check and purged again, also when the script fails, so
# it runs as root; the arm64 program runs under qemu-user.
# Usage: bash scripts/package.sh        (packages and SHA256SUMS land in build/packages/)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc 2>/dev/null || echo 2)
version=$(sed -n 's/^project(kembu VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "No version in CMakeLists.txt's project()." >&2; exit 1; }

linux_packages=(cmake make g++ dpkg-dev file lintian groff-base man-db musl-tools musl-dev
  binutils g++-aarch64-linux-gnu binutils-aarch64-linux-gnu musl-dev:arm64 qemu-user)

# Every time stamp in the packages is the last commit's, so that the same
# commit gives the same bytes wherever and whenever it is built.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || stat -c %Y CMakeLists.txt)
fi
export SOURCE_DATE_EPOCH

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

if [ "$(id -u)" != 0 ]; then
  echo "Run as root: the check installs the .deb with dpkg -i and purges it again." >&2
  exit 1
fi
source scripts/packages.sh
ensure_packages "${linux_packages[@]}"

scratch=$(mktemp -d)
installed_by_us=no
cleanup() {
  if [ "$installed_by_us" = yes ]; then
    echo "== purging the kembu package again"
    dpkg --purge kembu >/dev/null || echo "dpkg --purge kembu failed: remove it by hand." >&2
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The exact text of a run without an operation letter.
usage_text=$'\r\n******************************************************'
usage_text+=$'\r\n* KEMBU fwimage header backup - restore by ZEM v0.00 *'
usage_text+=$'\r\n******************************************************'
usage_text+=$'\r\n Type "kembu b fwimage.fw"\r\n     to Backup header BEFORE unpacking by trelm.exe'
usage_text+=$'\r\n Type "kembu r fwimage.fw"\r\n     to Restore header AFTER  packing by trelm.exe\r\n'

# Runs "$@" without arguments and compares its output with the usage text.
check_usage_run() {
  local what=$1 output
  shift
  # The trailing x keeps the final line end through the command substitution.
  if output=$("$@" && echo x) && [ "${output%x}" = "$usage_text" ]; then
    pass "$what prints the usage text and exits with 0"
  else
    fail "$what: output or exit status differ from the usage run"
  fi
}

# A backup and a restore on an all-zero image, whose checksum is valid.
check_cycle() {
  local what=$1 dir
  shift
  dir=$(mktemp -d "$scratch/cycle.XXXXXX")
  head -c 1024 /dev/zero >"$dir/fw image.fw"
  if (cd "$dir" && "$@" b fw image.fw | tr -d '\r' | tail -n 1 | grep -qx 'Backup Ok!') &&
     [ "$(stat -c %s "$dir/KEMBU.BIN")" = 490 ] &&
     (cd "$dir" && "$@" R "fw image.fw" | tr -d '\r' | tail -n 1 | grep -qx 'Restore Ok!') &&
     cmp -s "$dir/fw image.fw" <(head -c 1024 /dev/zero); then
    pass "$what: backup and restore of a sample image"
  else
    fail "$what: backup and restore of a sample image"
  fi
}

# groff prints its warnings on standard error; there must be none.
check_man_source() {
  local what=$1 warnings
  warnings=$(groff -man -Tutf8 -ww 2>&1 >/dev/null) || true
  if [ -z "$warnings" ]; then pass "$what renders without groff warnings"; else
    fail "$what: groff warnings:"; echo "$warnings" >&2
  fi
}

# True while dpkg knows a kembu package in any state but purged.
known_to_dpkg() {
  local status
  status=$(dpkg-query -W -f='${Status}' kembu 2>/dev/null) || return 1
  [[ $status != *not-installed ]]
}

# True when dpkg is told not to install the path (path-exclude in minimal
# images); dpkg lets the last matching filter decide.
dpkg_excludes() {
  local path=$1 verdict=no kind pattern
  while read -r kind pattern; do
    # Unquoted: a glob, and dpkg's * matches slashes too, as bash's does here.
    # shellcheck disable=SC2053
    [[ $path == $pattern ]] || continue
    [ "$kind" = path-exclude ] && verdict=yes || verdict=no
  done < <(cat /etc/dpkg/dpkg.cfg /etc/dpkg/dpkg.cfg.d/* 2>/dev/null |
           sed -n 's/^[[:space:]]*\(path-exclude\|path-include\)[[:space:]=]\+/\1 /p')
  [ "$verdict" = yes ]
}

echo "== kembu $version: manual page"
check_man_source "doc/kembu.1" <doc/kembu.1
if command -v mandoc >/dev/null; then
  if mandoc -Tlint -W style doc/kembu.1; then pass "mandoc -Tlint"; else fail "mandoc -Tlint"; fi
fi

# build_package SOURCE TREE TOOLCHAIN: configures, builds and packs one tree
# from scratch, quietly; the log is TREE/package.log.
build_package() {
  local source=$1 tree=$2 toolchain=$3
  rm -rf "$tree"
  mkdir -p "$tree"
  { cmake -S "$source" -B "$tree" -DCMAKE_TOOLCHAIN_FILE="$source/$toolchain" \
      -DCMAKE_BUILD_TYPE=Release -DKEMBU_BUILD_TESTS=OFF &&
    cmake --build "$tree" -j "$jobs" &&
    (cd "$tree" && cpack); } >"$tree/package.log" 2>&1
}

# Builds the static program's .deb and .tar.gz for one architecture and checks
# them. $1: uname -m name (x86_64, aarch64), $2: Debian's name (amd64,
# arm64), $3: readelf's machine name, $4: toolchain file; the rest runs a
# program of that architecture here (nothing for the host's own, qemu-user).
linux_package() {
  local arch=$1 deb_arch=$2 machine=$3 toolchain=$4
  shift 4
  local runner=("$@") dir=build/pkg-linux-$arch deb tgz tgz_dir deb_files path program
  echo "== Linux $arch: Debian package and .tar.gz (static)"
  if ! build_package "$root" "$dir" "$toolchain"; then
    cat "$dir/package.log" >&2
    fail "linux $arch: build or cpack failed"
    return
  fi
  if grep -i "warning" "$dir/package.log" >&2; then fail "linux $arch: the build warns"; fi
  deb=$dir/kembu_${version}_$deb_arch.deb
  tgz_dir=kembu-$version-linux-$arch
  tgz=$dir/$tgz_dir.tar.gz
  for path in "$deb" "$tgz"; do
    [ -f "$path" ] || { fail "cpack made no $path"; return; }
  done
  packages+=("$deb" "$tgz")
  package_trees[pkg-linux-$arch]=$toolchain

  deb_files=$(dpkg-deb -c "$deb" | awk '{ print $6 }')
  for path in ./usr/bin/kembu ./usr/share/man/man1/kembu.1.gz ./usr/share/doc/kembu/copyright \
              ./usr/share/doc/kembu/changelog.gz ./usr/share/lintian/overrides/kembu; do
    if grep -qx "$path" <<<"$deb_files"; then pass "$deb holds $path"; else fail "$deb lacks $path"; fi
  done
  if [ "$(dpkg-deb -f "$deb" Architecture)" = "$deb_arch" ]; then
    pass "$deb is for $deb_arch"
  else
    fail "$deb is for $(dpkg-deb -f "$deb" Architecture), not $deb_arch"
  fi
  # No Depends, Pre-Depends or Recommends: no libc6 of a given version.
  if [ -z "$(dpkg-deb -f "$deb" Depends Pre-Depends Recommends)" ]; then
    pass "$deb depends on nothing"
  else
    fail "$deb depends on: $(dpkg-deb -f "$deb" Depends Pre-Depends Recommends | tr '\n' ' ')"
  fi
  dpkg-deb -x "$deb" "$scratch/deb-$arch"
  program=$scratch/deb-$arch/usr/bin/kembu
  case $(file -b "$program") in
    *"statically linked"*", stripped"*) pass "usr/bin/kembu is static and stripped" ;;
    *) fail "usr/bin/kembu is not static and stripped: $(file -b "$program")" ;;
  esac
  if readelf -h "$program" | grep -q "Machine:.*$machine" &&
     ! readelf -lW "$program" | grep -qE "^[[:space:]]*INTERP" &&
     ! readelf -dW "$program" | grep -q NEEDED; then
    pass "usr/bin/kembu is for $machine, with no interpreter and no shared library"
  else
    fail "usr/bin/kembu is not a self-contained $machine program"
  fi
  if zcat "$scratch/deb-$arch/usr/share/man/man1/kembu.1.gz" | cmp -s - doc/kembu.1; then
    pass "the packaged manual page is doc/kembu.1"
  else
    fail "the packaged manual page differs from doc/kembu.1"
  fi
  check_usage_run "kembu from $deb" "${runner[@]}" "$program"
  check_cycle "kembu from $deb" "${runner[@]}" "$program"

  echo "-- lintian $deb"
  local lintian_status=0 lintian_output
  lintian_output=$(lintian --fail-on error --display-info "$deb" 2>&1) || lintian_status=$?
  grep -v '^running with root privileges' <<<"$lintian_output" || true
  if [ "$lintian_status" = 0 ]; then pass "lintian reports no errors"; else fail "lintian reports errors"; fi

  if [ "$deb_arch" = "$(dpkg --print-architecture)" ]; then
    install_check "$deb"
  else
    echo "note: $deb is not for this machine; checked inside the package, run through ${runner[*]}"
  fi

  echo "-- $tgz"
  mkdir "$scratch/tgz-$arch"
  tar -xzf "$tgz" -C "$scratch/tgz-$arch"
  for path in bin/kembu share/man/man1/kembu.1.gz share/doc/kembu/copyright; do
    if [ -f "$scratch/tgz-$arch/$tgz_dir/$path" ]; then pass "$tgz holds $path"; else
      fail "$tgz lacks $path"
    fi
  done
  if [ -e "$scratch/tgz-$arch/$tgz_dir/share/lintian" ]; then fail "$tgz holds Debian's lintian override"; fi
  if cmp -s "$scratch/tgz-$arch/$tgz_dir/bin/kembu" "$program"; then
    pass "$tgz holds the same program as $deb"
  else
    fail "$tgz and $deb hold different programs"
  fi
}

# Installs the .deb into this system, runs it, removes and purges it.
install_check() {
  local deb=$1
  echo "-- dpkg -i, run, dpkg -r, dpkg --purge"
  if known_to_dpkg; then
    echo "FAIL: a kembu package is installed already; remove it first (dpkg --purge kembu)." >&2
    exit 1
  fi
  installed_by_us=yes
  dpkg -i "$deb" >/dev/null
  mapfile -t owned < <(dpkg -L kembu)
  check_usage_run "installed kembu" /usr/bin/kembu
  check_cycle "installed kembu" /usr/bin/kembu
  man_page=/usr/share/man/man1/kembu.1.gz
  if dpkg_excludes "$man_page"; then
    echo "note: dpkg is set to leave out $man_page here (path-exclude); checked inside the .deb only"
  elif [ "$(man -w kembu 2>/dev/null)" = "$man_page" ] &&
       MANWIDTH=80 man kembu 2>/dev/null | grep -q 'Input file is KEMBU.BIN!'; then
    pass "man -w kembu finds $man_page and man renders it"
  else
    fail "man does not find or render the installed kembu page"
  fi
  dpkg -r kembu >/dev/null
  if [ ! -e /usr/bin/kembu ]; then pass "dpkg -r removes /usr/bin/kembu"; else
    fail "/usr/bin/kembu left after dpkg -r"
  fi
  # After dpkg -r there may be nothing left to purge; dpkg then only warns.
  dpkg --purge kembu >/dev/null 2>&1 || true
  installed_by_us=no
  if known_to_dpkg; then
    fail "dpkg --purge left the package known to dpkg"
  fi
  local left=() path
  for path in "${owned[@]}"; do
    # Shared directories such as /usr/bin stay; kembu's own must go.
    if [ -d "$path" ] && [ "$path" != /usr/share/doc/kembu ]; then continue; fi
    [ -e "$path" ] && left+=("$path")
  done
  if [ ${#left[@]} -eq 0 ]; then pass "nothing left after dpkg --purge"; else
    fail "left after dpkg --purge: ${left[*]}"
  fi
}

packages=()
declare -A package_trees
linux_package x86_64 amd64 X86-64 cmake/musl-x86_64.cmake
linux_package aarch64 arm64 AArch64 cmake/linux-aarch64-static.cmake qemu-aarch64

# Wine, when it is here, runs the zipped kembu.exe once.
wine_prefix=$root/build/pkg-wine
wine_ready=no
run_wine() {
  local loader=$1
  shift
  WINEPREFIX=$wine_prefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= "$loader" "$@"
}

# Builds one Windows zip and checks it. $1: win64 or win32, $2: toolchain
# file, $3: compiler, $4: Debian package of the compiler, $5: Wine loader.
windows_package() {
  local platform=$1 toolchain=$2 compiler=$3 compiler_package=$4 loader=$5
  local dir=build/pkg-$platform zip log entries readme prefix
  echo "== Windows: $platform"
  rm -rf "$dir"  # no stale zip from an earlier run
  if [ ! -f "$toolchain" ]; then
    echo "SKIPPED: no $toolchain"
    return
  fi
  command -v "$compiler" >/dev/null || try_packages "$compiler_package" || true
  if ! command -v "$compiler" >/dev/null; then
    echo "SKIPPED: no $compiler (Debian: apt-get install $compiler_package)"
    [ "${CI:-}" != true ] || fail "$platform: no compiler under CI"
    return
  fi
  if ! build_package "$root" "$dir" "$toolchain"; then
    cat "$dir/package.log" >&2
    fail "$platform: build or cpack failed"
    return
  fi
  # Without its entry symbol the linker still makes a program, one that
  # starts at the wrong place.
  if grep -i "warning" "$dir/package.log" >&2; then fail "$platform: the build warns"; return; fi
  zip=$dir/kembu-$version-$platform.zip
  [ -f "$zip" ] || { fail "cpack made no $zip"; return; }
  packages+=("$zip")
  package_trees[pkg-$platform]=$toolchain
  entries=$(cmake -E tar tf "$zip" | sort | tr '\n' ' ')
  if [ "$entries" = "README.txt kembu.exe " ]; then pass "$zip holds kembu.exe and README.txt"; else
    fail "$zip holds: $entries"
  fi
  mkdir "$scratch/$platform"
  (cd "$scratch/$platform" && cmake -E tar xf "$root/$zip")
  readme=$scratch/$platform/README.txt
  # Every line ends in CR LF: as many LF as CR LF, no other CR, a final LF.
  if [ "$(grep -c $'\r$' "$readme")" = "$(wc -l <"$readme")" ] &&
     [ "$(tr -cd '\r' <"$readme" | wc -c)" = "$(wc -l <"$readme")" ] &&
     [ "$(tail -c 1 "$readme" | od -An -tx1 | tr -d ' ')" = 0a ]; then
    pass "README.txt has CR LF line ends"
  else
    fail "README.txt does not end every line with CR LF"
  fi
  # README.txt is the manual page as text: it has each of the page's sections.
  local heading missing=()
  while read -r heading; do
    grep -qx "$heading"$'\r' "$readme" || missing+=("$heading")
  done < <(sed -n 's/^\.SH "\{0,1\}\([^"]*\)"\{0,1\}$/\1/p' doc/kembu.1)
  if [ ${#missing[@]} -eq 0 ]; then pass "README.txt holds the manual page's sections"; else
    fail "README.txt lacks the manual page's sections: ${missing[*]}"
  fi
  if grep -q "^kembu $version " "$readme"; then pass "README.txt names version $version"; else
    fail "README.txt does not name version $version"
  fi
  prefix=${compiler%%-g++*}
  if [ "$("$prefix-objdump" -p "$scratch/$platform/kembu.exe" |
          sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p')" = KERNEL32.dll ]; then
    pass "kembu.exe imports from KERNEL32.dll only"
  else
    fail "kembu.exe imports from more than KERNEL32.dll"
  fi
  if [ -x "$loader" ]; then
    if [ "$wine_ready" = no ]; then
      rm -rf "$wine_prefix"
      run_wine "$loader" wineboot --init >/dev/null 2>&1 || true
      wine_ready=yes
    fi
    check_usage_run "kembu.exe ($platform) under Wine" run_wine "$loader" "$scratch/$platform/kembu.exe"
  else
    echo "note: no $loader; kembu.exe ($platform) not run"
  fi
}

windows_package win64 cmake/mingw-w64-x86_64.cmake x86_64-w64-mingw32-g++-posix \
  g++-mingw-w64-x86-64-posix /usr/lib/wine/wine64
windows_package win32 cmake/mingw-w64-i686.cmake i686-w64-mingw32-g++-posix \
  g++-mingw-w64-i686-posix /usr/lib/wine/wine

# Each tree again, from a copy of the sources in another folder, some time
# later: every package must come out byte for byte the same.
echo "== reproducible builds"
again=$scratch/again
mkdir -p "$again/src"
tar -C "$root" --exclude=./build --exclude=./.git -cf - . | tar -C "$again/src" -xf -
sleep 1
for tree in "${!package_trees[@]}"; do
  if ! build_package "$again/src" "$again/$tree" "${package_trees[$tree]}"; then
    cat "$again/$tree/package.log" >&2
    fail "$tree: the second build failed"
    continue
  fi
  for package in "${packages[@]}"; do
    [ "$(dirname "$package")" = "build/$tree" ] || continue
    if cmp -s "$package" "$again/$tree/$(basename "$package")"; then
      pass "$(basename "$package") is reproducible"
    else
      fail "$(basename "$package") differs when built again elsewhere"
    fi
  done
done

# release DIR PACKAGE...: copies the packages into DIR, with a SHA256SUMS
# file for `sha256sum -c`, sorted by name in the C locale so that it is the
# same file every time.
release() {
  local dir=$1
  shift
  rm -rf "$dir"
  mkdir -p "$dir"
  cp "$@" "$dir"
  (cd "$dir" && shopt -s nullglob && export LC_ALL=C &&
   sha256sum -- *.deb *.tar.gz *.zip | sort -k 2 >SHA256SUMS)
}

echo "== packages and SHA256SUMS"
if release build/packages "${packages[@]}" && (cd build/packages && sha256sum -c --quiet SHA256SUMS) &&
   [ "$(wc -l <build/packages/SHA256SUMS)" = "${#packages[@]}" ]; then
  pass "build/packages/SHA256SUMS covers all ${#packages[@]} packages and sha256sum -c passes"
else
  fail "build/packages/SHA256SUMS does not check, or misses a package"
fi
again_packages=()
for package in "${packages[@]}"; do
  again_packages+=("$again/$(basename "$(dirname "$package")")/$(basename "$package")")
done
if release "$again/packages" "${again_packages[@]}" 2>/dev/null &&
   cmp -s build/packages/SHA256SUMS "$again/packages/SHA256SUMS"; then
  pass "SHA256SUMS is reproducible"
else
  fail "SHA256SUMS differs when built again elsewhere"
fi
for package in build/packages/*; do
  echo "$(stat -c %s "$package") bytes  $package"
done
if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) FAILED" >&2
  exit 1
fi
echo "all package checks passed"
