#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "header/header_block.h"
#include "image.h"

namespace {

// Blocks of zeros with a few bytes set, and the sums they give. An all-zero
// block is valid; the checksum word itself is not summed.
struct Known {
  const char* what;
  std::vector<std::pair<int, int>> set;  // offset, byte; offset -1: bytes 0..509 all
  unsigned sum;
  bool valid;
};

TEST(Checksum, KnownValues) {
  const Known cases[] = {
      {"zeros", {}, 0, true},
      {"abc", {{0, 'a'}, {1, 'b'}, {2, 'c'}}, 0x62C4, false},
      {"words are little-endian, low", {{0, 1}}, 1, false},
      {"words are little-endian, high", {{1, 1}}, 256, false},
      {"carry out of bit 15 dropped", {{-1, 0xFF}}, 0xFF01, false},  // 255 * 0xFFFF mod 2^16
      {"checksum word not summed", {{510, 0x34}, {511, 0x12}}, 0, false},
  };
  for (const Known& c : cases) {
    HeaderBlock block = {};
    for (const auto& [at, byte] : c.set) {
      for (int i = at < 0 ? 0 : at; i <= (at < 0 ? 509 : at); ++i) block[i] = byte;
    }
    EXPECT_EQ(c.sum, ComputeHeaderChecksum(block)) << c.what;
    EXPECT_EQ(c.valid, VerifyHeader(block)) << c.what;
    SealHeader(block);
    EXPECT_EQ(c.sum, block[510] | block[511] << 8u) << c.what << ", sealed";
  }
}

TEST(Checksum, AgreesWithReferenceOnRandomBlocks) {
  std::mt19937 random(12345);
  for (int round = 0; round < 2000; ++round) {
    HeaderBlock block;
    for (auto& byte : block) byte = static_cast<unsigned char>(random());
    const Bytes image(reinterpret_cast<const char*>(block), sizeof block);
    ASSERT_EQ(Checksum(image), ComputeHeaderChecksum(block)) << "round " << round;
  }
}

TEST(Checksum, SealingMakesAnyChangeValidAgain) {
  std::mt19937 random(777);
  HeaderBlock block;
  for (auto& byte : block) byte = static_cast<unsigned char>(random());
  SealHeader(block);
  ASSERT_TRUE(VerifyHeader(block));

  for (int offset : {0, 19, 20, 300, 509}) {
    block[offset] ^= 0x5A;  // lead-in, body boundaries and the last summed byte
    EXPECT_FALSE(VerifyHeader(block)) << offset;
    SealHeader(block);
    EXPECT_TRUE(VerifyHeader(block)) << offset;
  }
  for (int offset : {510, 511}) {
    block[offset] ^= 0x01;  // touching only the checksum word breaks the seal
    EXPECT_FALSE(VerifyHeader(block)) << offset;
    block[offset] ^= 0x01;
  }
}

}  // namespace
