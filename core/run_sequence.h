// Any platform; one run a process, on one thread; the console and files only through the seam.
#pragma once

#include <optional>
#include <vector>

#include "disguise_suffix.h"
#include "platform.h"

// A deliverable's texts and naming rule: all that sets the two tools apart.
struct ToolProfile {
  NarrowText Usage;  // shown when nothing was dropped: lines apart by "\n", the last without one
  WideText OpenFailureText;
  WideText SuccessPrefix;
  WideText WriteFailureText;
  bool WriteFailureShowsPath;
  NamingRule Naming;
};

// Shown after a file was processed, before the wait; no end-of-line after it,
// so the caret waits after the dots.
inline constexpr NarrowText PausePrompt = "\n按回车键退出程序...";

// Set to anything but empty, it has a failed run add one line after its
// report: the step that failed, the file, and the system's words, for
// whoever looks into a failure. The user's texts stay as they are.
inline constexpr char DiagnosticsVariable[] = "XYZ_DIAGNOSTICS";

// The whole life of a process: prepares the console, takes the first
// argument, masks that file into the profile's output name, reports, waits
// for Enter once, and returns the exit status (0, or 1 when the input could
// not be read).
int RunDropped(const ToolProfile& profile, int argc, char** argv);

// The same, over a given console, file system and argument vector;
// `diagnostics` adds the line naming a failure's cause.
int RunDropped(const ToolProfile& profile, Console& console, FileSystem& files,
               const std::optional<std::vector<WidePath>>& arguments, bool diagnostics = false);
