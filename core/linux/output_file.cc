// Linux 3.11 or later (O_TMPFILE; where a file system refuses it, a named file); /proc to name an unnamed file.
#include "output_file.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <string>
#include <utility>

#include "file_probes.h"
#include "leftovers.h"
#include "replaced_permissions.h"
#include "signal_cleanup.h"
#include "temporary_name.h"
#include "write_all.h"

namespace {

// The folder `target` is in, as a path to open, and its final element.
WidePath FolderOf(const WidePath& target) {
  const std::size_t slash = target.rfind('/');
  return slash == WidePath::npos ? WidePath(".") : target.substr(0, slash + 1);
}
std::string NameOf(const WidePath& path) { return path.substr(path.rfind('/') + 1); }

// True when the process's file size limit leaves room for `size` bytes. A
// write past it then fails like one to a full disk, rather than ending the
// process.
bool UnderSizeLimit(std::uint64_t size) {
  static_cast<void>(std::signal(SIGXFSZ, SIG_IGN));
  struct rlimit limit {};
  return getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || size <= limit.rlim_cur;
}

class LinuxOutputFile final : public OutputFile {
 public:
  // Takes over `folder`, the opened folder of `target`.
  LinuxOutputFile(int folder, const WidePath& target) : target_(target), name_(NameOf(target)) {
    temporary_.folder = folder;
  }
  ~LinuxOutputFile() override {
    if (fd_ >= 0) close(fd_);
    if (!temporary_.name.empty()) {
      SignalsBlocked blocked;
      unlinkat(temporary_.folder, temporary_.name.c_str(), 0);
      DisarmCleanup();
      temporary_.name.clear();
    }
    close(temporary_.folder);
  }
  LinuxOutputFile(const LinuxOutputFile&) = delete;
  LinuxOutputFile& operator=(const LinuxOutputFile&) = delete;

  // Makes the new content for `size` bytes, once the target may be
  // replaced; false when refused or when it could not be made.
  bool Create(std::uint64_t size) {
    struct stat replaced {};
    if (!MayReplace(replaced) || !UnderSizeLimit(size)) return false;
    // A replaced file keeps its permission bits, and is never more open
    // than that while it is written; a new one gets 0666 less the umask.
    const bool keeps = replaces_ && S_ISREG(replaced.st_mode);
    const mode_t mode = keeps ? replaced.st_mode & 0777 : 0666;
    fd_ = OpenUnnamed(mode);
    if (fd_ < 0) fd_ = OpenNamed(mode);
    return fd_ >= 0 && (!keeps || KeepReplacedPermissions(fd_, folder(), name_, replaced)) &&
           AskLock(fd_, true) != LockAnswer::Held && ReserveSpace(size);
  }

  bool WriteAll(const unsigned char* from, std::size_t count) override {
    if (!WriteAllTo(fd_, from, count)) return false;
    written_ += count;
    if (replaces_) SendToDisk();
    return true;
  }

  bool Commit(std::unique_ptr<InputFile> input) override {
    input.reset();
    // Again, as late as possible: the file may have changed hands or been
    // locked while this run worked.
    struct stat status {};
    if (!MayReplace(status)) return false;
    // What the name held must give way only to content on the disk: the
    // rename is journalled at once, the data written back much later, and a
    // crash in between would leave the name on zeros. A new name is not
    // waited for: a crash can only lose what did not exist before.
    if (replaces_ && fdatasync(fd_) != 0) return false;
    SignalsBlocked blocked;
    const bool named = !temporary_.name.empty() || GiveTemporaryName();
    const bool committed = close(std::exchange(fd_, -1)) == 0 && named &&
                           renameat(folder(), temporary_.name.c_str(), folder(), name_.c_str()) == 0;
    if (committed) {
      DisarmCleanup();
      temporary_.name.clear();
    }
    return committed;
  }

 private:
  int folder() const { return temporary_.folder; }

