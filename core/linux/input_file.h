// Linux; paths are byte strings, relative ones to the working folder.
#pragma once

#include <memory>

#include "platform.h"

// FileSystem::OpenInput, as Linux does it.
std::unique_ptr<InputFile> OpenInputFile(const WidePath& path);
