#!/usr/bin/env bash
# Builds kembu's packages from scratch and checks them: the Debian package and
# the .tar.gz for Linux, and a zip for each Windows build whose toolchain is
# here. The .deb is installed into this system for the check and purged again,
# also when the script fails, so it runs as root.
# Usage: bash scripts/package.sh        (packages land in build/pkg-*/)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc 2>/dev/null || echo 2)
version=$(sed -n 's/^project(kembu VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "No version in CMakeLists.txt's project()." >&2; exit 1; }

linux_packages=(cmake make g++ dpkg-dev file lintian groff-base man-db)

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
if grep -q "^\.TH KEMBU 1 [^ ]* \"kembu $version\"" doc/kembu.1; then
  pass "doc/kembu.1 names version $version"
else
  fail "doc/kembu.1: the .TH line does not name version $version"
fi
if command -v mandoc >/dev/null; then
  if mandoc -Tlint -W style doc/kembu.1; then pass "mandoc -Tlint"; else fail "mandoc -Tlint"; fi
fi

echo "== Linux: Debian package and .tar.gz"
rm -rf build/pkg-linux
# Debian's own compiler and linker flags, with every hardening option; in a
# subshell, so that the Windows builds do not get them.
(
  eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
  CXXFLAGS="$CXXFLAGS $CPPFLAGS" \
    cmake -S "$root" -B build/pkg-linux -DCMAKE_BUILD_TYPE=Release -DKEMBU_BUILD_TESTS=OFF >/dev/null
)
cmake --build build/pkg-linux -j "$jobs" >/dev/null
(cd build/pkg-linux && cpack >cpack.log 2>&1) || { cat build/pkg-linux/cpack.log >&2; exit 1; }
deb=build/pkg-linux/kembu_${version}_$(dpkg --print-architecture).deb
tgz_dir=kembu-$version-linux-$(uname -m | tr '[:upper:]' '[:lower:]')
tgz=build/pkg-linux/$tgz_dir.tar.gz
for package in "$deb" "$tgz"; do
  [ -f "$package" ] || { echo "FAIL: cpack made no $package" >&2; exit 1; }
done

deb_files=$(dpkg-deb -c "$deb" | awk '{ print $6 }')
for path in ./usr/bin/kembu ./usr/share/man/man1/kembu.1.gz \
            ./usr/share/doc/kembu/copyright ./usr/share/doc/kembu/changelog.gz; do
  if grep -qx "$path" <<<"$deb_files"; then pass "$deb holds $path"; else fail "$deb lacks $path"; fi
done
dpkg-deb -x "$deb" "$scratch/deb"
case $(file -b "$scratch/deb/usr/bin/kembu") in
  *", stripped"*) pass "usr/bin/kembu is stripped" ;;
  *) fail "usr/bin/kembu is not stripped" ;;
esac
if zcat "$scratch/deb/usr/share/man/man1/kembu.1.gz" | cmp -s - doc/kembu.1; then
  pass "the packaged manual page is doc/kembu.1"
else
  fail "the packaged manual page differs from doc/kembu.1"
fi

echo "-- lintian"
lintian_status=0
lintian_output=$(lintian --fail-on error --display-info "$deb" 2>&1) || lintian_status=$?
grep -v '^running with root privileges' <<<"$lintian_output" || true
if [ "$lintian_status" = 0 ]; then pass "lintian reports no errors"; else fail "lintian reports errors"; fi

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
left=()
for path in "${owned[@]}"; do
  # Shared directories such as /usr/bin stay; kembu's own must go.
  if [ -d "$path" ] && [ "$path" != /usr/share/doc/kembu ]; then continue; fi
  [ -e "$path" ] && left+=("$path")
done
if [ ${#left[@]} -eq 0 ]; then pass "nothing left after dpkg --purge"; else
  fail "left after dpkg --purge: ${left[*]}"
fi

echo "-- $tgz"
mkdir "$scratch/tgz"
tar -xzf "$tgz" -C "$scratch/tgz"
for path in bin/kembu share/man/man1/kembu.1.gz share/doc/kembu/copyright; do
  if [ -f "$scratch/tgz/$tgz_dir/$path" ]; then pass "$tgz holds $path"; else fail "$tgz lacks $path"; fi
done
check_usage_run "kembu from the .tar.gz" "$scratch/tgz/$tgz_dir/bin/kembu"

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
  log=$scratch/$platform-build.log
  cmake -S "$root" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/$toolchain" -DKEMBU_BUILD_TESTS=OFF \
    >"$log" 2>&1 || { cat "$log" >&2; fail "$platform: configure failed"; return; }
  cmake --build "$dir" -j "$jobs" >>"$log" 2>&1 || { cat "$log" >&2; fail "$platform: build failed"; return; }
  # Without its entry symbol the linker still makes a program, one that
  # starts at the wrong place.
  if grep -i "warning" "$log" >&2; then fail "$platform: the build warns"; return; fi
  (cd "$dir" && cpack >cpack.log 2>&1) || { cat "$dir/cpack.log" >&2; fail "$platform: cpack failed"; return; }
  zip=$dir/kembu-$version-$platform.zip
  [ -f "$zip" ] || { fail "cpack made no $zip"; return; }
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

echo "== packages"
for package in "$deb" "$tgz" build/pkg-win*/kembu-"$version"-win*.zip; do
  if [ -f "$package" ]; then echo "$(stat -c %s "$package") bytes  $package"; fi
done
if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) FAILED" >&2
  exit 1
fi
echo "all package checks passed"
