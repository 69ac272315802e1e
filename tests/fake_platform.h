// In-memory stand-ins for the platform seam. The file system fails the scheduled call, so that every failure path
// can be driven, with the failure's step and path, the code 5 and "injected". Inputs and outputs are objects, as the
// real ones: an output's content is a temporary file until committed, gone when the output is destroyed uncommitted;
// `disk` logs the commit's steps done ("F" flushed, "N" named, "D" made durable). Misuse is counted: a commit after a
// failed read or write or before the end was checked, a second commit, or an input used after the commit took it.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "file_mask.h"
#include "temporary_name.h"

enum class FileCall { Open, Read, AtEnd, CreateOutput, Write, FlushContent, Name, FlushName };

class FakeFileSystem final : public FileSystem {
 public:
  static constexpr std::uint32_t FirstToken = 0xfa4e0001;  // then the next ones up
  std::map<WidePath, ByteBuffer> files;
  std::map<WidePath, WidePath> aliases;  // short names and the long ones they stand for
  bool replace_refused = false;          // as for a read-only output
  std::int64_t size_skew = 0;            // size reported at open less the real one: a file changing while read
  std::map<FileCall, int> fail_at;       // 1-based occurrence of the call that fails
  int open_objects = 0, misuses = 0;
  std::string disk;

  struct Input final : InputFile {
    Input(FakeFileSystem& fs, WidePath p) : files(fs), path(std::move(p)) { ++files.open_objects; }
    ~Input() override { --files.open_objects; }
    std::uint64_t Size() const override { return files.files[path].size() + std::uint64_t(files.size_skew); }
    const std::string& ZoneIdentifier() const override { return zone; }
    bool ReadExactly(unsigned char* into, std::size_t count, Failure& failure) override {
      const ByteBuffer& bytes = files.files[path];
      if (bytes.size() - offset < count)
        return failed = true, failure = RuleFailure(Step::ReadInput, path, u"ended"), false;
      if (files.Fails(FileCall::Read, Step::ReadInput, path, failure)) return offset += count, failed = true, false;
      std::copy_n(bytes.begin() + std::ptrdiff_t(offset), count, into);
      return offset += count, true;
    }
    bool AtEndUnchanged(Failure& failure) override {
      ended = !files.Fails(FileCall::AtEnd, Step::CheckInputEnd, path, failure) && offset == files.files[path].size();
      if (!ended && failure.message.empty()) failure = RuleFailure(Step::CheckInputEnd, path, u"grew");
      return failed |= !ended, ended;
    }
    FakeFileSystem& files;
    WidePath path;
    std::size_t offset = 0;
    bool failed = false, ended = false;
    std::string zone;
  };

  struct Output final : OutputFile {
    Output(FakeFileSystem& fs, WidePath t, WidePath p) : files(fs), target(std::move(t)), path(std::move(p)) {
      ++files.open_objects;
    }
    ~Output() override { --files.open_objects, files.files.erase(path); }
    bool WriteAll(const unsigned char* from, std::size_t count, Failure& failure) override {
      ByteBuffer& content = files.files[path];
      const bool fails = files.Fails(FileCall::Write, Step::WriteContent, path, failure);  // after writing a part
      content.insert(content.end(), from, from + (fails ? count / 2 : count));
      return failed |= fails, !fails;
    }
    bool Commit(std::unique_ptr<InputFile> input, Failure& failure) override {
      const auto& read = static_cast<const Input&>(*input);
      files.misuses += failed || committed || read.failed || !read.ended;
      input.reset();  // closed first, as the platforms do
      committed = true;
      if (files.Fails(FileCall::FlushContent, Step::FlushContent, path, failure)) return false;
      files.disk += 'F';
      if (files.Fails(FileCall::Name, Step::PutInPlace, target, failure)) return false;
      files.files[target] = files.files[path], files.disk += 'N';
      if (files.Fails(FileCall::FlushName, Step::FlushName, target, failure)) return false;  // named, not durable
      return files.disk += 'D', true;
    }
    FakeFileSystem& files;
    WidePath target, path;
    bool failed = false, committed = false;
  };

  std::unique_ptr<InputFile> OpenInput(const WidePath& path, Failure& failure) override {
    if (Fails(FileCall::Open, Step::OpenInput, path, failure)) return nullptr;
    if (!files.count(path)) return failure = SystemFailure(Step::OpenInput, path, 2), nullptr;
    return std::make_unique<Input>(*this, path);
  }
  WidePath WithLongNames(const WidePath& path) override { return aliases.count(path) ? aliases[path] : path; }
  std::unique_ptr<OutputFile> CreateOutput(const WidePath& target, const InputFile& input, Failure& failure) override {
    misuses += static_cast<const Input&>(input).offset != 0;  // created before the first read
    if (replace_refused) return failure = RuleFailure(Step::LookAtTarget, target, u"marked read-only"), nullptr;
    if (Fails(FileCall::CreateOutput, Step::CreateContent, target, failure)) return nullptr;
    WidePath path;  // a name not taken yet, as O_EXCL with a fresh token gives
    do path = TemporaryPathFor(target, FirstToken + made_++);
    while (files.count(path));
    files[path];
    return std::make_unique<Output>(*this, target, path);
  }

 private:
  // True when this call is the one scheduled to fail; `failure` then says so.
  bool Fails(FileCall call, Step step, const WidePath& path, Failure& failure) {
    if (++calls_[call] != fail_at[call]) return false;
    return failure = Failure{step, path, 5, u"injected"}, true;
  }
  std::map<FileCall, int> calls_;
  std::uint32_t made_ = 0;
};

// Records what a run shows, as UTF-8, its waits, and calls out of order: texts and waits after the one BeginReport,
// progress lines before it; and what `disk` said when the first text was shown.
class FakeConsole final : public Console {
 public:
  std::string shown;
  bool interactive = false, transient_shown = false;
  int waits = 0, report_begins = 0, out_of_order = 0, transient_draws = 0;
  const std::string* disk = nullptr;
  std::string disk_at_report = "nothing shown";

  void WriteNarrow(NarrowText bytes) override { InReport(true), shown.append(bytes); }
  void WriteWide(WideText text) override {  // the tools' texts: ASCII and characters from U+0800 up
    InReport(true);
    for (const unsigned u : text)
      shown += u < 0x80 ? std::string{char(u)}
                        : std::string{char(0xE0 | u >> 12), char(0x80 | (u >> 6 & 0x3F)), char(0x80 | (u & 0x3F))};
  }
  void WritePath(const WidePath& path) override { InReport(true), shown.append(path.begin(), path.end()); }
  void Prepare() override {}
  void Flush() override {}
  bool IsInteractive() override { return interactive; }
  void DrawTransient(WideText) override { InReport(false), ++transient_draws, transient_shown = true; }
  void EraseTransient() override { transient_shown = false; }
  void BeginReport() override { ++report_begins; }
  void WaitForEnter() override { InReport(true), ++waits; }

 private:
  void InReport(bool expected) {
    out_of_order += (report_begins == 1) != expected;
    if (expected && shown.empty() && disk) disk_at_report = *disk;
  }
};
