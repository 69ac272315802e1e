// What the core needs from the operating system: its arguments, console text
// and files. core/posix/platform_posix.cc and core/win32/platform_win32.cc
// implement it; the build picks one. Nothing else in the core knows which.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A path is kept exactly as the platform hands it over: UTF-16 code units on
// Windows, bytes on POSIX. Suffix work counts and compares these units.
#ifdef _WIN32
using PathUnit = wchar_t;
#else
using PathUnit = char;
#endif
using WidePath = std::basic_string<PathUnit>;

// Bytes written unchanged but for line ends, which follow the platform's
// custom: code page 936 on Windows, UTF-8 elsewhere.
using NarrowText = std::string_view;
// Characters that must reach the user as given, whatever the terminal.
using WideText = std::u16string_view;

// The process's arguments, its own path first, unaltered; nullopt when the
// command line cannot be split. argc/argv are main's; a platform with a
// command line of its own (Windows) ignores them.
std::optional<std::vector<WidePath>> ProcessArguments(int argc, char** argv);

class Console {
 public:
  virtual ~Console() = default;
  // Switches the console to code page 936 for output, then input. Results are
  // ignored: there may be no console at all.
  virtual void Prepare() = 0;
  // The Write calls append to standard output in the order made; nothing may
  // reach the standard error stream. Failures are not reported.
  virtual void WriteNarrow(NarrowText bytes) = 0;
  virtual void WriteWide(WideText text) = 0;
  virtual void WritePath(const WidePath& path) = 0;
  // Makes everything written so far visible.
  virtual void Flush() = 0;
  // True when standard output is a terminal or console a person watches,
  // not a file or a pipe.
  virtual bool IsInteractive() = 0;
  // Shows a one-line text in place of the previous one, on an interactive
  // output only; EraseTransient clears it and leaves the caret at the start
  // of that line, so what follows is written as if it had never been there.
  virtual void DrawTransient(WideText text) = 0;
  virtual void EraseTransient() = 0;
  // Flushes, then reads and discards one byte of standard input; returns at
  // once at end of input or on a read error.
  virtual void WaitForEnter() = 0;
};

using FileHandle = std::intptr_t;

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // Opens an existing regular file for reading while letting others only
  // read it: a file someone holds open or locked for writing is refused, as
  // are folders, devices, FIFOs and sockets (at once, never blocking).
  // Returns the handle and the 64-bit size, or nullopt.
  struct OpenedInput {
    FileHandle handle;
    std::uint64_t size;
  };
  virtual std::optional<OpenedInput> OpenInput(const WidePath& path) = 0;
  // Reads exactly `count` bytes, finishing short reads and retrying
  // interruptions; false on error or on an early end of file.
  virtual bool ReadExactly(FileHandle input, unsigned char* into, std::size_t count) = 0;
  // True when the input holds no byte beyond what was read: a file that grew
  // during the run is not silently cut.
  virtual bool AtEndOfInput(FileHandle input) = 0;
  virtual void CloseInput(FileHandle input) = 0;

  // True when the file at `target` (not followed if it is a link) is marked
  // read-only and so may not be replaced, even by a privileged user.
  virtual bool IsReadOnly(const WidePath& target) = 0;
  // Creates a new, empty, exclusively held file in the folder of `target`,
  // under a name of its own (see TemporaryPathFor). From here until
  // ReplaceTarget or DiscardTemporary, an interruption of the process removes
  // it. Returns its handle and path, or nullopt.
  struct CreatedTemporary {
    FileHandle handle;
    WidePath path;
  };
  // `final_size` is what the file will hold once complete: the platform may
  // set that much space aside, but the file stays empty until written.
  virtual std::optional<CreatedTemporary> CreateTemporaryBeside(const WidePath& target,
                                                                std::uint64_t final_size) = 0;
  // Writes all `count` bytes, finishing short writes and retrying
  // interruptions; a write that makes no progress is a failure.
  virtual bool WriteAll(FileHandle output, const unsigned char* from, std::size_t count) = 0;
  // Closes the output, reporting whether everything reached the file.
  virtual bool CloseOutput(FileHandle output) = 0;
  // Moves the complete temporary file over `target`, replacing what is
  // there (a link is replaced, never followed).
  virtual bool ReplaceTarget(const WidePath& temporary, const WidePath& target) = 0;
  // Closes nothing; removes the temporary file after a failure.
  virtual void DiscardTemporary(const WidePath& temporary) = 0;
};

Console& SystemConsole();
FileSystem& SystemFileSystem();
