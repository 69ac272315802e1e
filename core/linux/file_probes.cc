// Linux; open file description locks where the kernel has them (3.15), process locks otherwise; /proc may be missing.
#include "file_probes.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace {

// The answers of a lock request that mean another process holds the file.
// Any other failure means the lock cannot be asked, and the run goes on.
bool HeldElsewhere(int error) { return error == EAGAIN || error == EACCES; }

// True when some process holds the file open for writing, as far as the
// system can tell: Linux refuses a read lease then. Only the file's owner
// (or a process with CAP_LEASE) may ask, and only on a file system with
// leases; elsewhere there is no answer and the file counts as free. The
// lease is given back at once; a writer opening the file meanwhile waits
// that long.
bool OpenForWritingElsewhere(int fd) {
  // NFS and SMB refuse a lease whenever the server has given this client no
  // delegation or oplock on the file, writer or not: a refusal tells nothing.
  struct statfs file_system {};
  if (fstatfs(fd, &file_system) != 0) return false;
  switch (static_cast<std::uint32_t>(file_system.f_type)) {
    case NFS_SUPER_MAGIC:
    case SMB_SUPER_MAGIC:
    case CIFS_SUPER_MAGIC:
    case SMB2_SUPER_MAGIC:
      return false;
    default:
      break;
  }
  const bool leased = fcntl(fd, F_SETLEASE, F_RDLCK) == 0;
  const bool refused = !leased && errno == EAGAIN;
  if (leased) fcntl(fd, F_SETLEASE, F_UNLCK);
  return refused;
}

}  // namespace

std::string ProcPathOf(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

LockAnswer AskLock(int fd, bool exclusive) {
  bool taken = true;
  if (flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
    if (HeldElsewhere(errno)) return LockAnswer::Held;
    taken = false;
  }
  struct flock record {};
  record.l_type = exclusive ? F_WRLCK : F_RDLCK;
  record.l_whence = SEEK_SET;
  record.l_start = 0;
  record.l_len = 0;  // the whole file, however it grows
  // A kernel before 3.15 knows no open file description locks.
  int result = fcntl(fd, F_OFD_SETLK, &record);
  if (result != 0 && errno == EINVAL) result = fcntl(fd, F_SETLK, &record);
  if (result != 0) {
    if (HeldElsewhere(errno)) return LockAnswer::Held;
    taken = false;
  }
  return taken ? LockAnswer::Taken : LockAnswer::CannotBeAsked;
}

bool WriterSeen(int fd) { return AskLock(fd, false) == LockAnswer::Held || OpenForWritingElsewhere(fd); }

// The name is looked at first (O_PATH opens nothing), and only a regular
// file is then opened, through /proc, so that it is the very file looked at.
// Opening a device would run its driver's open (a tape rewinds, a watchdog
// arms); a FIFO's would wake its writer. Without /proc the name is opened
// again and must still be that file.
OwnedDescriptor OpenRegularForReading(int folder, const char* path, int look_flags, Failure& failure) {
  constexpr int ReadFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  const auto failed = [&failure, path](int error) {
    failure = SystemFailure(Step::OpenInput, path, static_cast<std::uint32_t>(error));
    return OwnedDescriptor();
  };
  const OwnedDescriptor look(openat(folder, path, O_PATH | O_CLOEXEC | look_flags));
  if (!look) return failed(errno);
  struct stat seen {
  }, opened{};
  if (fstat(look.get(), &seen) != 0) return failed(errno);
  if (!S_ISREG(seen.st_mode)) {
    failure = RuleFailure(Step::OpenInput, path, u"not a regular file");
    return OwnedDescriptor();
  }
  OwnedDescriptor fd(open(ProcPathOf(look.get()).c_str(), ReadFlags));
  if (!fd && errno == ENOENT) fd = OwnedDescriptor(openat(folder, path, ReadFlags | look_flags));
  if (!fd || fstat(fd.get(), &opened) != 0) return failed(errno);
  if (opened.st_dev != seen.st_dev || opened.st_ino != seen.st_ino) {
    failure = RuleFailure(Step::OpenInput, path, u"another file than the one looked at was opened");
    return OwnedDescriptor();
  }
  return fd;
}

bool LockedForWriting(int folder, const std::string& name) {
  Failure ignored;  // a file that cannot be opened cannot be asked
  const OwnedDescriptor fd = OpenRegularForReading(folder, name.c_str(), O_NOFOLLOW, ignored);
  return fd && WriterSeen(fd.get());
}
