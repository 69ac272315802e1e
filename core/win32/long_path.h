// Windows 7 or later; UTF-16 paths as the command line gave them: the \\?\ form every file call here is made with.
#pragma once

#include <string>

#include "platform.h"

// The full path with the \\?\ (or \\?\UNC\) prefix, so that neither the
// MAX_PATH limit nor any further rewriting applies, naming the very file
// `path` names: its folder is made absolute and normalised as a plain path
// would be, its last element kept exactly as given (a trailing dot or space,
// a legacy device name such as COM3.png). A 32-bit program on 64-bit Windows
// reaches System32 itself through Sysnative, not its SysWOW64 stand-in. A
// path already in that form, or a device named as one (\\.\), is given as
// it is; so is one GetFullPathNameW cannot take.
std::wstring LongPath(const WidePath& path);

// `path` with each element that is a short (8.3) alias replaced by the long
// name it stands for; every other element, case included, as given.
// Unchanged when nothing there has an alias or the names cannot be looked up.
WidePath WithLongNames(const WidePath& path);

// False when `full` (a LongPath) names an existing file through its short
// alias, or when whether it does cannot be told: the file's own name is then
// another, and replacing it would replace a file the user did not name.
bool NamesNothingOrItsOwnName(const std::wstring& full);

// Where the last element of `path` starts: after its last separator or its
// drive ("C:name").
std::size_t LastElementStart(const std::wstring& path);
