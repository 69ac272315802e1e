#include <gtest/gtest.h>

#include "file_mask.h"

namespace {

// Lengths around the widths the mask loop works in, and an offset start so
// that unaligned ends are covered.
TEST(MaskBytes, MasksEveryByteOnceWhateverTheLengthAndAlignment) {
  for (std::size_t length : {0, 1, 7, 8, 31, 32, 33, 63, 64, 65, 1000, 4099}) {
    for (std::size_t offset : {0, 1, 3}) {
      ByteBuffer bytes(length + offset + 8);
      for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 31);
      const ByteBuffer before = bytes;
      MaskBytes(bytes.data() + offset, length);
      for (std::size_t i = 0; i < bytes.size(); ++i) {
        const bool inside = i >= offset && i < offset + length;
        ASSERT_EQ(bytes[i], inside ? before[i] ^ 0x6B : before[i]) << length << "/" << offset << "@" << i;
      }
    }
  }
}

TEST(MaskBuffer, TwiceGivesBackTheBytesAndOnceChangesEveryByte) {
  ByteBuffer bytes(256);
  for (int i = 0; i < 256; ++i) bytes[i] = static_cast<unsigned char>(i);
  const ByteBuffer before = bytes;
  MaskBuffer(bytes);
  for (int i = 0; i < 256; ++i) EXPECT_NE(bytes[i], before[i]);
  EXPECT_EQ(bytes[0], 0x6B);
  MaskBuffer(bytes);
  EXPECT_EQ(bytes, before);
}

}  // namespace
