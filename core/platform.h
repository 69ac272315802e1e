// What the core needs from the operating system: its arguments, console text
// and files. core/linux/ and core/win32/ implement it, a file per concern;
// the build picks the folder. Nothing else in the core knows which.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A path is kept exactly as the platform hands it over: UTF-16 code units on
// Windows, bytes on Linux (the name says "wide" for Windows, where paths
// are). Suffix work counts and compares these units.
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

// The steps of a run that can fail, in the order a run takes them.
enum class Step {
  OpenInput,        // opened, sized, its zone read, checked to be the file named
  ReadInput,        // a piece of it read
  CheckInputEnd,    // nothing past its size, nobody writing it
  LookAtTarget,     // whatever is under the output name may be replaced (at creation and before the commit)
  CreateContent,    // the new content's own file made beside the target
  KeepPermissions,  // a replaced file's permissions and attributes carried over
  ReserveSpace,     // the space and the file size limit asked for the whole size
  WriteContent,     // a piece written
  FlushContent,     // the content on the disk before it takes the name
  PutInPlace,       // the content given the output's name, in one step
  FlushName,        // the name itself on the disk
};
// The step as the diagnostic line names it: a few lower-case words.
std::u16string_view StepName(Step step);

// Why a step failed, decided where it failed and carried up unchanged to
// the report: the user's texts do not change with it; a diagnostic line
// can name it.
struct Failure {
  Step step = Step::OpenInput;
  WidePath path;           // the file the step was about, as the system was given it
  std::uint32_t code = 0;  // the system's error number (errno, GetLastError); 0 when a rule of this program refused
  std::u16string message;  // the system's words for `code`, or the rule that refused
};
// A failure the system reported with `code`; its words are the system's own.
Failure SystemFailure(Step step, const WidePath& path, std::uint32_t code);
// A refusal by one of this program's rules, `why` in a few words.
Failure RuleFailure(Step step, const WidePath& path, std::u16string_view why);

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

// Every call below that can fail returns false or nullptr and then sets
// `failure` to what failed; on success it leaves `failure` alone.

// A file opened for reading; closed when destroyed.
class InputFile {
 public:
  virtual ~InputFile() = default;
  // The size it had when it was opened, in bytes.
  virtual std::uint64_t Size() const = 0;
  // The Mark of the Web it had when it was opened (the zone a download came
  // from), which the output made from it carries; empty where there is none
  // or the system keeps none.
  virtual const std::string& ZoneIdentifier() const = 0;
  // Reads exactly `count` bytes, finishing short reads and retrying
  // interruptions; false on error or on an early end of file.
  virtual bool ReadExactly(unsigned char* into, std::size_t count, Failure& failure) = 0;
  // True when the input holds no byte beyond what was read and nothing that
  // can change its bytes happened while it was read: a file that grew during
  // the run is not silently cut, one rewritten in place not passed off mixed.
  // What leaves the bytes alone (a new name, link, owner, permissions or
  // attribute) does not count.
  virtual bool AtEndUnchanged(Failure& failure) = 0;
};

// An output's new content: a file of its own in the target's folder, held
// exclusively and never seen under the target's name until Commit. Destroyed
// without a successful Commit, it takes the new content away again (unless
// the content already took the name: see Commit), and
// whatever ends the process before then (an interruption, a kill where the
// system allows it) does as much.
class OutputFile {
 public:
  virtual ~OutputFile() = default;
  // Writes all `count` bytes, finishing short writes and retrying
  // interruptions; a write that makes no progress is a failure, and so is
  // one past the file size limit.
  virtual bool WriteAll(const unsigned char* from, std::size_t count, Failure& failure) = 0;
  // Takes a last look at the target, then puts the complete content in
  // place of whatever is there in one step (a link is replaced, never
  // followed). The input is closed first: its bytes are all read, and the
  // target may be another name of it (a hard link), which Windows will not
  // replace while it is open. In this order, for a new output as for a
  // replacing one: the content is flushed to the disk, then given the name,
  // then the name is made durable; true only once all three are done, so
  // the report that follows is never ahead of the disk. False when anything
  // failed or the target may no longer be replaced: then the target is as
  // it was and the new content gone, except when only the last flush
  // failed: then the target holds the complete new content, not confirmed
  // on the disk. A file system that offers no flush has nothing to wait
  // for. Called at most once.
  virtual bool Commit(std::unique_ptr<InputFile> input, Failure& failure) = 0;
};

// Order of calls, one run: WithLongNames for the path dropped, which the
// output's name is derived from; OpenInput; CreateOutput for the target, given
// that input; the input's pieces read with ReadExactly and written with
// WriteAll, in turn; AtEndUnchanged once every byte was read; Commit, only
// when all of these succeeded. A failure at any step ends the run there: the
// objects are destroyed, which closes the input and takes the new content
// away. The file system itself keeps no state between calls: everything a
// run opens lives in these objects.
class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // Opens an existing regular file for reading while letting others only
  // read it: a file someone holds open or locked for writing is refused, as
  // far as the system can tell, as are folders, devices, FIFOs and sockets
  // (at once, never blocking, and never opening one of those). nullptr when
  // it cannot be opened or sized.
  virtual std::unique_ptr<InputFile> OpenInput(const WidePath& path, Failure& failure) = 0;
  // `path` with each element that is a short (8.3) alias of a longer name
  // replaced by that name, so that the output is named after the name the
  // user sees; every other element, and every path on a system without
  // aliases, exactly as given.
  virtual WidePath WithLongNames(const WidePath& path) = 0;
  // Creates the new content for `target` from `input`, once whatever is at
  // `target` (not followed if it is a link) may be replaced by this run:
  // nothing there, or a file neither marked read-only (even for a
  // privileged user) nor one the user could not overwrite by hand. The
  // platform may set the input's size aside, and refuses at once when it
  // knows the space, or the process's file size limit, is not there; a
  // replaced file's permissions go over to the new content. nullptr when
  // refused or when nothing could be created.
  virtual std::unique_ptr<OutputFile> CreateOutput(const WidePath& target, const InputFile& input,
                                                   Failure& failure) = 0;
};

Console& SystemConsole();
FileSystem& SystemFileSystem();
