#pragma once

#include <cstdint>

#include "platform.h"

// The path, in the folder of `target`, of the file a run writes before it
// moves the result over `target`. It names the target it is for and says
// what it is ("...~<token as 8 hex digits>.part"), and a random `token`
// keeps concurrent runs apart.
// Its final element is never longer than the target's once that is longer
// than ShortestTemporaryName, so a target at the file system's name-length
// limit still gets a temporary file.
WidePath TemporaryPathFor(const WidePath& target, std::uint32_t token);

inline constexpr std::size_t ShortestTemporaryName = 27;
