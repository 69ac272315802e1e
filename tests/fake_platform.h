// In-memory stand-ins for the platform seam. The file system fails the
// scheduled call (the n-th open, read, end check, close, create, write or
// commit), so that every failure path of a run can be driven, and counts the
// misuses a real system would punish: a handle used after close or closed
// twice. An output's new content is a temporary file until it is committed.
#pragma once

#include <map>
#include <set>
#include <string>

#include "file_mask.h"
#include "platform.h"
#include "temporary_name.h"

enum class FileCall { Open, Read, AtEnd, CloseInput, CreateOutput, Write, Commit };

class FakeFileSystem final : public FileSystem {
 public:
  static constexpr std::uint32_t FirstToken = 0xfa4e0001;  // then the next ones up
  std::map<WidePath, ByteBuffer> files;
  std::set<WidePath> read_only;
  std::int64_t size_skew = 0;  // size reported at open less the real one: a file changing while read
  std::map<FileCall, int> fail_at;  // 1-based occurrence of the call that fails
  int open_handles = 0, misuses = 0;

  std::optional<OpenedInput> OpenInput(const WidePath& path) override {
    if (Fails(FileCall::Open) || !files.count(path)) return std::nullopt;
    return OpenedInput{NewHandle(path), files[path].size() + size_skew};
  }
  bool ReadExactly(FileHandle input, unsigned char* into, std::size_t count) override {
    if (Fails(FileCall::Read) || !Valid(input)) return false;
    Handle& h = handles_[input];
    const ByteBuffer& content = files.at(h.path);
    if (h.offset + count > content.size()) return false;
    std::copy_n(content.begin() + static_cast<std::ptrdiff_t>(h.offset), count, into);
    h.offset += count;
    return true;
  }
  bool AtEndOfInput(FileHandle input) override {
    return !Fails(FileCall::AtEnd) && Valid(input) && handles_[input].offset == files.at(handles_[input].path).size();
  }
  void CloseInput(FileHandle input) override {
    Fails(FileCall::CloseInput);  // the handle is released all the same, as by POSIX close
    Close(input);
  }
  bool MayReplace(const WidePath& target) override { return read_only.count(target) == 0; }
  std::optional<FileHandle> CreateOutput(const WidePath& target, std::uint64_t) override {
    if (Fails(FileCall::CreateOutput)) return std::nullopt;
    WidePath path;  // a name not taken yet, as O_EXCL with a fresh token gives
    do path = TemporaryPathFor(target, FirstToken + made_++); while (files.count(path));
    files[path];
    return NewHandle(path);
  }
  bool WriteAll(FileHandle output, const unsigned char* from, std::size_t count) override {
    if (!Valid(output)) return false;
    const bool fails = Fails(FileCall::Write);
    ByteBuffer& content = files.at(handles_[output].path);
    content.insert(content.end(), from, from + (fails ? count / 2 : count));  // a failure writes part
    return !fails;
  }
  bool CommitOutput(FileHandle output, const WidePath& target) override {
    if (!Valid(output)) return false;
    const WidePath temporary = handles_[output].path;
    Close(output);
    const bool fails = Fails(FileCall::Commit);
    if (!fails) files[target] = files.at(temporary);
    files.erase(temporary);
    return !fails;
  }
  void DiscardOutput(FileHandle output) override {
    if (!Valid(output)) return;
    files.erase(handles_[output].path);
    Close(output);
  }

 private:
  struct Handle {
    WidePath path;
    std::size_t offset = 0;
  };
  bool Fails(FileCall call) { return ++calls_[call] == fail_at[call]; }
  bool Valid(FileHandle handle) { return handles_.count(handle) != 0 || (++misuses, false); }
  FileHandle NewHandle(const WidePath& path) {
    ++open_handles;
    handles_[++last_handle_] = Handle{path};
    return last_handle_;
  }
  void Close(FileHandle handle) { handles_.erase(handle) ? --open_handles : ++misuses; }
  std::map<FileCall, int> calls_;
  std::map<FileHandle, Handle> handles_;
  FileHandle last_handle_ = 100;
  std::uint32_t made_ = 0;
};

// Records what a run shows, as UTF-8, and how often it waits. Texts and waits
// belong after the one BeginReport, progress lines before it.
class FakeConsole final : public Console {
 public:
  std::string shown;
  bool interactive = false, transient_shown = false;
  int waits = 0, report_begins = 0, out_of_order = 0, transient_draws = 0;

  void Prepare() override {}
  void WriteNarrow(NarrowText bytes) override { InReport(true), shown.append(bytes); }
  void WriteWide(WideText text) override {
    InReport(true);
    for (const unsigned u : text) {  // the tools' texts lie within the BMP
      if (u < 0x80) shown += char(u);
      else if (u < 0x800) shown += {char(0xC0 | u >> 6), char(0x80 | (u & 0x3F))};
      else shown += {char(0xE0 | u >> 12), char(0x80 | (u >> 6 & 0x3F)), char(0x80 | (u & 0x3F))};
    }
  }
  void WritePath(const WidePath& path) override { InReport(true), shown.append(path.begin(), path.end()); }
  void Flush() override {}
  bool IsInteractive() override { return interactive; }
  void DrawTransient(WideText) override { InReport(false), ++transient_draws, transient_shown = true; }
  void EraseTransient() override { transient_shown = false; }
  void BeginReport() override { ++report_begins; }
  void WaitForEnter() override { InReport(true), ++waits; }

 private:
  void InReport(bool expected) { out_of_order += (report_begins == 1) != expected; }
};
