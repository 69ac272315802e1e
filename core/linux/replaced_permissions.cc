// Linux; access ACLs as the kernel stores them (system.posix_acl_access); /proc to read a file not opened for reading.
#include "replaced_permissions.h"

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>

#include "file_probes.h"

namespace {

// The replaced file's access ACL, on the new content: a file's group bits
// are its ACL's mask, so without the ACL its owning group would get what
// the mask allows, and the users and groups it names would lose their
// access. Where it had none, the new content keeps none either (a default
// ACL of the folder would otherwise name others). A file system without
// ACLs has nothing to carry. The old file is read through /proc from a
// look at it in the run's folder, which needs no right to read it.
bool KeepAccessAcl(int fd, int folder, const std::string& name) {
  static const char Name[] = "system.posix_acl_access";
  const int old = openat(folder, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (old < 0) return false;
  const std::string old_path = ProcPathOf(old);
  std::string acl;
  ssize_t size = getxattr(old_path.c_str(), Name, nullptr, 0);
  if (size >= 0) {
    acl.resize(static_cast<std::size_t>(size));
    size = getxattr(old_path.c_str(), Name, acl.data(), acl.size());
  }
  const int error = errno;
  close(old);
  if (size < 0 && error != ENODATA) return true;
  if (size < 0) return fremovexattr(fd, Name) == 0 || errno == ENODATA || errno == EOPNOTSUPP;
  return fsetxattr(fd, Name, acl.data(), static_cast<std::size_t>(size), 0) == 0;
}

}  // namespace

// The owner and group where this process may set them (root may; a user
// may keep a group of theirs), then the permission bits, which a change of
// owner would otherwise clear in part. Set-user and set-group bits are not
// carried over, as a write by hand would clear them.
bool KeepReplacedPermissions(int fd, int folder, const std::string& name, const struct stat& replaced) {
  if (fchown(fd, replaced.st_uid, replaced.st_gid) != 0 && fchown(fd, static_cast<uid_t>(-1), replaced.st_gid) != 0) {
    // Neither is this process's to set: the new content stays its own.
  }
  const bool kept = KeepAccessAcl(fd, folder, name);
  fchmod(fd, replaced.st_mode & 0777);
  return kept;
}
