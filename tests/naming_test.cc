// The two naming rules and the temporary name, on the examples the tools promise.
#include <gtest/gtest.h>

#include "image_tool.h"
#include "temporary_name.h"
#include "vault_tool.h"

// input, RestoreAsPng's output, StripOnly's
const char* const NamingCases[][3] = {
    {"cat.png.xyz", "cat.png.png", "cat.png"},
    {"cat.xyz", "cat.png", "cat"},
    {"cat.XYZ", "cat.XYZ.xyz", "cat.XYZ.xyz"},
    {"a.xyz.txt", "a.xyz.txt.xyz", "a.xyz.txt.xyz"},
    {".xyz", ".png", ""},
    {"clip.mp4.xyz.xyz", "clip.mp4.xyz.png", "clip.mp4.xyz"},
    {"xyz", "xyz.xyz", "xyz.xyz"},  // shorter than four units: never disguised
    {"", ".xyz", ".xyz"},
    {"dir.xyz/cat", "dir.xyz/cat.xyz", "dir.xyz/cat.xyz"},
    {"dir/.xyz", "dir/.png", "dir/"},
};

TEST(NamingRules, DeriveTheOutputName) {
  for (const auto& [input, image_output, vault_output] : NamingCases) {
    EXPECT_EQ(RestoreAsPng(input), image_output) << input;
    EXPECT_EQ(StripOnly(input), vault_output) << input;
  }
}

const char* const TemporaryCases[][2] = {
    {"dir/clip.mp4", "dir/.clip.mp4~0123abcd.part"},
    {"dir/", "dir/.~0123abcd.part"},
    // Long names are cut so that the temporary name is never the longer one.
    {"d/abcdefghijklmnopqrstuvwxyz0123456789", "d/.abcdefghijklmnopqrstu~0123abcd.part"},
    // Cut between characters, never inside one, and by characters: exFAT counts UTF-16 units, ext4 bytes.
    {"d/照片照片照片照片照片.png.xyz", "d/.照片照片照片照片照片.p~0123abcd.part"},
    {"d/abcdefghijk😀é", "d/.abcdefghijk😀~0123abcd.part"},
    {"d/照片照片照片照片照片照片照片照片照片照片照片照片照片照片照片.mp4",
     "d/.照片照片照片照片照片照片照片照片照片照~0123abcd.part"},
};
// target, a name in its folder, whether an earlier run for that target could have left it
const std::tuple<const char*, const char*, bool> LeftoverCases[] = {
    {"d/clip.mp4", ".clip.mp4~0badf00d.part", true},
    {"d/clip.mp4", ".clip.mp4~0BADF00D.part", false},
    {"d/clip.mp4", ".clip.mp4~0badf00d.part~", false},
    {"d/clip.mp4", ".clip.mp4~badf00d.part", false},
    {"d/clip.mp4", ".clip.mp4.xyz~0badf00d.part", false},
    {"clip.mp4.xyz", ".clip.mp4.xyz~0badf00d.part", true},
    {"d/照片照片照片照片照片.png.xyz", ".照片照片照片照片照片.p~ffffffff.part", true},
};

TEST(TemporaryPath, NamesTheTargetAndStaysInItsFolder) {
  for (const auto& [target, temporary] : TemporaryCases) EXPECT_EQ(TemporaryPathFor(target, 0x0123abcd), temporary);
  for (std::size_t length = ShortestTemporaryName; length <= 255; ++length) {
    const WidePath target = "folder/" + WidePath(length, 'n');
    EXPECT_EQ(TemporaryPathFor(target, 0x0123abcd).size(), target.size()) << length;
  }
  for (const auto& [target, name, left] : LeftoverCases) EXPECT_EQ(IsTemporaryNameFor(target, name), left) << name;
}
