// Linux 3.11 or later (O_TMPFILE; where a file system refuses it, a named file); /proc to name an unnamed file.
#pragma once

#include <memory>

#include "platform.h"

// FileSystem::CreateOutput, as Linux does it.
std::unique_ptr<OutputFile> CreateOutputFile(const WidePath& target, const InputFile& input);
