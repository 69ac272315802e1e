// Whole runs over the fake seam with arbitrary names, contents, existing
// outputs and schedules of failing calls. The first run that breaks the
// promise aborts: one wait for Enter; the outcome's exact texts and status;
// the input untouched; the output name holding its old content or the
// complete masked input; no other file added, changed or removed; no handle
// left open and no call a real system would refuse.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>

#include "fake_platform.h"
#include "image_tool.h"
#include "vault_tool.h"

namespace {

struct Tool {
  const ToolProfile* profile;
  std::string restored_suffix;
  std::string usage, open_failed, created, write_failed;
  bool write_failure_shows_path;
};

const std::string Pause = "\n按回车键退出程序...";
const Tool Tools[] = {
    {&ImageToolProfile, ".png",
     "请将文件拖拽到这个 EXE 上运行！\n提示: 拖入 .png 会生成 .xyz; 拖入 .xyz 会还原 .png\n",
     "错误: 无法打开文件。请确认文件存在且未被占用。\n", "转换成功！已生成: ", "写入失败: ", true},
    {&VaultToolProfile, "",
     "【Vorlune】\n请将 .mp4 / .txt / .xyz 文件拖拽到这里！\n提示: 拖入 .xyz 文件可以一键还原！\n",
     "错误: 无法读取文件，请检查路径或确认文件未被占用。\n", "处理成功！已生成: ", "写入失败，请检查权限或空间。", false},
};

constexpr FileCall Calls[] = {FileCall::Open,         FileCall::Read,  FileCall::AtEnd, FileCall::CloseInput,
                              FileCall::CreateOutput, FileCall::Write, FileCall::Commit};

void Require(bool holds, const char* broken) {
  if (holds) return;
  std::fprintf(stderr, "broken promise: %s\n", broken);
  std::abort();
}

bool FiredAny(const FakeFileSystem& files, std::initializer_list<FileCall> calls) {
  for (FileCall call : calls) {
    if (files.fired.count(call)) return true;
  }
  return false;
}

ByteBuffer Masked(ByteBuffer bytes) {
  for (unsigned char& b : bytes) b ^= 0x6B;
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const Tool& tool = Tools[in.ConsumeBool()];
  const int argument_count = in.ConsumeIntegralInRange(0, 3);  // 0: a command line that cannot be split
  const WidePath input = in.ConsumeRandomLengthString(300);
  const bool input_exists = in.ConsumeIntegralInRange(0, 7) != 0;
  const bool output_exists = in.ConsumeBool();
  const bool output_read_only = output_exists && in.ConsumeBool();
  const bool output_is_folder = !output_exists && in.ConsumeIntegralInRange(0, 7) == 0;
  const bool stray_temporary = in.ConsumeBool();
  const std::size_t input_size = in.ConsumeIntegralInRange<std::size_t>(0, 3 * PieceSize + 7);
  // The size seen at open, off from the content when the file changes while it is read.
  const std::size_t reported_size =
      in.ConsumeIntegralInRange(0, 3) == 0 ? in.ConsumeIntegralInRange<std::size_t>(0, 3 * PieceSize + 7) : input_size;

  FakeFileSystem files;
  for (int failures = in.ConsumeIntegralInRange(0, 3); failures > 0; --failures) {
    const FileCall call = Calls[in.ConsumeIntegralInRange<std::size_t>(0, std::size(Calls) - 1)];
    files.fail_at[call] = in.ConsumeIntegralInRange(1, 5);
  }

  const ByteBuffer pattern = in.ConsumeBytes<unsigned char>(in.ConsumeIntegralInRange(1, 64));
  ByteBuffer content(input_size);
  for (std::size_t i = 0; i < input_size; ++i) {
    content[i] = pattern.empty() ? static_cast<unsigned char>(i * 131) : pattern[i % pattern.size()] + i / 4096;
  }

  // The output name, worked out here rather than by the tools' own rule.
  const bool restores = input.size() >= 4 && input.compare(input.size() - 4, 4, ".xyz") == 0;
  const WidePath output = restores ? input.substr(0, input.size() - 4) + tool.restored_suffix : input + ".xyz";

  if (input_exists) files.files[input] = content;
  if (output_exists) files.files[output] = in.ConsumeRemainingBytes<unsigned char>();
  if (output_read_only) files.read_only.insert(output);
  if (output_is_folder) files.folders.insert(output);
  if (reported_size != input_size) files.reported_size[input] = reported_size;
  // Left by an earlier run that was killed: neither used nor removed.
  const WidePath stray = TemporaryPathFor(output, FakeFileSystem::FirstFakeToken);
  if (stray_temporary && stray != input && stray != output) files.files[stray] = {1, 2, 3};

  std::optional<std::vector<WidePath>> arguments;
  if (argument_count > 0) {
    arguments.emplace(std::vector<WidePath>{"tool", input, "ignored"});
    arguments->resize(argument_count);
  }
  const auto before = files.files;
  FakeConsole console;
  const int status = RunDropped(*tool.profile, console, files, arguments);

  Require(console.waits == 1, "waits for Enter exactly once");
  Require(files.open_handles == 0, "closes every handle");
  Require(files.misuses == 0, "uses the file system as a real one allows");
  if (argument_count < 2) {
    Require(status == 0 && console.shown == tool.usage, "shows the usage");
    Require(files.files == before, "touches no file without an argument");
    return 0;
  }

  const std::string created = tool.created + output + "\n" + Pause;
  const std::string write_failed = tool.write_failed + (tool.write_failure_shows_path ? output : "") + "\n" + Pause;
  const bool load_failed = status == 1;
  const bool was_created = status == 0 && console.shown == created;
  Require(load_failed ? console.shown == tool.open_failed : status == 0, "exits 1 only when the input is unreadable");
  Require(load_failed || was_created || console.shown == write_failed, "shows exactly its outcome's texts");

  auto expected = before;
  if (was_created) expected[output] = Masked(content);
  Require(files.files == expected, "leaves the input, the old output and every other file as they were");

  // No failure without a cause, and no success despite one.
  const bool load_cause =
      !input_exists || reported_size != input_size || FiredAny(files, {FileCall::Open, FileCall::Read, FileCall::AtEnd});
  const bool store_cause =
      output_read_only || output_is_folder || output.empty() ||
      FiredAny(files, {FileCall::CreateOutput, FileCall::Write, FileCall::Commit});
  if (load_failed) Require(load_cause, "reports an unreadable input only when it is");
  if (!load_failed && !was_created) Require(store_cause, "reports a failed write only when one failed");
  if (was_created) Require(!load_cause && !store_cause, "reports success only when nothing failed");
  return 0;
}
