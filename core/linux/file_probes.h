// Linux; open file description locks where the kernel has them (3.15), process locks otherwise; /proc may be missing.
#pragma once

#include <string>

#include "owned_handle.h"
#include "platform.h"

// The name under which /proc shows the file open as `fd`, even unnamed.
std::string ProcPathOf(int fd);

enum class LockAnswer { Taken, Held, CannotBeAsked };

// A lock of the given type, asked without waiting, that conflicts with both
// whole-file locks (flock) and record locks (fcntl) held by others: Taken
// when both were granted, Held when another process holds a conflicting one,
// CannotBeAsked when neither told (no lock service on a network mount, a
// file system without locks).
LockAnswer AskLock(int fd, bool exclusive);

// True when another process holds the file open as `fd` locked or open for
// writing, as far as the system can tell; a file that cannot be asked
// counts as free. Only a question: SIGIO, which the lease asked tells of a
// writer by, is ignored by SetSignalDispositions (signals.h), called first.
bool WriterSeen(int fd);

// Opens the regular file at `path` (relative to `folder`) for reading
// without ever opening anything else; `look_flags` (O_NOFOLLOW) go to the
// look at the name. Owns nothing when it is not a regular file or cannot be
// opened: `failure` then tells why, as the open of an input.
OwnedDescriptor OpenRegularForReading(int folder, const char* path, int look_flags, Failure& failure);

// True when another process holds the regular file `name` in `folder`
// locked or open for writing, as far as the system can tell: what refuses
// an input also keeps an output. A link is not followed; a file this
// process may not open for reading cannot be asked and counts as free.
bool LockedForWriting(int folder, const std::string& name);
