#include "header/header_block.h"

// Words are assembled byte by byte so the result is the same on any host.
static uint16_t ReadWordLE(const unsigned char* bytes) {
  return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

uint16_t ComputeHeaderChecksum(const HeaderBlock& block) {
  uint32_t sum = 0;
  for (int offset = 0; offset < CHECKSUM_OFFSET; offset += 2) {
    sum += ReadWordLE(block + offset);
  }
  return static_cast<uint16_t>(sum);
}

bool VerifyHeader(const HeaderBlock& block) {
  return ReadWordLE(block + CHECKSUM_OFFSET) == ComputeHeaderChecksum(block);
}

void SealHeader(HeaderBlock& block) {
  const uint16_t checksum = ComputeHeaderChecksum(block);
  block[CHECKSUM_OFFSET] = static_cast<unsigned char>(checksum);
  block[CHECKSUM_OFFSET + 1] = static_cast<unsigned char>(checksum >> 8);
}
