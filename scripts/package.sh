#!/usr/bin/env bash
# Packs the trees scripts/test.sh builds and tests (the cross targets of
# cmake/targets.txt) with cpack and checks the packages: listings against
# packaging/listings/, lintian, the manual page, the amd64 .deb installed with
# dpkg and purged again (so it runs as root), one run of each package's
# program where this machine runs it (each tree's target.txt says). Then
# builds them again from a copy of the sources elsewhere: the bytes must not
# change.
# Usage: bash scripts/package.sh   (packages and their SHA256SUMS, to upload, in build/packages/)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc 2>/dev/null || echo 2)
version=$(sed -n 's/^project(kembu VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "No version in CMakeLists.txt's project()." >&2; exit 1; }

# Every time stamp in the packages is the last commit's, so that the same
# commit gives the same bytes wherever and whenever it is built.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null ||
  stat -c %Y CMakeLists.txt)}

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

[ "$(id -u)" = 0 ] || { echo "Run as root: the check installs the .deb with dpkg." >&2; exit 1; }
source scripts/targets.sh
# shellcheck disable=SC2046
ensure_packages $(needs packages)

scratch=$(mktemp -d)
installed_by_us=no
cleanup() {
  [ "$installed_by_us" = no ] || dpkg --purge kembu >/dev/null ||
    echo "dpkg --purge kembu failed: remove it by hand." >&2
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Runs "$@" without arguments: it must print the usage text as the tested
# Linux program does (the end-to-end tests check that text) and exit with 0.
# The trailing x keeps the final line end through the command substitution.
check_usage_run() {
  local what=$1 output
  shift
  output=$("$@" && echo x) && [ "$output" = "$(build/linux/kembu && echo x)" ] &&
    pass "$what prints the usage text and exits with 0" ||
    fail "$what: output or exit status differ from the usage run"
}

# True while dpkg knows a kembu package in any state but purged.
known_to_dpkg() { dpkg-query -W -f='${Status}' kembu 2>/dev/null | grep -qv 'not-installed$'; }

echo "== kembu $version: manual page"
warnings=$(groff -man -Tutf8 -ww doc/kembu.1 2>&1 >/dev/null) || true
[ -z "$warnings" ] && pass "doc/kembu.1 renders without groff warnings" ||
  fail "doc/kembu.1: groff warnings: $warnings"
! command -v mandoc >/dev/null || { mandoc -Tlint -W style doc/kembu.1 && pass "mandoc -Tlint" ||
  fail "mandoc -Tlint"; }

# pack TREE: configures the tree again (for what was installed since, as
# groff), builds it and runs cpack in it, quietly and without a warning; the
# log is TREE/package.log.
pack() {
  rm -f "$1"/kembu[-_]*.{deb,tar.gz,zip}
  { cmake "$1" && cmake --build "$1" -j "$jobs" && (cd "$1" && cpack); } >"$1/package.log" 2>&1 &&
    ! grep -i warning "$1/package.log" >&2 || { cat "$1/package.log" >&2; return 1; }
}

# check_listing PACKAGE NAME...: the package's files (with their modes and
# owners) and Debian fields against packaging/listings/NAME.txt, with the
# version and each NAME written as VERSION and ARCH there.
check_listing() {
  local package=$1 name listing expected
  shift
  case $package in
    *.deb) listing=$(dpkg-deb -f "$package" Architecture Depends Pre-Depends Recommends
                     dpkg-deb -c "$package" | awk '{ print $1, $2, $6 }') ;;
    *.tar.gz) listing=$(tar -tvzf "$package" | awk '{ print $1, $2, $6 }') ;;
    *) listing=$(cmake -E tar tf "$package") ;;
  esac
  listing=$(sed "s/$version/VERSION/g" <<<"$listing")
  for name in "$@"; do listing=${listing//$name/ARCH}; done
  expected=packaging/listings/${package##*[0-9].}.txt
  diff -u "$expected" - <<<"$listing" && pass "$package holds what $expected lists" ||
    fail "$package differs from $expected (diff above)"
}

# Installs the .deb into this system, runs it, removes and purges it.
install_check() {
  local deb=$1 man_page=/usr/share/man/man1/kembu.1.gz
  echo "-- dpkg -i, run, dpkg -r, dpkg --purge"
  ! known_to_dpkg || { echo "FAIL: kembu is installed; dpkg --purge kembu first." >&2; exit 1; }
  installed_by_us=yes
  dpkg -i "$deb" >/dev/null
  mapfile -t owned < <(dpkg -L kembu)
  check_usage_run "installed kembu" /usr/bin/kembu
  # dpkg leaves out what it is told to (path-exclude, in minimal images).
  if [ ! -e "$man_page" ]; then
    echo "note: dpkg left out $man_page here: not checked installed"
  elif [ "$(man -w kembu 2>/dev/null)" = "$man_page" ] &&
       MANWIDTH=80 man kembu 2>/dev/null | grep -q 'Input file is KEMBU.BIN!'; then
    pass "man -w kembu finds $man_page and man renders it"
  else
    fail "man does not find or render the installed kembu page"
  fi
  dpkg -r kembu >/dev/null
  # After dpkg -r there may be nothing left to purge; dpkg then only warns.
  dpkg --purge kembu >/dev/null 2>&1 || true
  installed_by_us=no
  ! known_to_dpkg || fail "dpkg --purge left the package known to dpkg"
  local left=() path
  for path in "${owned[@]}"; do
    # Shared directories such as /usr/bin stay; kembu's own must go.
    [ -d "$path" ] && [ "$path" != /usr/share/doc/kembu ] || [ ! -e "$path" ] || left+=("$path")
  done
  [ ${#left[@]} -eq 0 ] && pass "dpkg -r and --purge leave nothing behind" ||
    fail "left after dpkg -r and --purge: ${left[*]}"
}

# The static program's .deb and .tar.gz of one target's tree.
linux_package() {
  local arch=${row_machine[$1]} tree=build/$1 deb deb_arch tgz why runner
  echo "== Linux $arch: Debian package and .tar.gz (static)"
  [ -f "$tree/target.txt" ] || { fail "no $tree: run bash scripts/test.sh first"; return; }
  pack "$tree" || { fail "$tree: build or cpack failed"; return; }
  deb=$(echo "$tree/kembu_${version}_"*.deb)
  deb_arch=$(dpkg-deb -f "$deb" Architecture)
  tgz=$tree/kembu-$version-linux-$arch.tar.gz
  packed+=("$tree")
  check_listing "$deb" "$deb_arch"
  check_listing "$tgz" "$arch"
  dpkg-deb -x "$deb" "$scratch/deb-$arch"
  tar -xzf "$tgz" -C "$scratch"
  for path in "$scratch/deb-$arch/usr/bin/kembu" "$scratch/kembu-$version-linux-$arch/bin/kembu"; do
    cmp "$path" "$tree/kembu" && pass "${path#"$scratch"/} is the tested program" ||
      fail "${path#"$scratch"/} is not $tree/kembu, which the tests ran"
  done
  zcat "$scratch/deb-$arch/usr/share/man/man1/kembu.1.gz" | cmp -s - doc/kembu.1 &&
    pass "the packaged manual page is doc/kembu.1" || fail "the packaged manual page differs"
  echo "-- lintian $deb"
  lintian --fail-on error --display-info "$deb" 2> >(grep -v '^running with root' >&2) &&
    pass "lintian reports no errors" || fail "lintian reports errors"
  why=$(tree_fact "$1" not_run)
  if [ -n "$why" ]; then
    echo "not run here: $why"
  elif [ "$deb_arch" = "$(dpkg --print-architecture)" ]; then
    install_check "$deb"
  else
    runner=$(tree_fact "$1" runner)
    check_usage_run "kembu from $deb ($runner)" "$runner" "$scratch/deb-$arch/usr/bin/kembu"
  fi
}

# One target's Windows zip.
windows_package() {
  local tree=build/$1 zip platform readme missing why
  echo "== Windows: $1"
  [ -f "$tree/target.txt" ] || { fail "no $tree: run bash scripts/test.sh first"; return; }
  pack "$tree" || { fail "$tree: build or cpack failed"; return; }
  zip=$(echo "$tree/kembu-$version-"*.zip)
  platform=${zip##*-}
  platform=${platform%.zip}
  packed+=("$tree")
  check_listing "$zip"
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
  missing=$(sed -n 's/^\.SH "\{0,1\}\([^"]*\)"\{0,1\}$/\1\r/p' doc/kembu.1 |
    grep -vxFf "$readme" || true)
  [ -z "$missing" ] && pass "README.txt holds the manual page's sections" ||
    fail "README.txt lacks the manual page's sections: $missing"
  if grep -q "^kembu $version " "$readme"; then pass "README.txt names version $version"; else
    fail "README.txt does not name version $version"
  fi
  cmp "$scratch/$platform/kembu.exe" "$tree/kembu.exe" &&
    pass "the zipped kembu.exe is the tested one" ||
    fail "the zipped kembu.exe is not $tree/kembu.exe, which the tests ran"
  why=$(tree_fact "$1" not_run)
  [ -z "$why" ] || { echo "not run here: $why"; return; }
  # In the prefix the tests made in build/linux.
  WINEPREFIX=$root/build/linux/$1prefix WINEDEBUG=-all WINEARCH=${row_wine[$1]} \
    check_usage_run "kembu.exe ($platform) under Wine" "${row_runner[$1]}" \
    "$scratch/$platform/kembu.exe"
}

packed=()
for target in "${targets[@]:1}"; do
  if [ "${row_system[$target]}" = windows ]; then windows_package "$target"; else
    linux_package "$target"
  fi
done

# Each tree again, from a copy of the sources in another folder, some time
# later, configured as the tree was (the tests left out): every package must
# come out byte for byte the same.
echo "== reproducible builds"
again=$scratch/again
mkdir -p "$again/src"
tar -C "$root" --exclude=./build --exclude=./.git -cf - . | tar -C "$again/src" -xf -
sleep 1
for tree in "${packed[@]}"; do
  copy=$again/${tree#build/}
  if ! cmake -S "$again/src" -B "$copy" -DKEMBU_TARGET="${tree#build/}" \
         -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DKEMBU_BUILD_TESTS=OFF >/dev/null || ! pack "$copy"
  then
    fail "$tree: the second build failed"
    continue
  fi
  for package in "$tree"/kembu[-_]*.{deb,tar.gz,zip}; do
    [ -f "$package" ] || continue
    cmp -s "$package" "$copy/${package##*/}" && pass "${package##*/} is reproducible" ||
      fail "${package##*/} differs when built again elsewhere"
    echo "$(stat -c %s "$package") bytes  $package"
  done
done

# The packages gathered, built and rebuilt alike, with a SHA256SUMS file for
# `sha256sum -c`, in the C locale's order, so that it is the same file each time.
echo "== packages and SHA256SUMS"
for dir in build "$again"; do
  rm -rf "$dir/packages" && mkdir "$dir/packages"
  for tree in "${packed[@]#build/}"; do
    find "$dir/$tree" -maxdepth 1 -name 'kembu[-_]*' \( -name '*.deb' -o -name '*.tar.gz' -o \
      -name '*.zip' \) -exec cp -t "$dir/packages" {} +
  done
  (cd "$dir/packages" && export LC_ALL=C && sha256sum -- kembu* >SHA256SUMS)
done
(cd build/packages && sha256sum -c --quiet SHA256SUMS) &&
  pass "sha256sum -c passes in build/packages for its $(grep -c . build/packages/SHA256SUMS)" ||
  fail "build/packages/SHA256SUMS does not check"
cmp -s build/packages/SHA256SUMS "$again/packages/SHA256SUMS" &&
  pass "SHA256SUMS is reproducible" || fail "SHA256SUMS differs when built again elsewhere"

[ "$failures" = 0 ] || { echo "$failures check(s) FAILED" >&2; exit 1; }
echo "all package checks passed"
