// Linux; access ACLs as the kernel stores them (system.posix_acl_access); /proc to read a file not opened for reading.
#include "replaced_permissions.h"

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "file_probes.h"
#include "owned_handle.h"

namespace {

// The final element of `path`, its name in its folder.
std::string NameOf(const WidePath& path) { return path.substr(path.rfind('/') + 1); }

// The replaced file's access ACL, on the new content: a file's group bits
// are its ACL's mask, so without the ACL its owning group would get what
// the mask allows, and the users and groups it names would lose their
// access. Where it had none, the new content keeps none either (a default
// ACL of the folder would otherwise name others). A file system without
// ACLs has nothing to carry. The old file is read through /proc from a
// look at it in the run's folder, which needs no right to read it.
bool KeepAccessAcl(int fd, int folder, const WidePath& target, Failure& failure) {
  static const char Name[] = "system.posix_acl_access";
  const auto failed = [&failure, &target](int error) {
    failure = SystemFailure(Step::KeepPermissions, target, static_cast<std::uint32_t>(error));
    return false;
  };
  const OwnedDescriptor old(openat(folder, NameOf(target).c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (!old) return failed(errno);
  const std::string old_path = ProcPathOf(old.get());
  std::string acl;
  ssize_t size = getxattr(old_path.c_str(), Name, nullptr, 0);
  if (size >= 0) {
    acl.resize(static_cast<std::size_t>(size));
    size = getxattr(old_path.c_str(), Name, acl.data(), acl.size());
  }
  if (size < 0 && errno != ENODATA) return true;
  if (size < 0) return fremovexattr(fd, Name) == 0 || errno == ENODATA || errno == EOPNOTSUPP || failed(errno);
  return fsetxattr(fd, Name, acl.data(), static_cast<std::size_t>(size), 0) == 0 || failed(errno);
}

}  // namespace

// The owner and group where this process may set them (root may; a user
// may keep a group of theirs), then the permission bits, which a change of
// owner would otherwise clear in part. Set-user and set-group bits are not
// carried over, as a write by hand would clear them.
bool KeepReplacedPermissions(int fd, int folder, const WidePath& target, const struct stat& replaced,
                             Failure& failure) {
  if (fchown(fd, replaced.st_uid, replaced.st_gid) != 0 && fchown(fd, static_cast<uid_t>(-1), replaced.st_gid) != 0) {
    // Neither is this process's to set: the new content stays its own.
  }
  const bool kept = KeepAccessAcl(fd, folder, target, failure);
  fchmod(fd, replaced.st_mode & 0777);
  return kept;
}
