// Any platform; the image tool's profile, constant for the life of the process.
#pragma once

#include "run_sequence.h"

// cat.png -> cat.png.xyz; cat.xyz -> cat.png (a restore always ends in ".png").
WidePath RestoreAsPng(const WidePath& input);

extern const ToolProfile ImageToolProfile;
