// POSIX files: Linux and friends; paths are byte strings; signals may arrive at any moment.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#ifdef __linux__
#include <linux/magic.h>
#include <sys/vfs.h>
#endif
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <initializer_list>
#include <string>

#include "platform.h"
#include "temporary_name.h"
#include "write_all.h"

namespace {

// The temporary file to remove if the process is interrupted; the handler
// only reads it, and only while it is set.
std::atomic<const char*> interrupted_cleanup{nullptr};
std::string armed_path;
constexpr int CleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

void RemoveTemporaryAndDie(int signal_number) {
  if (const char* path = interrupted_cleanup.exchange(nullptr)) unlink(path);
  // Neither fails for a signal number the handler was installed for.
  static_cast<void>(signal(signal_number, SIG_DFL));
  static_cast<void>(raise(signal_number));
}

void InstallCleanupHandlers() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  for (int signal_number : CleanupSignals) {
    struct sigaction previous {};
    sigaction(signal_number, nullptr, &previous);
    if (previous.sa_handler == SIG_IGN) continue;  // e.g. started under nohup
    struct sigaction action {};
    action.sa_handler = RemoveTemporaryAndDie;
    sigemptyset(&action.sa_mask);
    sigaction(signal_number, &action, nullptr);
  }
}

// Keeps the cleanup signals out while the temporary file changes hands, so
// the handler never removes a name that a rename just gave away.
class CleanupSignalsBlocked {
 public:
  CleanupSignalsBlocked() {
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int signal_number : CleanupSignals) sigaddset(&blocked, signal_number);
    pthread_sigmask(SIG_BLOCK, &blocked, &previous_);
  }
  ~CleanupSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

 private:
  sigset_t previous_;
};

void ArmCleanup(const WidePath& path) {
  CleanupSignalsBlocked blocked;
  armed_path = path;
  interrupted_cleanup.store(armed_path.c_str());
  InstallCleanupHandlers();
}

void DisarmCleanup() { interrupted_cleanup.store(nullptr); }

// The answers of a lock request that mean another process holds the file.
// Any other failure (no lock service on a network mount, a file system
// without locks) means the lock cannot be asked, and the run goes on.
// (EWOULDBLOCK is EAGAIN on Linux, but need not be elsewhere.)
bool HeldElsewhere(int error) {
  for (const int held : {EWOULDBLOCK, EAGAIN, EACCES}) {
    if (error == held) return true;
  }
  return false;
}

// A lock of the given type, taken without waiting, that conflicts with both
// whole-file locks (flock) and record locks (fcntl) held by others. False
// only when another process holds a conflicting one.
bool TryLock(int fd, bool exclusive) {
  if (flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0 && HeldElsewhere(errno)) return false;
  struct flock record {};
  record.l_type = exclusive ? F_WRLCK : F_RDLCK;
  record.l_whence = SEEK_SET;
  record.l_start = 0;
  record.l_len = 0;  // the whole file, however it grows
#ifdef F_OFD_SETLK
  if (fcntl(fd, F_OFD_SETLK, &record) == 0) return true;
  if (errno != EINVAL) return !HeldElsewhere(errno);
#endif
  return fcntl(fd, F_SETLK, &record) == 0 || !HeldElsewhere(errno);
}

// True when some process holds the file open for writing, as far as the
// system can tell: Linux refuses a read lease then. Only the file's owner
// (or a process with CAP_LEASE) may ask, and only on a file system with
// leases; elsewhere there is no answer and the file counts as free. The
// lease is given back at once; a writer opening the file meanwhile waits
// that long, and the signal that would tell this process is ignored
// meanwhile, as its default would end the run.
bool OpenForWritingElsewhere(int fd) {
#if defined(__linux__) && defined(F_SETLEASE)
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
#else
  (void)fd;
  return false;
#endif
}

