// Windows 7 or later; paths as the command line gave them; an output written and committed on one thread.
#pragma once

#include "windows_headers.h"

#include <memory>

#include "input_file.h"
#include "platform.h"

// The new content for `target`, made from `input` (see
// FileSystem::CreateOutput), once what earlier runs for the same target left
// is cleared; nullptr when the target may not be replaced (read-only, asked
// outright; another file's short alias), is a name the Windows shell cannot
// open (see ShellCanOpen), or nothing could be created. Its commit flushes
// the content before the rename, new output or not, and the renamed file
// after it; when only that last flush fails, the commit is false with the
// target holding the complete new content.
std::unique_ptr<OutputFile> CreateOutputFile(const WidePath& target, const Win32InputFile& input);
