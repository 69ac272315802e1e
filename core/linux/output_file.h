// Linux 3.11 or later (O_TMPFILE; where a file system refuses it, a named file); /proc to name an unnamed file.
#pragma once

#include <memory>

#include "platform.h"

// FileSystem::CreateOutput, as Linux does it: the new content for `target`,
// unnamed where the file system allows, once what earlier runs for the same
// target left is cleared. Refused when the target may not be replaced
// (without write permission for anyone, not the user's to write, locked or
// open for writing elsewhere) or `input` is larger than the file size limit
// or, as the file system tells at once, the free room. Its commit flushes
// the content before it takes the name, new output or not, and the folder
// (or the file system) after it; when only that last flush fails, the
// commit is false with the target holding the complete new content.
std::unique_ptr<OutputFile> CreateOutputFile(const WidePath& target, const InputFile& input, Failure& failure);
