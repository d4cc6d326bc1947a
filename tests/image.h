// Test images, built and sealed from the header rules as the tests read them,
// never with the tool's own checksum: a fault there must not agree with
// itself. Shared by the unit, end-to-end and fuzz tests.
#pragma once

#include <stddef.h>

#include <string>

using Bytes = std::string;

// The header block: a 20-byte lead-in, the 490-byte body that a backup saves,
// and at 510 the checksum word.
constexpr size_t kBodyOffset = 20, kBodySize = 490, kChecksumAt = 510, kHeaderSize = 512;

inline unsigned Word(const Bytes& bytes, size_t at) {
  return static_cast<unsigned char>(bytes[at]) | static_cast<unsigned char>(bytes[at + 1]) << 8;
}

// The 255 little-endian words at offsets 0..508, summed; the low 16 bits.
inline unsigned Checksum(const Bytes& image) {
  unsigned sum = 0;
  for (size_t at = 0; at < kChecksumAt; at += 2) sum += Word(image, at);
  return sum & 0xFFFF;
}

inline bool Sealed(const Bytes& image) {
  return image.size() >= kHeaderSize && Word(image, kChecksumAt) == Checksum(image);
}

// What the packer does after a change: the sum, stored little-endian.
inline void Seal(Bytes& image) {
  const unsigned sum = Checksum(image);
  image[kChecksumAt] = static_cast<char>(sum & 0xFF);
  image[kChecksumAt + 1] = static_cast<char>(sum >> 8);
}

// Deterministic filler bytes.
inline Bytes Pattern(size_t size, unsigned seed) {
  Bytes bytes(size, '\0');
  unsigned state = seed * 2654435761u + 1;
  for (char& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<char>(state >> 23);
  }
  return bytes;
}

// A pattern, sealed when it holds a header block, unless told otherwise.
inline Bytes MakeImage(size_t size, unsigned seed, bool sealed = true) {
  Bytes image = Pattern(size, seed);
  if (size >= kHeaderSize) {
    Seal(image);
    if (!sealed) image[kChecksumAt] ^= 1;
  }
  return image;
}

inline Bytes Body(const Bytes& image) { return image.substr(kBodyOffset, kBodySize); }

// The image after a good restore of the first 490 bytes of `backup`.
inline Bytes Restored(Bytes image, const Bytes& backup) {
  image.replace(kBodyOffset, kBodySize, backup.substr(0, kBodySize));
  Seal(image);
  return image;
}
