// Windows 7 or later; paths in the \\?\ form; NTFS keeps named streams, Wine 8 a file named "file:stream" beside it.
#pragma once

#include <optional>
#include <string>

#include "platform.h"

// The Mark of the Web: the zone a file was downloaded from, which SmartScreen
// and Office's Protected View consult, kept in a stream of the file.

// The zone stream of the file at `path`; empty when it has none (or its file
// system has no streams). nullopt when one is there but cannot be read, held
// by another program past the wait (see RetryWhileHeld) or otherwise; then
// `failure` says why, as a failure to open the input.
std::optional<std::string> ReadZoneIdentifier(const std::wstring& path, Failure& failure);

// Gives the new file at `path` the zone stream `zone` (nothing when empty). A
// named stream is part of its file on NTFS and goes with it when the file is
// renamed. Written before the file is marked for deletion: nothing of a file
// pending deletion can be opened any more. False, `failure` set as a failure
// to create the content, when it could not be written.
bool WriteZoneIdentifier(const std::wstring& path, const std::string& zone, Failure& failure);

// Wine keeps a stream as a file of its own beside its file, which neither a
// rename nor the deletion takes along: removed by name once the file at
// `path` has been renamed or deleted. On NTFS this finds nothing, the stream
// having gone with its file.
void RemoveLeftOverZoneStream(const std::wstring& path);
