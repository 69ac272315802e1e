// Any platform; one run a process, on one thread; the console and files only through the seam.
#include "run_sequence.h"

#include <cstdlib>
#include <string>

#include "file_mask.h"
#include "progress.h"

namespace {

void ShowNarrowLine(Console& console, NarrowText text) {
  console.WriteNarrow(text);
  console.WriteNarrow("\n");
  console.Flush();
}

void ShowWideLine(Console& console, WideText text, const WidePath* path) {
  console.WriteWide(text);
  if (path != nullptr) console.WritePath(*path);
  console.WriteNarrow("\n");
  console.Flush();
}

// The step, the file and the system's words (its number where it gave one),
// on a line of their own.
void ShowDiagnostic(Console& console, const Failure& failure) {
  console.WriteWide(StepName(failure.step));
  if (!failure.path.empty()) {
    console.WriteNarrow(": ");
    console.WritePath(failure.path);
  }
  console.WriteNarrow(": ");
  console.WriteWide(failure.message);
  if (failure.code != 0) console.WriteNarrow(" (" + std::to_string(failure.code) + ")");
  console.WriteNarrow("\n");
  console.Flush();
}

}  // namespace

int RunDropped(const ToolProfile& profile, Console& console, FileSystem& files,
               const std::optional<std::vector<WidePath>>& arguments, bool diagnostics) {
  if (!arguments || arguments->size() < 2) {
    console.BeginReport();
    ShowNarrowLine(console, profile.Usage);
    console.WaitForEnter();
    return 0;
  }
  // Only the first dropped file is processed; the rest are ignored.
  const WidePath input = files.WithLongNames((*arguments)[1]);
  const WidePath output = profile.Naming(input);

  MaskOutcome outcome;
  Failure failure;
  {
    ProgressLine progress(console);
    outcome = MaskFile(files, input, output, failure,
                       [&progress](std::uint64_t done, std::uint64_t total) { progress.Advance(done, total); });
  }  // the progress line is gone before the report
  console.BeginReport();
  switch (outcome) {
    case MaskOutcome::LoadFailed:
      ShowWideLine(console, profile.OpenFailureText, nullptr);
      if (diagnostics) ShowDiagnostic(console, failure);
      console.WaitForEnter();
      return 1;
    case MaskOutcome::Created:
      ShowWideLine(console, profile.SuccessPrefix, &output);
      break;
    case MaskOutcome::StoreFailed:
      ShowWideLine(console, profile.WriteFailureText, profile.WriteFailureShowsPath ? &output : nullptr);
      if (diagnostics) ShowDiagnostic(console, failure);
      break;
  }
  console.WriteNarrow(PausePrompt);
  console.WaitForEnter();
  // A failed write is reported on screen, not in the status.
  return 0;
}

int RunDropped(const ToolProfile& profile, int argc, char** argv) {
  Console& console = SystemConsole();
  console.Prepare();
  const auto arguments = ProcessArguments(argc, argv);
  // Read once, before anything runs on another thread.
  const char* const diagnostics = std::getenv(DiagnosticsVariable);  // NOLINT(concurrency-mt-unsafe)
  return RunDropped(profile, console, SystemFileSystem(), arguments, diagnostics != nullptr && *diagnostics != '\0');
}
