// In-memory stand-ins for the platform seam. The file system fails the scheduled call, so that every failure path
// can be driven; a handle used after its close throws. An output's new content is a temporary file until committed.
#pragma once

#include <map>
#include <string>

#include "file_mask.h"
#include "temporary_name.h"

enum class FileCall { Open, Read, AtEnd, CreateOutput, Write, Commit };

class FakeFileSystem final : public FileSystem {
 public:
  static constexpr std::uint32_t FirstToken = 0xfa4e0001;  // then the next ones up
  std::map<WidePath, ByteBuffer> files;
  bool replace_refused = false;     // as for a read-only output
  std::int64_t size_skew = 0;       // size reported at open less the real one: a file changing while read
  std::map<FileCall, int> fail_at;  // 1-based occurrence of the call that fails
  std::map<FileHandle, std::pair<WidePath, std::size_t>> handles;  // open ones: path, offset

  std::optional<OpenedInput> OpenInput(const WidePath& path) override {
    if (Fails(FileCall::Open) || !files.count(path)) return std::nullopt;
    return OpenedInput{Open(path), files[path].size() + static_cast<std::uint64_t>(size_skew)};
  }
  bool ReadExactly(FileHandle input, unsigned char* into, std::size_t count) override {
    auto& [path, offset] = handles.at(input);
    if (Fails(FileCall::Read) || files[path].size() - offset < count) return false;
    std::copy_n(files[path].begin() + static_cast<std::ptrdiff_t>(offset), count, into);
    offset += count;
    return true;
  }
  bool AtEndOfInput(FileHandle input) override {
    return !Fails(FileCall::AtEnd) && handles.at(input).second == files[handles.at(input).first].size();
  }
  void CloseInput(FileHandle input) override { Close(input); }
  bool MayReplace(const WidePath&) override { return !replace_refused; }
  std::optional<FileHandle> CreateOutput(const WidePath& target, std::uint64_t) override {
    if (Fails(FileCall::CreateOutput)) return std::nullopt;
    WidePath path;  // a name not taken yet, as O_EXCL with a fresh token gives
    do path = TemporaryPathFor(target, FirstToken + made_++);
    while (files.count(path));
    files[path];
    return Open(path);
  }
  bool WriteAll(FileHandle output, const unsigned char* from, std::size_t count) override {
    ByteBuffer& content = files[handles.at(output).first];
    const bool fails = Fails(FileCall::Write);  // after writing a part
    content.insert(content.end(), from, from + (fails ? count / 2 : count));
    return !fails;
  }
  bool CommitOutput(FileHandle output, const WidePath& target) override {
    const WidePath temporary = Close(output);
    const bool fails = Fails(FileCall::Commit);
    if (!fails) files[target] = files[temporary];
    files.erase(temporary);
    return !fails;
  }
  void DiscardOutput(FileHandle output) override { files.erase(Close(output)); }

 private:
  bool Fails(FileCall call) { return ++calls_[call] == fail_at[call]; }
  FileHandle Open(const WidePath& path) {
    handles[++last_handle_] = {path, 0};
    return last_handle_;
  }
  WidePath Close(FileHandle handle) {
    WidePath path = handles.at(handle).first;
    handles.erase(handle);
    return path;
  }
  std::map<FileCall, int> calls_;
  FileHandle last_handle_ = 100;
  std::uint32_t made_ = 0;
};

// Records what a run shows, as UTF-8, its waits, and calls out of order: texts and waits after the one BeginReport,
// progress lines before it.
class FakeConsole final : public Console {
 public:
  std::string shown;
  bool interactive = false, transient_shown = false;
  int waits = 0, report_begins = 0, out_of_order = 0, transient_draws = 0;

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
  void InReport(bool expected) { out_of_order += (report_begins == 1) != expected; }
};
