#include <gtest/gtest.h>

#include "file_mask.h"

// Known bytes and their disguise, at lengths around the loop's widths and from unaligned starts; the bytes around stay.
TEST(MaskBuffer, MasksEveryByteOnceWhateverTheLengthAndAlignment) {
  const std::string_view plain("0123456789abcdefg\0\x80\xff", 20),
      disguised("[ZYX_^]\\SR\n\t\x08\x0f\x0e\r\x0ck\xeb\x94");
  for (std::size_t length : {0u, 1u, 3u, 63u, 64u, 65u, 130u, 1000u})
    for (std::size_t offset : {0u, 1u, 3u}) {
      std::string bytes(offset, '-'), expected(offset, '-');
      for (std::size_t i = 0; i < length; ++i) bytes += plain[i % 20], expected += disguised[i % 20];
      bytes += "--", expected += "--";
      MaskBuffer(reinterpret_cast<unsigned char*>(bytes.data()) + offset, length);
      EXPECT_EQ(bytes, expected) << length << " bytes from " << offset;
    }
}
