// The 512-byte block at the start of a firmware image: a 20-byte lead-in, the
// 490-byte body that a backup saves, and a little-endian 16-bit checksum over
// bytes 0 to 509.
#pragma once

#include <stdint.h>

#include "common/tool_state.h"

enum {
  BODY_OFFSET = 20,
  BODY_SIZE = 490,
  CHECKSUM_OFFSET = 510,
};

typedef unsigned char HeaderBlock[HEADER_SIZE];

// Sum of the 255 little-endian words at offsets 0, 2, ..., 508, modulo 2^16.
uint16_t ComputeHeaderChecksum(const HeaderBlock& block);

// True when the stored checksum word matches the computed one.
bool VerifyHeader(const HeaderBlock& block);

// Stores the computed checksum into the checksum word.
void SealHeader(HeaderBlock& block);
