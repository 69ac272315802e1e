#pragma once

#include <string_view>

#include "platform.h"

// The path, in the folder of `target`, of the file a run writes before it
// moves the result over `target`. It names the target it is for and says
// what it is ("...~<token>.part"), and `token` keeps concurrent runs apart.
// Its final element is never longer than the target's once that is longer
// than ShortestTemporaryName, so a target at the file system's name-length
// limit still gets a temporary file.
WidePath TemporaryPathFor(const WidePath& target, std::string_view token);

inline constexpr std::size_t TemporaryTokenLength = 8;
inline constexpr std::size_t ShortestTemporaryName = 27;
