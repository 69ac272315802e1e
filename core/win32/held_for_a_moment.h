// Windows 7 or later; a file refused to this program by another that holds it, on one thread.
#pragma once

#include "windows_headers.h"

// Whether a call refused with `error` may pass a moment later: scanners,
// indexers, previews and sync clients hold a file briefly. `target_attributes`
// is what GetFileAttributesW gives for the file just after
// (INVALID_FILE_ATTRIBUTES when it cannot tell, or is not asked). Replacing a
// file that is open gives "access denied", as a read-only file or a folder
// does for good.
bool MeansHeldForAMoment(DWORD error, DWORD target_attributes);

// Tries a refused call again for about two seconds from its first attempt,
// while the refusal means the file is held for a moment.
class RetryWhileHeld {
 public:
  RetryWhileHeld();
  // After a pause, true when the call refused with `error` should be made
  // again; false at once when the refusal is for good or the time is up.
  bool Again(DWORD error, DWORD target_attributes = INVALID_FILE_ATTRIBUTES) const;

 private:
  ULONGLONG deadline_;
};
