// Whole runs over the fake seam, each scheduled failure fresh and over an old output: its outcome's text and status,
// one wait, what was on the disk before the first text, the input untouched, the output name holding its old content or
// the complete new one, nothing else.
#include <gtest/gtest.h>

#include <cstring>

#include "fake_platform.h"
#include "vault_tool.h"

const std::string Usage = "【Vorlune】\n请将 .mp4 / .txt / .xyz 文件拖拽到这里！\n提示: 拖入 .xyz 文件可以一键还原！\n";
const std::string LoadFailed = "错误: 无法读取文件，请检查路径或确认文件未被占用。\n";
const std::string Created = "处理成功！已生成: in.xyz\n\n按回车键退出程序...";
const std::string StoreFailed = "写入失败，请检查权限或空间。\n\n按回车键退出程序...";

static ByteBuffer Repeated(std::string_view unit, std::size_t size = 2 * PieceSize + 100) {  // three pieces
  std::string bytes;
  while (bytes.size() < size) bytes += unit;
  return ByteBuffer(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
}
// A pattern and its disguise, byte for byte.
const ByteBuffer Source = Repeated({"0123456789abcdefg\0\x80\xff", 20}), OldOutput = Repeated("old", 17);
const ByteBuffer Disguised = Repeated("[ZYX_^]\\SR\n\t\x08\x0f\x0e\r\x0ck\xeb\x94");

struct FaultCase {
  const char* name;
  FileCall call;
  int occurrence;          // 0: nothing fails; 2 is in the middle of the file
  std::int64_t size_skew;  // size reported at open less the real one
  bool read_only_output;
  const std::string& shown;
  const char* disk;        // the commit's steps done before the first text ("FND": flushed, named, made durable)
  const char* diagnostic;  // the line a failure adds after its report when asked (runs over an old output ask)
};

const FaultCase FaultCases[] = {
    {"no_fault", FileCall::Open, 0, 0, false, Created, "FND", ""},
    {"unsplittable_command_line", FileCall::Open, 0, 0, false, Usage, "", ""},
    {"open_fails", FileCall::Open, 1, 0, false, LoadFailed, "", "open input: in: injected (5)"},
    {"first_read_fails", FileCall::Read, 1, 0, false, LoadFailed, "", "read input: in: injected (5)"},
    {"mid_read_fails", FileCall::Read, 2, 0, false, LoadFailed, "", "read input: in: injected (5)"},
    {"file_shrank", FileCall::Open, 0, 1000, false, LoadFailed, "", "read input: in: ended"},
    {"file_grew", FileCall::Open, 0, -1000, false, LoadFailed, "", "check input end: in: grew"},
    {"more_bytes_at_end", FileCall::AtEnd, 1, 0, false, LoadFailed, "", "check input end: in: injected (5)"},
    {"create_fails", FileCall::CreateOutput, 1, 0, false, StoreFailed, "", "create content: in.xyz: injected (5)"},
    {"first_write_fails", FileCall::Write, 1, 0, false, StoreFailed, "",
     "write content: .in.xyz~fa4e0001.part: injected (5)"},
    {"last_write_fails", FileCall::Write, 3, 0, false, StoreFailed, "",
     "write content: .in.xyz~fa4e0001.part: injected (5)"},
    {"content_flush_fails", FileCall::FlushContent, 1, 0, false, StoreFailed, "",
     "flush content: .in.xyz~fa4e0001.part: injected (5)"},
    {"naming_fails", FileCall::Name, 1, 0, false, StoreFailed, "F", "put in place: in.xyz: injected (5)"},
    {"name_flush_fails", FileCall::FlushName, 1, 0, false, StoreFailed, "FN",
     "flush name: in.xyz: injected (5)"},  // the new content, not confirmed
    {"output_read_only", FileCall::Open, 0, 0, true, StoreFailed, "", "look at target: in.xyz: marked read-only"},
};

void PrintTo(const FaultCase& fault, std::ostream* out) { *out << fault.name; }

class FaultSchedule : public testing::TestWithParam<std::tuple<FaultCase, bool>> {};

TEST_P(FaultSchedule, LeavesOldOrCompleteOutputAndNothingElse) {
  const auto& [fault, output_exists] = GetParam();
  const WidePath output = "in.xyz";
  FakeFileSystem files;
  files.files = {{"in", Source}};
  if (output_exists) files.files[output] = OldOutput;
  auto expected = files.files;
  if (std::strchr(fault.disk, 'N')) expected[output] = Disguised;
  files.replace_refused = fault.read_only_output, files.size_skew = fault.size_skew;
  files.fail_at[fault.call] = fault.occurrence;
  FakeConsole console;
  console.disk = &files.disk;
  files.aliases["IN~1"] = "in";  // dropped by its short name, the output is named after the long one
  const auto arguments =
      &fault.shown == &Usage ? std::nullopt : std::optional(std::vector<WidePath>{"vorlune", "IN~1"});

  EXPECT_EQ(RunDropped(VaultToolProfile, console, files, arguments, output_exists),
            &fault.shown == &LoadFailed ? 1 : 0);
  std::string shown = fault.shown;
  if (output_exists && *fault.diagnostic) shown.insert(shown.find('\n') + 1, fault.diagnostic + std::string("\n"));
  EXPECT_EQ(console.shown, shown);
  EXPECT_EQ(console.waits, 1);
  EXPECT_EQ(console.disk_at_report, fault.disk) << "F: content flushed, N: named, D: the name made durable";
  EXPECT_EQ(console.out_of_order, 0) << "typed-ahead keys discarded once, after the work and before the report";
  EXPECT_EQ(files.open_objects, 0) << "an input or output left open";
  EXPECT_EQ(files.misuses, 0) << "committed after a failure, twice, or created after a read";
  EXPECT_EQ(files.files.size(), expected.size()) << "a file left behind or gone";
  for (const auto& [name, content] : expected) {
    EXPECT_TRUE(files.files[name] == content) << name << " holds " << files.files[name].size() << " bytes";
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultSchedule, testing::Combine(testing::ValuesIn(FaultCases), testing::Bool()),
                         [](const auto& i) {
                           return std::get<0>(i.param).name +
                                  std::string(std::get<1>(i.param) ? "_over_old" : "_fresh");
                         });
