// Windows 7 or later; paths as the command line gave them; an output written and committed on one thread.
#pragma once

#include <memory>

#include "platform.h"

// FileSystem::CreateOutput, as Windows does it: the new content for
// `target`, carrying the zone stream of `input`, once what earlier runs for
// the same target left is cleared. Refused when the target may not be
// replaced (read-only, asked outright; another file's short alias) or is a
// name the Windows shell cannot open (see ShellCanOpen). Its commit flushes
// the content before the rename, new output or not, and the renamed file
// after it; when only that last flush fails, the commit is false with the
// target holding the complete new content.
std::unique_ptr<OutputFile> CreateOutputFile(const WidePath& target, const InputFile& input, Failure& failure);
