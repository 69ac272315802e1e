// What the core needs from the operating system: its arguments, console text
// and files. core/posix/ and core/win32/ implement it, a file per concern
// (console, files); the build picks the folder. Nothing else in the core
// knows which.
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
  // Switches the console to code page 936 for output, then input, and sets
  // it up for the work. Results are ignored: there may be no console at all.
  // What it changed is given back by the time the program ends.
  virtual void Prepare() = 0;
  // The Write calls append to standard output in the order made; nothing may
  // reach the standard error stream. Failures are not reported.
  virtual void WriteNarrow(NarrowText bytes) = 0;
  virtual void WriteWide(WideText text) = 0;
  // A path's control characters are shown escaped on an interactive output,
  // where they could move the caret or erase what is shown.
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
  // Called once a run, when the work is over and before the first text of
  // its report: keys typed on an interactive input until now are discarded,
  // so that only a key pressed after the report appeared ends the wait, and
  // whatever Prepare changed for the work's sake is given back.
  virtual void BeginReport() = 0;
  // Flushes, then waits: on an interactive input for a whole line, read
  // through its end so nothing typed is left for the next program; otherwise
  // reads and discards one byte. Returns at once at end of input or on a
  // read error.
  virtual void WaitForEnter() = 0;
};

using FileHandle = std::intptr_t;

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // Opens an existing regular file for reading while letting others only
  // read it: a file someone holds open or locked for writing is refused, as
  // far as the system can tell, as are folders, devices, FIFOs and sockets
  // (at once, never blocking, and never opening one of those).
  // Returns the handle and the 64-bit size, or nullopt.
  struct OpenedInput {
    FileHandle handle;
    std::uint64_t size;
  };
  virtual std::optional<OpenedInput> OpenInput(const WidePath& path) = 0;
  // Reads exactly `count` bytes, finishing short reads and retrying
  // interruptions; false on error or on an early end of file.
  virtual bool ReadExactly(FileHandle input, unsigned char* into, std::size_t count) = 0;
  // True when the input holds no byte beyond what was read and was not
  // written to while it was read: a file that grew during the run is not
  // silently cut, one rewritten in place not passed off mixed.
  virtual bool AtEndOfInput(FileHandle input) = 0;
  virtual void CloseInput(FileHandle input) = 0;

  // False when whatever is at `target` (not followed if it is a link) may
  // not be replaced by this run: a file marked read-only, even for a
  // privileged user, or one the user could not overwrite by hand. Nothing
  // there at all may be replaced.
  virtual bool MayReplace(const WidePath& target) = 0;
  // Creates the output's new content: a new, empty file of its own in the
  // folder of `target`, held exclusively and never seen under the target's
  // name until CommitOutput. Whatever ends the run before then (a failure,
  // an interruption) takes it away again. `final_size` is what the file will
  // hold once complete: the platform may set that much space aside, and
  // refuses at once when it knows the space, or the process's file size
  // limit, is not there. nullopt when nothing could be created.
  virtual std::optional<FileHandle> CreateOutput(const WidePath& target, std::uint64_t final_size) = 0;
  // Writes all `count` bytes, finishing short writes and retrying
  // interruptions; a write that makes no progress is a failure, and so is
  // one past the file size limit.
  virtual bool WriteAll(FileHandle output, const unsigned char* from, std::size_t count) = 0;
  // Puts the complete output in place of whatever is at `target` in one
  // step (a link is replaced, never followed) and closes it. Whatever was
  // there gives way only once the new content is on the disk; a new name is
  // not waited for. False when anything failed: then `target` is as it was
  // and the new content gone.
  virtual bool CommitOutput(FileHandle output, const WidePath& target) = 0;
  // Closes the output and removes its new content; `target` is untouched.
  virtual void DiscardOutput(FileHandle output) = 0;
};

Console& SystemConsole();
FileSystem& SystemFileSystem();
