// Any platform; paths in the platform's own units, compared unit by unit, never normalised.
#pragma once

#include "platform.h"

// The four units every disguised file's name ends in.
inline constexpr PathUnit DisguiseSuffix[] = {'.', 'x', 'y', 'z', 0};
inline constexpr std::size_t DisguiseSuffixLength = 4;

// True when the path ends in exactly ".xyz", unit by unit: ".XYZ" does not
// count, and ".xyz" anywhere but at the very end plays no part.
bool HasDisguiseSuffix(const WidePath& path);

// Derives a run's output path from its input path.
using NamingRule = WidePath (*)(const WidePath& input);
