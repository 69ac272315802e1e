// Windows 7 or later; paths as the command line gave them; an output written and committed on one thread.
#pragma once

#include "windows_headers.h"

#include <memory>

#include "input_file.h"
#include "platform.h"

// Whether a refused replace may pass a moment later: scanners, indexers,
// previews and sync clients hold a file briefly. `error` is why the rename
// failed; `target_attributes` what GetFileAttributesW gives for the target
// just after (INVALID_FILE_ATTRIBUTES when it cannot tell). Replacing a file
// that is open gives "access denied", as a read-only file or a folder does
// for good.
bool HeldForAMoment(DWORD error, DWORD target_attributes);

// The new content for `target`, made from `input` (see
// FileSystem::CreateOutput); nullptr when the target may not be replaced
// (read-only, asked outright) or nothing could be created.
std::unique_ptr<OutputFile> CreateOutputFile(const WidePath& target, const Win32InputFile& input);
