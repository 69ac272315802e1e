// Windows 7 or later; UTF-16 paths as the command line gave them: the \\?\ form every file call here is made with.
#pragma once

#include <string>

#include "platform.h"

// The full path with the \\?\ (or \\?\UNC\) prefix, so that neither the
// MAX_PATH limit nor any further rewriting applies; GetFullPathNameW makes it
// absolute and normalises it the way a plain path would have been. A path
// already in that form, or a device (\\.\, a reserved name such as NUL), is
// given as it is; so is one GetFullPathNameW cannot take.
std::wstring LongPath(const WidePath& path);
