// The two naming rules and the temporary name, on every example the tools
// promise, including the short-name and case rules.
#include <gtest/gtest.h>

#include "image_tool.h"
#include "temporary_name.h"
#include "vault_tool.h"

namespace {

struct NamingCase {
  const char* input;
  const char* image_output;  // RestoreAsPng
  const char* vault_output;  // StripOnly
};

const NamingCase NamingCases[] = {
    {"cat.png", "cat.png.xyz", "cat.png.xyz"},
    {"cat.png.xyz", "cat.png.png", "cat.png"},
    {"cat.xyz", "cat.png", "cat"},
    {"cat.XYZ", "cat.XYZ.xyz", "cat.XYZ.xyz"},
    {"cat.Xyz", "cat.Xyz.xyz", "cat.Xyz.xyz"},
    {"a.xyz.txt", "a.xyz.txt.xyz", "a.xyz.txt.xyz"},
    {".xyz", ".png", ""},
    {"clip.mp4.xyz.xyz", "clip.mp4.xyz.png", "clip.mp4.xyz"},
    {"photo", "photo.xyz", "photo.xyz"},
    {"xyz", "xyz.xyz", "xyz.xyz"},  // shorter than four units: never disguised
    {"", ".xyz", ".xyz"},
    {"dir.xyz/cat", "dir.xyz/cat.xyz", "dir.xyz/cat.xyz"},
    {"/v/clip.mp4.xyz", "/v/clip.mp4.png", "/v/clip.mp4"},
    {"dir/.xyz", "dir/.png", "dir/"},
};

TEST(NamingRules, DeriveTheOutputName) {
  for (const NamingCase& c : NamingCases) {
    EXPECT_EQ(RestoreAsPng(c.input), c.image_output) << c.input;
    EXPECT_EQ(StripOnly(c.input), c.vault_output) << c.input;
  }
}

const char* const TemporaryCases[][2] = {
    {"cat.png.xyz", ".cat.png.xyz~0123abcd.part"},
    {"dir/clip.mp4", "dir/.clip.mp4~0123abcd.part"},
    {"", ".~0123abcd.part"},
    {"dir/", "dir/.~0123abcd.part"},
    // Long names are cut so that the temporary name is never the longer one.
    {"d/abcdefghijklmnopqrstuvwxyz0123456789", "d/.abcdefghijklmnopqrstu~0123abcd.part"},
};

TEST(TemporaryPath, NamesTheTargetAndStaysInItsFolder) {
  for (const auto& [target, temporary] : TemporaryCases) EXPECT_EQ(TemporaryPathFor(target, 0x0123abcd), temporary);
  for (std::size_t length = ShortestTemporaryName; length <= 255; ++length) {
    const WidePath target = "folder/" + WidePath(length, 'n');
    EXPECT_EQ(TemporaryPathFor(target, 0x0123abcd).size(), target.size()) << length;
  }
}

}  // namespace