  // The look at the target before its content is made and again before it
  // is replaced: true when whatever is there (not followed if it is a link)
  // may be replaced by this run. `replaces_` and `status` tell what is there.
  bool MayReplace(struct stat& status) {
    replaces_ = fstatat(folder(), name_.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
    if (!replaces_ || !S_ISREG(status.st_mode)) return true;
    // A file without write bits is kept even when root runs the tool; one
    // the user could not write by hand (another user's, in a folder anyone
    // may write) is kept too, though the rename would be allowed.
    return (status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0 &&
           faccessat(folder(), name_.c_str(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) == 0 &&
           !LockedForWriting(folder(), name_);
  }

  // An output with no name in the target's folder: whatever ends the
  // process before it is named (a kill, a crash, a power cut) leaves
  // nothing, the kernel sees to it. -1 where the file system or the kernel
  // cannot make one, or /proc is missing to name it later.
  int OpenUnnamed(mode_t mode) const {
    const int fd = openat(folder(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    if (fd < 0) return -1;
    if (access(ProcPathOf(fd).c_str(), F_OK) != 0) {
      close(fd);
      return -1;
    }
    return fd;
  }

  // The named temporary file (exFAT, FAT, NFS, FUSE), removed on failure
  // and on every signal that ends the process; only a kill, a crash or a
  // lost device leaves it behind, and the next run for the same output
  // clears it.
  int OpenNamed(mode_t mode) {
    LinuxLeftoverFolder leftovers(folder());
    ClearLeftovers(target_, leftovers);
    for (int attempt = 0; attempt < 16; ++attempt) {
      std::string name = NameOf(TemporaryPathFor(target_, RandomToken()));
      // An interruption between the creation and the arming would leave
      // the file behind: it waits until the handler knows the name.
      SignalsBlocked blocked;
      const int fd = openat(folder(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
      if (fd < 0) {
        if (errno == EEXIST) continue;
        return -1;
      }
      temporary_.name = std::move(name);
      ArmCleanup(temporary_);
      return fd;
    }
    return -1;
  }

  // Links the complete unnamed output under a temporary name beside the
  // target, armed for removal, so that a rename can put it in place in one
  // step. Called with signals blocked.
  bool GiveTemporaryName() {
    const std::string source = ProcPathOf(fd_);
    for (int attempt = 0; attempt < 16; ++attempt) {
      std::string name = NameOf(TemporaryPathFor(target_, RandomToken()));
      if (linkat(AT_FDCWD, source.c_str(), folder(), name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        temporary_.name = std::move(name);
        ArmCleanup(temporary_);
        return true;
      }
      if (errno != EEXIST) return false;
    }
    return false;
  }

  std::uint32_t RandomToken() {
    std::uint32_t token = 0;
    if (getrandom(&token, sizeof token, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof token)) {
      // Uniqueness is what matters here, and O_EXCL guards it anyway.
      token =
          (static_cast<std::uint32_t>(getpid()) << 16) ^ ++tokens_drawn_ ^ static_cast<std::uint32_t>(time(nullptr));
    }
    return token;
  }

  // Content that is to replace a file goes to the disk as it is written,
  // and each write waits for what was written WriteBehind bytes before it:
  // the progress shown follows the disk, not the cache, and the flush before
  // the rename has little left to do. Failures here are not examined: the
  // flush reports any the writeback met.
  void SendToDisk() {
    sync_file_range(fd_, static_cast<off_t>(sent_), static_cast<off_t>(written_ - sent_), SYNC_FILE_RANGE_WRITE);
    sent_ = written_;
    if (written_ > WriteBehind) {
      sync_file_range(fd_, 0, static_cast<off_t>(written_ - WriteBehind), SYNC_FILE_RANGE_WAIT_BEFORE);
    }
  }
  static constexpr std::uint64_t WriteBehind = 8 << 20;

  // Claims the output's blocks in one call before the first write: on a
  // disk file system this spares each write its allocation work, about a
  // fifth of a run on ext4. False when the file system says the space is
  // not there, so a run that cannot fit fails before its first write; one
  // that cannot reserve says nothing, and the writes find out. KEEP_SIZE
  // leaves the file empty, so a partial reservation changes nothing but
  // speed. On tmpfs a reservation only allocates the pages earlier, a few
  // per cent of a run (bench/), so there the free room is asked instead.
  bool ReserveSpace(std::uint64_t size) const {
    if (size == 0) return true;
    struct statfs file_system {};
    if (fstatfs(fd_, &file_system) == 0 && file_system.f_type == TMPFS_MAGIC) {
      // No blocks at all: mounted without a size limit.
      return file_system.f_blocks == 0 ||
             static_cast<std::uint64_t>(file_system.f_bavail) * static_cast<std::uint64_t>(file_system.f_bsize) >= size;
    }
    int result;
    while ((result = fallocate(fd_, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size))) != 0 && errno == EINTR) {
    }
    return result == 0 || (errno != ENOSPC && errno != EDQUOT && errno != EFBIG);
  }

  const WidePath target_;
  const std::string name_;  // the target's name in its folder
  // The output's folder, opened once at the first look at the target and
  // used for every later step, so that a folder moved meanwhile still gets
  // its output, or loses its temporary file, wherever it went; and the name
  // the new content has there until it is committed, empty while it has
  // none, which the signal handler removes while it is armed.
  ArmedName temporary_;
  int fd_ = -1;  // the new content
  // Whether something is under the target's name, to be replaced: set by
  // the look before the content is made (such content goes to the disk as
  // it is written) and brought up to date by the last look, before the
  // commit (such content is flushed before it takes the name).
  bool replaces_ = false;
  // Bytes written so far, and of those sent to the disk as they came.
  std::uint64_t written_ = 0, sent_ = 0;
  std::uint32_t tokens_drawn_ = 0;  // a token's uniqueness where no random one is given
};

}  // namespace

std::unique_ptr<OutputFile> CreateOutputFile(const WidePath& target, const InputFile& input) {
  // Named only in later calls, which needs no right to list it.
  const int folder = open(FolderOf(target).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return nullptr;
  auto output = std::make_unique<LinuxOutputFile>(folder, target);
  if (!output->Create(input.Size())) return nullptr;
  return output;
}
