// Linux; a named temporary file is locked by its run before its first write, and by nothing else.
#pragma once

#include "platform.h"

// Removes, from the opened `folder`, what earlier runs for `target` left
// there and no live run holds: names of exactly the form a run gives its
// own named temporary file (IsTemporaryNameFor), nothing else.
void ClearLeftovers(int folder, const WidePath& target);
