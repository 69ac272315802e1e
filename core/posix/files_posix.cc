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
  signal(signal_number, SIG_DFL);
  raise(signal_number);
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
    sigprocmask(SIG_BLOCK, &blocked, &previous_);
  }
  ~CleanupSignalsBlocked() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }

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
    if (lstat(target.c_str(), &status) != 0) return true;
    return !S_ISREG(status.st_mode) || (status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
  }

  std::optional<FileHandle> CreateOutput(const WidePath& target, std::uint64_t final_size) override {
    for (int attempt = 0; attempt < 16; ++attempt) {
      WidePath path = TemporaryPathFor(target, RandomToken());
      // An interruption between the creation and the arming would leave
      // the file behind: it waits until the handler knows the name.
      CleanupSignalsBlocked blocked;
      // 0666 less the umask, as for any new file the user makes.
      const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
      if (fd < 0) {
        if (errno == EEXIST) continue;
        return std::nullopt;
      }
      ArmCleanup(path);
      temporary_path_ = std::move(path);
      if (!TryLock(fd, true)) {
        DiscardOutput(fd);
        return std::nullopt;
      }
      ReserveSpace(fd, final_size);
      return fd;
    }
    return std::nullopt;
  }

  bool WriteAll(FileHandle output, const unsigned char* from, std::size_t count) override {
    return WriteAllTo(static_cast<int>(output), from, count);
  }

  bool CommitOutput(FileHandle output, const WidePath& target) override {
    if (close(static_cast<int>(output)) == 0) {
      CleanupSignalsBlocked blocked;
      if (rename(temporary_path_.c_str(), target.c_str()) == 0) {
        DisarmCleanup();
        return true;
      }
    }
    RemoveTemporary();
    return false;
  }

  void DiscardOutput(FileHandle output) override {
    close(static_cast<int>(output));
    RemoveTemporary();
  }

 private:
  void RemoveTemporary() {
    CleanupSignalsBlocked blocked;
    unlink(temporary_path_.c_str());
    DisarmCleanup();
  }

  // The one output a run creates, by the name it has until it is committed.
  WidePath temporary_path_;

  // Claims the output's blocks in one call before the first write: on a
  // disk file system this spares each write its allocation work, about a
  // fifth of a run on ext4. On tmpfs it would only move the page allocation
  // earlier, at a cost, so it is skipped there. KEEP_SIZE leaves the file
  // empty, so a refused or partial reservation changes nothing but speed.
  static void ReserveSpace(int fd, std::uint64_t size) {
#ifdef FALLOC_FL_KEEP_SIZE
    struct statfs file_system {};
    if (size == 0 || (fstatfs(fd, &file_system) == 0 && file_system.f_type == TMPFS_MAGIC)) return;
    fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size));
#else
    (void)fd;
    (void)size;
#endif
  }
};

}  // namespace

FileSystem& SystemFileSystem() {
  static PosixFileSystem files;
  return files;
}
