# Test images for the scripts, made without the tool's own code; source it.
# checksum PATH: the sum of the 255 little-endian 16-bit words at offsets
# 0..508, low 16 bits, which is stored little-endian at 510..511.
checksum() {
  od -An -v -tu1 -N510 "$1" |
    awk '{ for (i = 1; i <= NF; i++) sum += (n++ % 2 ? 256 * $i : $i) } END { print sum % 65536 }'
}

# seal_image PATH: writes that checksum into bytes 510 and 511.
seal_image() {
  local sum
  sum=$(checksum "$1")
  printf "$(printf '\\x%02x\\x%02x' $((sum & 255)) $((sum >> 8)))" |
    dd of="$1" bs=1 seek=510 conv=notrunc status=none
}

# make_image PATH SIZE: a file of SIZE (as truncate takes it; sparse past the
# first block) whose first 510 bytes, or all if fewer, are random; sealed when
# it holds a header block, as tests/image.h makes them.
make_image() {
  local size
  rm -f "$1"
  truncate -s "$2" "$1"
  size=$(stat -c %s "$1")
  head -c $((size < 510 ? size : 510)) /dev/urandom | dd of="$1" conv=notrunc status=none
  [ "$size" -lt 512 ] || seal_image "$1"
}
