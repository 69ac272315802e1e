// The two naming rules and the disguise suffix test, on every example the
// tools promise, including the short-path and case rules.
#include <gtest/gtest.h>

#include <cctype>

#include "image_tool.h"
#include "temporary_name.h"
#include "vault_tool.h"

namespace {

WidePath Path(std::string_view ascii) { return WidePath(ascii.begin(), ascii.end()); }

struct NamingCase {
  const char* input;
  const char* image_output;  // RestoreAsPng
  const char* vault_output;  // StripOnly
};

const NamingCase NamingCases[] = {
    {"cat.png", "cat.png.xyz", "cat.png.xyz"},
    {"cat.png.xyz", "cat.png.png", "cat.png"},
    {"cat.xyz", "cat.png", "cat"},
    {"notes.txt", "notes.txt.xyz", "notes.txt.xyz"},
    {"cat.XYZ", "cat.XYZ.xyz", "cat.XYZ.xyz"},
    {"cat.Xyz", "cat.Xyz.xyz", "cat.Xyz.xyz"},
    {"a.xyz.txt", "a.xyz.txt.xyz", "a.xyz.txt.xyz"},
    {".xyz", ".png", ""},
    {"clip.mp4", "clip.mp4.xyz", "clip.mp4.xyz"},
    {"clip.mp4.xyz.xyz", "clip.mp4.xyz.png", "clip.mp4.xyz"},
    {"photo", "photo.xyz", "photo.xyz"},
    {"xyz", "xyz.xyz", "xyz.xyz"},  // shorter than four units: never disguised
    {"", ".xyz", ".xyz"},
    {"dir.xyz/cat", "dir.xyz/cat.xyz", "dir.xyz/cat.xyz"},
    {"/pics/cat.png", "/pics/cat.png.xyz", "/pics/cat.png.xyz"},
    {"/v/clip.mp4.xyz", "/v/clip.mp4.png", "/v/clip.mp4"},
    {"dir/.xyz", "dir/.png", "dir/"},
};

class NamingRules : public testing::TestWithParam<NamingCase> {};

TEST_P(NamingRules, DeriveTheOutputName) {
  const NamingCase& c = GetParam();
  EXPECT_EQ(RestoreAsPng(Path(c.input)), Path(c.image_output));
  EXPECT_EQ(StripOnly(Path(c.input)), Path(c.vault_output));
}

void PrintTo(const NamingCase& c, std::ostream* out) { *out << '"' << c.input << '"'; }

INSTANTIATE_TEST_SUITE_P(Examples, NamingRules, testing::ValuesIn(NamingCases), [](const auto& info) {
  std::string name = std::to_string(info.index) + "_";
  for (const char* c = info.param.input; *c != '\0'; ++c) name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
  return name;
});

struct TemporaryCase {
  const char* target;
  const char* expected;
};

const TemporaryCase TemporaryCases[] = {
    {"cat.png.xyz", ".cat.png.xyz~0123abcd.part"},
    {"dir/clip.mp4", "dir/.clip.mp4~0123abcd.part"},
    {"a", ".a~0123abcd.part"},
    {"", ".~0123abcd.part"},
    {"dir/", "dir/.~0123abcd.part"},
    // Long names are cut so that the temporary name is never the longer one.
    {"d/abcdefghijklmnopqrstuvwxyz0123456789", "d/.abcdefghijklmnopqrstu~0123abcd.part"},
};

TEST(TemporaryPath, NamesTheTargetAndStaysInItsFolder) {
  for (const TemporaryCase& c : TemporaryCases) {
    EXPECT_EQ(TemporaryPathFor(Path(c.target), 0x0123abcd), Path(c.expected)) << c.target;
  }
}

TEST(TemporaryPath, NeverLongerThanALongTarget) {
  for (std::size_t length = ShortestTemporaryName; length <= 255; ++length) {
    const WidePath target = Path("folder/") + WidePath(length, 'n');
    EXPECT_EQ(TemporaryPathFor(target, 0x0123abcd).size(), target.size()) << length;
  }
}

}  // namespace
