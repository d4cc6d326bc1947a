#!/usr/bin/env bash
# Builds kembu for Linux and walks through its job on a sample image it makes
# itself: backup, a stand-in for unpack-and-repack, restore.
# Usage: bash scripts/demo.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source scripts/targets.sh
source scripts/image.sh
# shellcheck disable=SC2046
ensure_packages $(needs demo)

echo "== building kembu"
cmake -S "$root" -B build/demo -DKEMBU_BUILD_TESTS=OFF >/dev/null
cmake --build build/demo -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
kembu=$root/build/demo/kembu
work=$root/demo
rm -rf "$work" && mkdir -p "$work" && cd "$work"

# Puts text $2 at byte offset $3 of file $1.
poke() { printf '%s' "$2" | dd of="$1" bs=1 seek="$3" conv=notrunc status=none; }
show_header() {
  echo "-- $2"
  od -A d -t x1z -v -N 64 "$1" | head -n 4
  echo "   ...  bytes 510-511 (checksum): $(od -An -t x1 -j 510 -N 2 "$1")"
}

echo "== a sample image: a 20-byte lead-in, a header body, a checksum, then a payload"
head -c 65536 /dev/zero > fwimage.fw
poke fwimage.fw "FWIMG1 lead-in 0001" 0
poke fwimage.fw "BOARD=KM-77 SERIAL=0042 CAL=3.14159 (the vendor's own data)" 20
head -c 4096 /dev/urandom | dd of=fwimage.fw bs=1 seek=512 conv=notrunc status=none
seal_image fwimage.fw
cp fwimage.fw original.fw
show_header fwimage.fw "header as shipped"

echo; echo "== kembu b fwimage.fw"
"$kembu" b fwimage.fw
echo "-- KEMBU.BIN: $(wc -c < KEMBU.BIN) bytes"

echo; echo "== unpack, change, repack (the packer writes its own header body and checksum)"
poke fwimage.fw "FWIMG1 lead-in 0002" 0
poke fwimage.fw "packed by trelm: generic header, board data lost.........." 20
head -c 4096 /dev/urandom | dd of=fwimage.fw bs=1 seek=8192 conv=notrunc status=none
seal_image fwimage.fw
show_header fwimage.fw "header after repacking"

echo; echo "== kembu r fwimage.fw"
"$kembu" r fwimage.fw
show_header fwimage.fw "header after restore"

body() { od -An -v -tx1 -j 20 -N 490 "$1"; }
cmp -s <(body original.fw) <(body fwimage.fw) &&
  (($(checksum fwimage.fw) == $(od -An -tu2 -j 510 -N 2 --endian=little fwimage.fw))) ||
  { echo "Something went wrong: the restored header does not match." >&2; exit 1; }
echo; echo "The header body is back, the new lead-in and payload stay, and the checksum is valid."
echo "(files are in $work)"
