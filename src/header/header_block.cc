#include "header/header_block.h"

// Words are assembled byte by byte so the result is the same on any host.
static uint16_t ReadWordLE(const unsigned char* bytes) {
  return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

// Only the low 16 bits count, and a 16-bit sum wraps the same way: the
// compiler can then add eight words at a time.
uint16_t ComputeHeaderChecksum(const HeaderBlock& block) {
  uint16_t sum = 0;
#pragma GCC unroll 4
  for (int offset = 0; offset < CHECKSUM_OFFSET; offset += 2) {
    sum = static_cast<uint16_t>(sum + ReadWordLE(block + offset));
  }
  return sum;
}

bool VerifyHeader(const HeaderBlock& block) {
  return ReadWordLE(block + CHECKSUM_OFFSET) == ComputeHeaderChecksum(block);
}

void SealHeader(HeaderBlock& block) {
  const uint16_t checksum = ComputeHeaderChecksum(block);
  block[CHECKSUM_OFFSET] = static_cast<unsigned char>(checksum);
  block[CHECKSUM_OFFSET + 1] = static_cast<unsigned char>(checksum >> 8);
}
