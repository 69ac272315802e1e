// POSIX files: Linux and friends; paths are byte strings; signals may arrive at any moment.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#ifdef __linux__
#include <linux/magic.h>
#include <sys/vfs.h>
#endif
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>
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

// A lock of the given type, taken without waiting, that conflicts with both
// whole-file locks (flock) and record locks (fcntl) held by others.
bool TryLock(int fd, bool exclusive) {
  if (flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) return false;
  struct flock record {};
  record.l_type = exclusive ? F_WRLCK : F_RDLCK;
  record.l_whence = SEEK_SET;
  record.l_start = 0;
  record.l_len = 0;  // the whole file, however it grows
#ifdef F_OFD_SETLK
  if (fcntl(fd, F_OFD_SETLK, &record) == 0) return true;
  if (errno != EINVAL) return false;
#endif
  return fcntl(fd, F_SETLK, &record) == 0;
}

// True when another process holds the regular file at `path` locked for
// writing, whole-file or record lock alike: what refuses an input also
// keeps an output. Opened without following a link and without blocking,
// so a FIFO or a device put there meanwhile cannot hang the run; a file
// this process may not open for reading cannot be asked and counts as free.
bool LockedForWriting(const WidePath& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat status {};
  const bool locked = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && !TryLock(fd, false);
  close(fd);
  return locked;
}

// The folder `target` is in, as a path to open.
WidePath FolderOf(const WidePath& target) {
  const std::size_t slash = target.rfind('/');
  return slash == WidePath::npos ? WidePath(".") : target.substr(0, slash + 1);
}

// The name under which /proc shows the file open as `fd`, even unnamed.
std::string ProcPathOf(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

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
    // Non-blocking so that a FIFO or a device cannot hang the open.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || !TryLock(fd, false)) {
      close(fd);
      return std::nullopt;
    }
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return OpenedInput{fd, static_cast<std::uint64_t>(status.st_size)};
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
    return got == 0;
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
    if (replaces) KeepOwnerAndMode(fd, replaced);
    if (!TryLock(fd, true) || !ReserveSpace(fd, final_size)) {
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
  // not carried over, as a write by hand would clear them.
  static void KeepOwnerAndMode(int fd, const struct stat& replaced) {
    if (fchown(fd, replaced.st_uid, replaced.st_gid) != 0 && fchown(fd, static_cast<uid_t>(-1), replaced.st_gid) != 0) {
      // Neither is this process's to set: the new content stays its own.
    }
    fchmod(fd, replaced.st_mode & 0777);
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
