// Linux; paths are byte strings, relative ones to the working folder; an input read once, from its start.
#pragma once

#include <memory>

#include "platform.h"

// FileSystem::OpenInput, as Linux does it: a regular file no other process
// is seen to hold locked or open for writing; its zone is always empty.
std::unique_ptr<InputFile> OpenInputFile(const WidePath& path, Failure& failure);