// The name under which /proc shows the file open as `fd`, even unnamed.
std::string ProcPathOf(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// Opens the regular file at `path` for reading without ever opening
// anything else: the name is looked at first (O_PATH opens nothing), and
// only a regular file is then opened, through /proc, so that it is the
// very file looked at. Opening a device would run its driver's open (a
// tape rewinds, a watchdog arms); a FIFO's would wake its writer. Without
// /proc the name is opened again and must still be that file. -1 when it
// is not a regular file or cannot be opened.
int OpenRegularForReading(const char* path, int look_flags) {
  constexpr int ReadFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  const int look = open(path, O_PATH | O_CLOEXEC | look_flags);
  if (look < 0) return -1;
  struct stat seen {
  }, opened{};
  int fd = -1;
  if (fstat(look, &seen) == 0 && S_ISREG(seen.st_mode)) {
    fd = open(ProcPathOf(look).c_str(), ReadFlags);
    if (fd < 0 && errno == ENOENT) fd = open(path, ReadFlags | look_flags);
  }
  close(look);
  if (fd >= 0 && (fstat(fd, &opened) != 0 || opened.st_dev != seen.st_dev || opened.st_ino != seen.st_ino)) {
    close(fd);
    fd = -1;
  }
  return fd;
}

// True when another process holds the regular file at `path` locked or
// open for writing, as far as the system can tell: what refuses an input
// also keeps an output. A link is not followed; a file this process may
// not open for reading cannot be asked and counts as free.
bool LockedForWriting(const WidePath& path) {
  const int fd = OpenRegularForReading(path.c_str(), O_NOFOLLOW);
  if (fd < 0) return false;
  const bool locked = !TryLock(fd, false) || OpenForWritingElsewhere(fd);
  close(fd);
  return locked;
}

// The folder `target` is in, as a path to open.
WidePath FolderOf(const WidePath& target) {
  const std::size_t slash = target.rfind('/');
  return slash == WidePath::npos ? WidePath(".") : target.substr(0, slash + 1);
}

std::uint32_t RandomToken() {
  std::uint32_t token = 0;
  if (getrandom(&token, sizeof token, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof token)) {
    // Uniqueness is what matters here, and O_EXCL guards it anyway.
    static std::uint32_t counter = 0;
    token = (static_cast<std::uint32_t>(getpid()) << 16) ^ ++counter ^ static_cast<std::uint32_t>(time(nullptr));
  }
  return token;
}

class PosixFileSystem final : public FileSystem {
 public:
  std::optional<OpenedInput> OpenInput(const WidePath& path) override {
    const int fd = OpenRegularForReading(path.c_str(), 0);
    if (fd < 0) return std::nullopt;
    if (!TryLock(fd, false) || OpenForWritingElsewhere(fd) || fstat(fd, &input_status_) != 0) {
      close(fd);
      return std::nullopt;
    }
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return OpenedInput{fd, static_cast<std::uint64_t>(input_status_.st_size)};
  }

  bool ReadExactly(FileHandle input, unsigned char* into, std::size_t count) override {
    while (count > 0) {
      const ssize_t got = read(static_cast<int>(input), into, count);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      into += got;
      count -= static_cast<std::size_t>(got);
    }
    return true;
  }

  bool AtEndOfInput(FileHandle input) override {
    unsigned char extra;
    ssize_t got;
    while ((got = read(static_cast<int>(input), &extra, 1)) < 0 && errno == EINTR) {
    }
    return got == 0 && UnchangedSinceOpened(static_cast<int>(input));
  }

  void CloseInput(FileHandle input) override { close(static_cast<int>(input)); }

  bool MayReplace(const WidePath& target) override {
    struct stat status {};
    if (lstat(target.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return true;
    // A file without write bits is kept even when root runs the tool; one
    // the user could not write by hand (another user's, in a folder anyone
    // may write) is kept too, though the rename would be allowed.
    if ((status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 ||
        faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0) {
      return false;
    }
    return !LockedForWriting(target);
  }

  std::optional<FileHandle> CreateOutput(const WidePath& target, std::uint64_t final_size) override {
    // A replaced file keeps its permission bits, and is never more open
    // than that while it is written; a new one gets 0666 less the umask.
    struct stat replaced {};
    const bool replaces = lstat(target.c_str(), &replaced) == 0 && S_ISREG(replaced.st_mode);
    const mode_t mode = replaces ? replaced.st_mode & 0777 : 0666;
    int fd = OpenUnnamed(target, mode);
    if (fd < 0) fd = OpenNamed(target, mode);
    if (fd < 0) return std::nullopt;
    if ((replaces && !KeepOwnerAndMode(fd, target, replaced)) || !TryLock(fd, true) || !ReserveSpace(fd, final_size)) {
      DiscardOutput(fd);
      return std::nullopt;
    }
    return fd;
  }

  bool WriteAll(FileHandle output, const unsigned char* from, std::size_t count) override {
    return WriteAllTo(static_cast<int>(output), from, count);
  }

  bool CommitOutput(FileHandle output, const WidePath& target) override {
    const int fd = static_cast<int>(output);
    // Again, as late as possible: the file may have changed hands or been
    // locked while this run worked.
    if (!MayReplace(target)) {
      DiscardOutput(output);
      return false;
    }
    CleanupSignalsBlocked blocked;
    if (temporary_path_.empty() && !GiveTemporaryName(fd, target)) {
      close(fd);
      return false;
    }
    if (close(fd) == 0 && rename(temporary_path_.c_str(), target.c_str()) == 0) {
      DisarmCleanup();
      temporary_path_.clear();
      return true;
    }
    RemoveTemporary();
    return false;
  }

  void DiscardOutput(FileHandle output) override {
    close(static_cast<int>(output));
    if (!temporary_path_.empty()) RemoveTemporary();
  }

 private:
  // False when the input was written to while it was read: a program that
  // rewrites bytes in place leaves the size as it was, but not the times
  // of modification and change. The change time also moves when the file
  // loses a name (a rename over it, a deletion), which leaves its bytes as
  // they were: it counts only while the link count stays.
  bool UnchangedSinceOpened(int input) const {
    struct stat now {};
    const struct stat& then = input_status_;
    return fstat(input, &now) == 0 && now.st_size == then.st_size && now.st_mtim.tv_sec == then.st_mtim.tv_sec &&
           now.st_mtim.tv_nsec == then.st_mtim.tv_nsec &&
           (now.st_nlink != then.st_nlink ||
            (now.st_ctim.tv_sec == then.st_ctim.tv_sec && now.st_ctim.tv_nsec == then.st_ctim.tv_nsec));
  }

  // What the input's status was when it was opened; a run opens one.
  struct stat input_status_ {};

  void RemoveTemporary() {
    CleanupSignalsBlocked blocked;
    unlink(temporary_path_.c_str());
    DisarmCleanup();
    temporary_path_.clear();
  }

  // An output with no name in the target's folder: whatever ends the
  // process before it is named (a kill, a crash, a power cut) leaves
  // nothing, the kernel sees to it. -1 where the file system or the kernel
  // cannot make one, or /proc is missing to name it later.
  static int OpenUnnamed(const WidePath& target, mode_t mode) {
#ifdef O_TMPFILE
    const WidePath folder = FolderOf(target);
    const int fd = open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    if (fd < 0) return -1;
    if (access(ProcPathOf(fd).c_str(), F_OK) != 0) {
      close(fd);
      return -1;
    }
    return fd;
#else
    (void)target;
    (void)mode;
    return -1;
#endif
  }

  // The named temporary file, removed on failure and on the usual signals;
  // only a kill leaves it behind.
  int OpenNamed(const WidePath& target, mode_t mode) {
    for (int attempt = 0; attempt < 16; ++attempt) {
      WidePath path = TemporaryPathFor(target, RandomToken());
      // An interruption between the creation and the arming would leave
      // the file behind: it waits until the handler knows the name.
      CleanupSignalsBlocked blocked;
      const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
      if (fd < 0) {
        if (errno == EEXIST) continue;
        return -1;
      }
      ArmCleanup(path);
      temporary_path_ = std::move(path);
      return fd;
    }
    return -1;
  }

  // Links the complete unnamed output under a temporary name beside the
  // target, armed for removal, so that a rename can put it in place in one
  // step. Called with the cleanup signals blocked.
  bool GiveTemporaryName(int fd, const WidePath& target) {
    const std::string source = ProcPathOf(fd);
    for (int attempt = 0; attempt < 16; ++attempt) {
      WidePath path = TemporaryPathFor(target, RandomToken());
      if (linkat(AT_FDCWD, source.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        ArmCleanup(path);
        temporary_path_ = std::move(path);
        return true;
      }
      if (errno != EEXIST) return false;
    }
    return false;
  }

  // The owner and group where this process may set them (root may; a user
  // may keep a group of theirs), then the permission bits, which a change of
  // owner would otherwise clear in part. Set-user and set-group bits are
  // not carried over, as a write by hand would clear them. False when the
  // access ACL could not be carried over: the new content would be more
  // open than the file it replaces.
  static bool KeepOwnerAndMode(int fd, const WidePath& target, const struct stat& replaced) {
    if (fchown(fd, replaced.st_uid, replaced.st_gid) != 0 && fchown(fd, static_cast<uid_t>(-1), replaced.st_gid) != 0) {
      // Neither is this process's to set: the new content stays its own.
    }
    const bool kept = KeepAccessAcl(fd, target);
    fchmod(fd, replaced.st_mode & 0777);
    return kept;
  }

  // The replaced file's access ACL, on the new content: a file's group bits
  // are its ACL's mask, so without the ACL its owning group would get what
  // the mask allows, and the users and groups it names would lose their
  // access. Where it had none, the new content keeps none either (a default
  // ACL of the folder would otherwise name others). A file system without
  // ACLs has nothing to carry.
  static bool KeepAccessAcl(int fd, const WidePath& target) {
    static const char Name[] = "system.posix_acl_access";
    const ssize_t size = lgetxattr(target.c_str(), Name, nullptr, 0);
    if (size < 0 && errno != ENODATA) return true;
    if (size < 0) return fremovexattr(fd, Name) == 0 || errno == ENODATA || errno == EOPNOTSUPP;
    std::string acl(static_cast<std::size_t>(size), '\0');
    const ssize_t got = lgetxattr(target.c_str(), Name, acl.data(), acl.size());
    return got >= 0 && fsetxattr(fd, Name, acl.data(), static_cast<std::size_t>(got), 0) == 0;
  }

  // The one output a run creates, by the name it has until it is committed;
  // empty while it has none.
  WidePath temporary_path_;

  // Claims the output's blocks in one call before the first write: on a
  // disk file system this spares each write its allocation work, about a
  // fifth of a run on ext4. False when the file system says the space is
  // not there, so a run that cannot fit fails before its first write; one
  // that cannot reserve says nothing, and the writes find out. KEEP_SIZE
  // leaves the file empty, so a partial reservation changes nothing but
  // speed. On tmpfs a reservation only allocates the pages earlier, a few
  // per cent of a run (bench/), so there the free room is asked instead.
  static bool ReserveSpace(int fd, std::uint64_t size) {
    if (size == 0) return true;
#ifdef __linux__
    struct statfs file_system {};
    if (fstatfs(fd, &file_system) == 0 && file_system.f_type == TMPFS_MAGIC) {
      // No blocks at all: mounted without a size limit.
      return file_system.f_blocks == 0 ||
             static_cast<std::uint64_t>(file_system.f_bavail) * static_cast<std::uint64_t>(file_system.f_bsize) >= size;
    }
#endif
#ifdef FALLOC_FL_KEEP_SIZE
    int result;
    while ((result = fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size))) != 0 && errno == EINTR) {
    }
    return result == 0 || (errno != ENOSPC && errno != EDQUOT && errno != EFBIG);
#else
    (void)fd;
    return true;
#endif
  }
};

}  // namespace

FileSystem& SystemFileSystem() {
  static PosixFileSystem files;
  return files;
}
