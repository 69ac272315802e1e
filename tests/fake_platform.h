// In-memory stand-ins for the platform seam. The file system fails the
// scheduled call (the n-th open, read, create, write or commit), so that every
// failure path of a run can be driven and what it leaves behind inspected.
// It also counts misuses a real system would punish: a handle used after
// close or closed twice, an output committed or discarded twice.
// The output's new content shows as a temporary file until it is committed.
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
  // Temporary files get this token, then the next ones up.
  static constexpr std::uint32_t FirstFakeToken = 0xfa4e0001;
  std::map<WidePath, ByteBuffer> files;
  std::set<WidePath> folders;
  std::set<WidePath> read_only;
  // Size reported at open when it should differ from the content (a file
  // that shrinks or grows while it is read).
  std::map<WidePath, std::uint64_t> reported_size;
  std::map<FileCall, int> fail_at;  // 1-based occurrence of the call to fail
  std::set<FileCall> fired;  // the scheduled failures that happened
  int open_handles = 0;
  int misuses = 0;

  std::optional<OpenedInput> OpenInput(const WidePath& path) override {
    if (Fails(FileCall::Open) || !files.count(path)) return std::nullopt;
    const FileHandle handle = NewHandle(path);
    const auto reported = reported_size.find(path);
    return OpenedInput{handle, reported != reported_size.end() ? reported->second : files[path].size()};
  }
  bool ReadExactly(FileHandle input, unsigned char* into, std::size_t count) override {
    if (Fails(FileCall::Read)) return false;
    if (!handles_.count(input)) return Misuse(false);
    Handle& h = handles_.at(input);
    const ByteBuffer& content = files.at(h.path);
    if (h.offset + count > content.size()) return false;
    std::copy_n(content.begin() + static_cast<std::ptrdiff_t>(h.offset), count, into);
    h.offset += count;
    return true;
  }
  bool AtEndOfInput(FileHandle input) override {
    if (!handles_.count(input)) return Misuse(false);
    const Handle& h = handles_.at(input);
    return !Fails(FileCall::AtEnd) && h.offset == files.at(h.path).size();
  }
  // A failed close still releases the handle, as POSIX close does; the
  // run has nothing to report about its input.
  void CloseInput(FileHandle input) override {
    Fails(FileCall::CloseInput);
    CloseHandle(input);
  }
  bool MayReplace(const WidePath& target) override { return read_only.count(target) == 0; }
  std::optional<FileHandle> CreateOutput(const WidePath& target, std::uint64_t) override {
    if (Fails(FileCall::CreateOutput)) return std::nullopt;
    // Distinct names skipping taken ones, like O_EXCL with a fresh token.
    WidePath path;
    do {
      path = TemporaryPathFor(target, FirstFakeToken + temporaries_made_++);
    } while (files.count(path) || folders.count(path));
    files[path];
    return NewHandle(path);
  }
  bool WriteAll(FileHandle output, const unsigned char* from, std::size_t count) override {
    if (!handles_.count(output)) return Misuse(false);
    ByteBuffer& content = files.at(handles_.at(output).path);
    if (Fails(FileCall::Write)) {
      content.insert(content.end(), from, from + count / 2);  // a partial write
      return false;
    }
    content.insert(content.end(), from, from + count);
    return true;
  }
  bool CommitOutput(FileHandle output, const WidePath& target) override {
    if (!handles_.count(output)) return Misuse(false);
    const WidePath temporary = handles_.at(output).path;
    CloseHandle(output);
    if (Fails(FileCall::Commit) || folders.count(target) || target.empty()) {
      files.erase(temporary);
      return false;
    }
    files[target] = std::move(files.at(temporary));
    files.erase(temporary);
    return true;
  }
  void DiscardOutput(FileHandle output) override {
    if (!handles_.count(output)) return static_cast<void>(Misuse(false));
    files.erase(handles_.at(output).path);
    CloseHandle(output);
  }

 private:
  struct Handle {
    WidePath path;
    std::size_t offset = 0;
  };
  bool Fails(FileCall call) {
    const auto scheduled = fail_at.find(call);
    const bool fails = ++calls_[call] == (scheduled == fail_at.end() ? 0 : scheduled->second);
    if (fails) fired.insert(call);
    return fails;
  }
  bool Misuse(bool result) { return ++misuses, result; }
  FileHandle NewHandle(const WidePath& path) {
    ++open_handles;
    handles_[++last_handle_] = Handle{path};
    return last_handle_;
  }
  void CloseHandle(FileHandle handle) { handles_.erase(handle) ? --open_handles : ++misuses; }
  std::map<FileCall, int> calls_;
  std::uint32_t temporaries_made_ = 0;
  std::map<FileHandle, Handle> handles_;
  FileHandle last_handle_ = 100;
};

// Records what a run shows, as UTF-8, and how often it waits. Texts and waits
// belong after BeginReport, progress lines before it.
class FakeConsole final : public Console {
 public:
  std::string shown;
  int waits = 0;
  int report_begins = 0;
  int out_of_order = 0;
  bool interactive = false;
  int transient_draws = 0;
  bool transient_shown = false;

  void Prepare() override {}
  void WriteNarrow(NarrowText bytes) override {
    InReport(true);
    shown.append(bytes);
  }
  void WriteWide(WideText text) override {
    InReport(true);
    for (const unsigned u : text) {  // the tools' texts lie within the BMP
      if (u < 0x80) {
        shown += static_cast<char>(u);
      } else if (u < 0x800) {
        shown += {static_cast<char>(0xC0 | u >> 6), static_cast<char>(0x80 | (u & 0x3F))};
      } else {
        shown += {static_cast<char>(0xE0 | u >> 12), static_cast<char>(0x80 | (u >> 6 & 0x3F)),
                  static_cast<char>(0x80 | (u & 0x3F))};
      }
    }
  }
  void WritePath(const WidePath& path) override {
    InReport(true);
    for (PathUnit unit : path) shown += static_cast<char>(unit);  // the tests use ASCII paths
  }
  void Flush() override {}
  bool IsInteractive() override { return interactive; }
  void DrawTransient(WideText) override {
    InReport(false);
    ++transient_draws;
    transient_shown = true;
  }
  void EraseTransient() override { transient_shown = false; }
  void BeginReport() override { ++report_begins; }
  void WaitForEnter() override {
    InReport(true);
    ++waits;
  }

 private:
  void InReport(bool expected) { out_of_order += (report_begins == 1) != expected; }
};
