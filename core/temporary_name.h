#pragma once

#include <cstdint>

#include "platform.h"

// The path, in the folder of `target`, of the file a run writes before it
// moves the result over `target`. It names the target it is for and says
// what it is ("...~<token as 8 hex digits>.part"), and a random `token`
// keeps concurrent runs apart.
// It is a valid name wherever the target's is: its stem is cut between
// characters, never inside one, and once the target's name has more than
// ShortestTemporaryName characters it is never longer, in bytes or in UTF-16
// units, so a target at the file system's name-length limit still gets a
// temporary file.
WidePath TemporaryPathFor(const WidePath& target, std::uint32_t token);

// True when `name`, a name in the folder of `target`, is exactly what
// TemporaryPathFor gives for `target` with some token: what an earlier run
// for the same output may have left.
bool IsTemporaryNameFor(const WidePath& target, const WidePath& name);

inline constexpr std::size_t ShortestTemporaryName = 27;
