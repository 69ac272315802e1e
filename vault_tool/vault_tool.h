// Any platform; the vault tool's profile, constant for the life of the process.
#pragma once

#include "run_sequence.h"

// clip.mp4 -> clip.mp4.xyz; clip.mp4.xyz -> clip.mp4 (the name it had).
WidePath StripOnly(const WidePath& input);

extern const ToolProfile VaultToolProfile;
