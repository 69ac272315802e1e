// Linux; open file description locks where the kernel has them (3.15), process locks otherwise; /proc may be missing.
#include "file_probes.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <signal.h>
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
// that long, and the signal that would tell this process is ignored
// meanwhile, as its default would end the run.
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
  struct sigaction ignore {
  }, previous{};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGIO, &ignore, &previous);
  const bool leased = fcntl(fd, F_SETLEASE, F_RDLCK) == 0;
  const bool refused = !leased && errno == EAGAIN;
  if (leased) fcntl(fd, F_SETLEASE, F_UNLCK);
  sigaction(SIGIO, &previous, nullptr);
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
int OpenRegularForReading(int folder, const char* path, int look_flags) {
  constexpr int ReadFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  const int look = openat(folder, path, O_PATH | O_CLOEXEC | look_flags);
  if (look < 0) return -1;
  struct stat seen {
  }, opened{};
  int fd = -1;
  if (fstat(look, &seen) == 0 && S_ISREG(seen.st_mode)) {
    fd = open(ProcPathOf(look).c_str(), ReadFlags);
    if (fd < 0 && errno == ENOENT) fd = openat(folder, path, ReadFlags | look_flags);
  }
  close(look);
  if (fd >= 0 && (fstat(fd, &opened) != 0 || opened.st_dev != seen.st_dev || opened.st_ino != seen.st_ino)) {
    close(fd);
    fd = -1;
  }
  return fd;
}

bool LockedForWriting(int folder, const std::string& name) {
  const int fd = OpenRegularForReading(folder, name.c_str(), O_NOFOLLOW);
  if (fd < 0) return false;
  const bool locked = WriterSeen(fd);
  close(fd);
  return locked;
}
