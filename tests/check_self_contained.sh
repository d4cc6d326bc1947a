#!/usr/bin/env bash
# Checks that a static kembu needs nothing from the system: it is a stripped
# ELF program for the given machine with no interpreter and no shared library,
# and it backs up and restores an image inside a chroot that holds nothing
# but itself and the image (and, for a foreign machine, a static qemu-user).
# Usage: check_self_contained.sh PROGRAM MACHINE [STATIC_QEMU (a path or a name in PATH)]
#   MACHINE as uname -m names it (x86_64, aarch64). Exit 77: not root, or not run here.
set -euo pipefail
program=$1 machine=$2 qemu=${3:-}

header=$(readelf -h "$program")
fail() { echo "$program: $*" >&2; exit 1; }
grep -q "Type:[[:space:]]*EXEC" <<<"$header" || fail "not a fixed-address program"
# readelf's name of the machine, in uname's spelling: X86-64 is x86_64, AArch64 aarch64.
[ "$(sed -n 's/^ *Machine: *.* //p' <<<"$header" | tr 'A-Z-' 'a-z_')" = "$machine" ] ||
  fail "not built for $machine"
segments=$(readelf -lW "$program")
! grep -E "^[[:space:]]*(INTERP|DYNAMIC)[[:space:]]|interpreter" <<<"$segments" >&2 ||
  fail "has an interpreter or a dynamic section"
! readelf -dW "$program" | grep -q NEEDED || fail "needs a shared library"
! readelf -SW "$program" | grep -q '\.symtab' || fail "not stripped"
echo "$program: $machine, stripped, no interpreter, no shared library"

# KEMBU_NOT_RUN: why this machine cannot run the program (tests/CMakeLists.txt).
[ -z "${KEMBU_NOT_RUN:-}" ] || { echo "not run here: $KEMBU_NOT_RUN"; exit 77; }
[ "$(id -u)" = 0 ] || { echo "not root: no chroot run"; exit 77; }
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
cp "$program" "$root/kembu"
run=(/kembu)
if [ -n "$qemu" ]; then
  qemu=$(command -v "$qemu") || fail "no $qemu to run it (Debian: apt-get install qemu-user-static)"
  # qemu-user translates system calls, so it must need nothing either.
  ! readelf -lW "$qemu" | grep -q INTERP || fail "$qemu is not static"
  cp "$qemu" "$root/qemu"
  run=(/qemu /kembu)
fi

# A header block "abc", zeros, checksum 0x62C4; after the backup, one that
# has 01 at offset 100 and checksum 0x0001. The restore puts the zero body
# back and the checksum becomes 0: an all-zero image.
zeros() { head -c "$1" /dev/zero; }
{ printf 'abc'; zeros 507; printf '\xc4\x62'; zeros 512; } >"$root/fw.img"
said() { chroot "$root" "${run[@]}" "$@" | tr -d '\r' | tail -n 1; }
# With standard input closed too, which no /dev/null can fill here.
[ "$(said b fw.img <&-)" = "Backup Ok!" ] || fail "backup in the chroot failed"
cmp -s "$root/KEMBU.BIN" <(zeros 490) || fail "KEMBU.BIN is not the image's body"
{ zeros 100; printf '\x01'; zeros 409; printf '\x01\x00'; zeros 512; } >"$root/fw.img"
[ "$(said r fw.img)" = "Restore Ok!" ] || fail "restore in the chroot failed"
cmp -s "$root/fw.img" <(zeros 1024) || fail "the restored image is wrong"
echo "backup and restore in a chroot holding only: $(cd "$root" && ls | tr '\n' ' ')"
