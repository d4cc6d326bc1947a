#include <gtest/gtest.h>

#include <random>

#include "header/header_block.h"
#include "image.h"

namespace {

struct ZeroBlock {
  HeaderBlock bytes = {};
};

TEST(Checksum, KnownValues) {
  ZeroBlock zero;
  EXPECT_EQ(0, ComputeHeaderChecksum(zero.bytes));
  EXPECT_TRUE(VerifyHeader(zero.bytes));  // an all-zero block is valid

  ZeroBlock abc;
  abc.bytes[0] = 'a';
  abc.bytes[1] = 'b';
  abc.bytes[2] = 'c';
  EXPECT_EQ(0x62C4, ComputeHeaderChecksum(abc.bytes));
  SealHeader(abc.bytes);
  EXPECT_EQ(0xC4, abc.bytes[510]);
  EXPECT_EQ(0x62, abc.bytes[511]);
}

TEST(Checksum, WordsAreLittleEndian) {
  ZeroBlock low, high;
  low.bytes[0] = 1;
  high.bytes[1] = 1;
  EXPECT_EQ(1, ComputeHeaderChecksum(low.bytes));
  EXPECT_EQ(256, ComputeHeaderChecksum(high.bytes));
}

TEST(Checksum, CarryOutOfBit15IsDropped) {
  ZeroBlock ones;
  for (int i = 0; i < 510; ++i) ones.bytes[i] = 0xFF;
  EXPECT_EQ(0xFF01, ComputeHeaderChecksum(ones.bytes));  // 255 * 0xFFFF mod 2^16
}

TEST(Checksum, ChecksumWordIsNotSummed) {
  ZeroBlock block;
  block.bytes[510] = 0x34;
  block.bytes[511] = 0x12;
  EXPECT_EQ(0, ComputeHeaderChecksum(block.bytes));
  EXPECT_FALSE(VerifyHeader(block.bytes));
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
