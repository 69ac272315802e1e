// Windows 7 or later; paths as the command line gave them; an input read once, from its start, on one thread.
#pragma once

#include <memory>

#include "platform.h"

// FileSystem::OpenInput, as Windows does it: the file's handle, and the zone
// stream (Mark of the Web) it had when opened, which the output made from it
// carries.
std::unique_ptr<InputFile> OpenInputFile(const WidePath& path, Failure& failure);
