// Any platform; names in the platform's units: bytes (UTF-8 where valid) on Linux, UTF-16 on Windows.
#pragma once

#include <cstdint>
#include <vector>

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

// The folder of an output, as far as clearing what earlier runs left in it
// needs it. Each platform says there what it can tell of a file in use.
class LeftoverFolder {
 public:
  virtual ~LeftoverFolder() = default;
  // The names in the folder; none when it cannot be listed.
  virtual std::vector<WidePath> Names() = 0;
  // Removes the file `name` only if it is a regular file, reached without
  // following a link or a reparse point, that no live run holds, as far as
  // the system can tell (where it cannot tell a run's file just created
  // from an abandoned one, only a file with content); otherwise leaves it.
  virtual void RemoveIfAbandoned(const WidePath& name) = 0;
};

// Removes what a run for `target` that was cut off (a kill, a crash, a
// power cut, a pulled stick) left in the target's folder: only names of
// exactly the form TemporaryPathFor gives for `target`, and of those only
// what the folder finds abandoned.
void ClearLeftovers(const WidePath& target, LeftoverFolder& folder);
