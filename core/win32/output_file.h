// Windows 7 or later; paths as the command line gave them; an output written and committed on one thread.
#pragma once

#include "windows_headers.h"

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

// True when FlushFileBuffers refused with `error` because the file system
// offers no flush at all, which it documents no answer for. These two rest
// on the driver model: answering a flush is optional for a driver, and one
// without a flush routine completes it with STATUS_INVALID_DEVICE_REQUEST
// (ERROR_INVALID_FUNCTION); redirectors and drivers that refuse it outright
// give STATUS_NOT_SUPPORTED (ERROR_NOT_SUPPORTED). Such a file system has
// nothing to wait for and promises nothing more; it must not fail every run.
bool MeansNoFlushOffered(DWORD error);
