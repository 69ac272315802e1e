// Whole runs over the fake seam: every scheduled failure gives its outcome's
// text and status, exactly one wait, an untouched input, an output name that
// holds the old file or the complete new one, and no temporary file.
#include <gtest/gtest.h>

#include "fake_platform.h"
#include "image_tool.h"
#include "vault_tool.h"

namespace {

WidePath Path(std::string_view ascii) { return WidePath(ascii.begin(), ascii.end()); }

ByteBuffer Pattern(std::size_t size) {
  ByteBuffer bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>(i * 7 + i / 251);
  return bytes;
}

ByteBuffer Masked(ByteBuffer bytes) {
  for (unsigned char& b : bytes) b ^= 0x6B;
  return bytes;
}

const std::string Pause = "\n按回车键退出程序...";
const std::string VaultLoadFailed = "错误: 无法读取文件，请检查路径或确认文件未被占用。\n";
const std::string VaultCreated = "处理成功！已生成: in.mp4.xyz\n" + Pause;
const std::string VaultStoreFailed = "写入失败，请检查权限或空间。\n" + Pause;

enum class Expect { Created, LoadFailed, StoreFailed };

struct FaultCase {
  const char* name;
  FileCall call;
  int occurrence;        // 0: nothing fails
  std::int64_t size_skew;  // reported size minus real size
  bool read_only_output;
  Expect expect;
  bool stray_temporary = false;  // one left by a killed run, under the first name tried
};

// The input spans three pieces, so "2" is a failure in the middle of the file.
const FaultCase FaultCases[] = {
    {"no_fault", FileCall::Open, 0, 0, false, Expect::Created},
    {"open_fails", FileCall::Open, 1, 0, false, Expect::LoadFailed},
    {"first_read_fails", FileCall::Read, 1, 0, false, Expect::LoadFailed},
    {"mid_read_fails", FileCall::Read, 2, 0, false, Expect::LoadFailed},
    {"file_shrank", FileCall::Open, 0, 1000, false, Expect::LoadFailed},
    {"file_grew", FileCall::Open, 0, -1000, false, Expect::LoadFailed},
    {"more_bytes_at_end", FileCall::AtEnd, 1, 0, false, Expect::LoadFailed},
    {"create_fails", FileCall::CreateOutput, 1, 0, false, Expect::StoreFailed},
    {"first_write_fails", FileCall::Write, 1, 0, false, Expect::StoreFailed},
    {"last_write_fails", FileCall::Write, 3, 0, false, Expect::StoreFailed},
    {"commit_fails", FileCall::Commit, 1, 0, false, Expect::StoreFailed},
    {"output_read_only", FileCall::Open, 0, 0, true, Expect::StoreFailed},
    {"input_close_fails", FileCall::CloseInput, 1, 0, false, Expect::Created},
    {"stray_temporary_kept", FileCall::Open, 0, 0, false, Expect::Created, true},
    {"stray_kept_when_commit_fails", FileCall::Commit, 1, 0, false, Expect::StoreFailed, true},
};

void PrintTo(const FaultCase& c, std::ostream* out) { *out << c.name; }

class FaultSchedule : public testing::TestWithParam<std::tuple<FaultCase, bool>> {};

TEST_P(FaultSchedule, LeavesOldOrCompleteOutputAndNothingElse) {
  const auto& [fault, output_exists] = GetParam();
  const WidePath input = Path("in.mp4"), output = Path("in.mp4.xyz");
  const ByteBuffer source = Pattern(2 * PieceSize + 100);
  const ByteBuffer old_output = Pattern(17);

  FakeFileSystem files;
  files.files[input] = source;
  if (output_exists) files.files[output] = old_output;
  if (fault.read_only_output) files.read_only.insert(output);
  if (fault.size_skew != 0) files.reported_size[input] = source.size() + fault.size_skew;
  if (fault.occurrence != 0) files.fail_at[fault.call] = fault.occurrence;
  const WidePath stray = TemporaryPathFor(output, FakeFileSystem::FirstFakeToken);
  if (fault.stray_temporary) files.files[stray] = old_output;
  FakeConsole console;

  const int status = RunDropped(VaultToolProfile, console, files, std::vector<WidePath>{Path("vorlune"), input});

  EXPECT_EQ(console.waits, 1);
  EXPECT_EQ(console.out_of_order, 0) << "typed-ahead keys discarded once, after the work and before the report";
  EXPECT_EQ(files.open_handles, 0);
  EXPECT_EQ(files.misuses, 0);
  EXPECT_EQ(files.files[input], source);
  EXPECT_EQ(status, fault.expect == Expect::LoadFailed ? 1 : 0);
  const std::string shown[] = {VaultCreated, VaultLoadFailed, VaultStoreFailed};
  EXPECT_EQ(console.shown, shown[static_cast<int>(fault.expect)]);
  if (fault.expect == Expect::Created) {
    EXPECT_EQ(files.files[output], Masked(source));
  } else if (output_exists) {
    EXPECT_EQ(files.files[output], old_output);
  } else {
    EXPECT_EQ(files.files.count(output), 0u);
  }
  if (fault.stray_temporary) {
    EXPECT_EQ(files.files[stray], old_output);
    files.files.erase(stray);
  }
  EXPECT_EQ(files.files.size(), output_exists || fault.expect == Expect::Created ? 2u : 1u)
      << "a temporary file was left behind";
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultSchedule, testing::Combine(testing::ValuesIn(FaultCases), testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) ? "_over_old_output" : "_fresh");
                         });

// A command line that cannot be split counts as no file at all. (Every other
// text, with its one wait, is checked on the built programs by black_box.py.)
TEST(ProfileTexts, UnsplittableCommandLineShowsTheUsage) {
  const std::pair<const ToolProfile*, std::string> tools[] = {
      {&ImageToolProfile, "请将文件拖拽到这个 EXE 上运行！\n提示: 拖入 .png 会生成 .xyz; 拖入 .xyz 会还原 .png\n"},
      {&VaultToolProfile, "【Vorlune】\n请将 .mp4 / .txt / .xyz 文件拖拽到这里！\n提示: 拖入 .xyz 文件可以一键还原！\n"}};
  for (const auto& [profile, usage] : tools) {
    FakeFileSystem files;
    FakeConsole console;
    EXPECT_EQ(RunDropped(*profile, console, files, std::nullopt), 0);
    EXPECT_EQ(console.shown, usage);
    EXPECT_EQ(console.waits, 1);
    EXPECT_EQ(console.out_of_order, 0);
  }
}

}  // namespace
