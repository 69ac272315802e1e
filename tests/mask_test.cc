#include <gtest/gtest.h>

#include "file_mask.h"

namespace {

// Lengths around the widths the mask loop works in, and an offset start so
// that unaligned ends are covered; the bytes around stay as they were.
TEST(MaskBuffer, MasksEveryByteOnceWhateverTheLengthAndAlignment) {
  for (std::size_t length : {0, 1, 7, 8, 31, 32, 33, 63, 64, 65, 1000, 4099}) {
    for (std::size_t offset : {0, 1, 3}) {
      ByteBuffer bytes(length + offset + 8);
      for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 31);
      const ByteBuffer before = bytes;
      MaskBuffer(bytes.data() + offset, length);
      for (std::size_t i = 0; i < bytes.size(); ++i) {
        const bool inside = i >= offset && i < offset + length;
        ASSERT_EQ(bytes[i], inside ? before[i] ^ 0x6B : before[i]) << length << "/" << offset << "@" << i;
      }
    }
  }
}

}  // namespace
