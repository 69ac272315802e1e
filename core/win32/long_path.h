// Windows 7 or later; UTF-16 paths as the command line gave them: the \\?\ form every file call here is made with.
#pragma once

#include "windows_headers.h"

#include <string>

#include "platform.h"

// The full path with the \\?\ (or \\?\UNC\) prefix, so that neither the
// MAX_PATH limit nor any rewriting applies, naming the very file `path`
// names: made absolute against the current folder (of its drive, for
// "C:name"), "." and ".." elements resolved as typed, and every other
// element kept exactly as given (a trailing dot or space, a legacy device
// name such as COM3.png). Under WOW64, System32 is reached through
// Sysnative (see AroundRedirection). A \\?\ path is taken as it is; a
// \\.\ one becomes its \\?\ twin. Empty when it cannot be reached as named.
std::wstring LongPath(const WidePath& path);

// `full` (a \\?\ path) as a 32-bit program on 64-bit Windows, whose
// %windir%\System32 is redirected to SysWOW64, reaches what it names:
// System32 through Sysnative, the folder's own alias; empty for what is
// redirected with no such alias (%windir%\lastgood\System32,
// %windir%\regedit.exe). `windows` is %windir% in the \\?\ form, empty when
// nothing is redirected.
std::wstring AroundRedirection(const std::wstring& full, const std::wstring& windows);

// `path` with each element that is a short (8.3) alias replaced by the long
// name it stands for; every other element, case included, as given.
// Unchanged when nothing there has an alias or the names cannot be looked up.
WidePath WithLongNames(const WidePath& path);

// False when `full` (a LongPath) names an existing file through its short
// alias, or when whether it does cannot be told: the file's own name is then
// another, and replacing it would replace a file the user did not name.
bool NamesNothingOrItsOwnName(const std::wstring& full);

// What the system's name of an opened file (`opened`, from
// GetFinalPathNameByHandleW) tells of it against the name it was opened by
// (`named`, a LongPath), element by element from the last.
enum class OpenedName {
  // Nothing tells of a rewrite: the rest may be a link's or a substituted
  // drive's target, a long name for an alias, another case.
  NothingTold,
  Trimmed,     // an element is the one named less its trailing dots or spaces
  Redirected,  // System32 or Sysnative was opened as SysWOW64
};
OpenedName WhatTheNameTells(const std::wstring& named, const std::wstring& opened);

// False when `file`, opened by `named` (a LongPath), is shown to be another
// file than the one named (see WhatTheNameTells). The last guard: LongPath already
// leaves nothing for the system to rewrite.
bool OpenedAsNamed(HANDLE file, const std::wstring& named);

// False when the folder of `full` (a LongPath) is missing or opens as
// another folder than the one named (see OpenedAsNamed).
bool FolderOpensAsNamed(const std::wstring& full);

// Whether the Windows shell can open and delete a file with this last
// element: none ending in a dot or a space, none that is a reserved device
// name (CON, PRN, AUX, NUL, COM0-9, LPT0-9, with or without an extension).
bool ShellCanOpen(const std::wstring& name);

// Where the last element of `path` starts: after its last separator or its
// drive ("C:name").
std::size_t LastElementStart(const std::wstring& path);
