// Any platform; paths in the platform's own units, compared unit by unit, never normalised.
#include "disguise_suffix.h"

bool HasDisguiseSuffix(const WidePath& path) {
  return path.size() >= DisguiseSuffixLength &&
         path.compare(path.size() - DisguiseSuffixLength, DisguiseSuffixLength, DisguiseSuffix) == 0;
}
