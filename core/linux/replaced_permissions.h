// Linux; access ACLs as the kernel stores them (system.posix_acl_access); /proc to read a file not opened for reading.
#pragma once

#include <sys/stat.h>

#include "platform.h"

// Gives the new content open as `fd` the owner (where this process may set
// it), permission bits and access ACL of the regular file `target`, whose
// status was `replaced`, reached by its name in `folder` (the folder of
// `target`, opened). False, `failure` set, when the ACL could not be carried
// over: the new content would be more open than the file it replaces.
bool KeepReplacedPermissions(int fd, int folder, const WidePath& target, const struct stat& replaced, Failure& failure);
