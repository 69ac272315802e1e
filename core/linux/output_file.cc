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
#include <ctime>
#include <string>
#include <utility>

#include "file_probes.h"
#include "leftovers.h"
#include "owned_handle.h"
#include "replaced_permissions.h"
#include "signals.h"
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
// write past it then fails like one to a full disk (SIGXFSZ is ignored:
// signals.h), rather than ending the process.
bool UnderSizeLimit(std::uint64_t size) {
  struct rlimit limit {};
  return getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || size <= limit.rlim_cur;
}

// A failure the system reported with `error`, the errno of the call that
// failed, taken before anything else (building a path) could change it.
Failure Failed(Step step, const WidePath& path, int error) {
  return SystemFailure(step, path, static_cast<std::uint32_t>(error));
}

// Owns the folder and the new content's descriptor; the signal handler is
// lent the folder's number and the temporary name while one is armed.
class LinuxOutputFile final : public OutputFile {
 public:
  // Takes over `folder`, the opened folder of `target`; `readable` when it
  // was opened for reading, which its flush needs.
  LinuxOutputFile(OwnedDescriptor folder, bool readable, const WidePath& target)
      : target_(target), name_(NameOf(target)), folder_(std::move(folder)), folder_readable_(readable) {
    temporary_.folder = folder_.get();
  }
  ~LinuxOutputFile() override {
    fd_.Close();
    if (!temporary_.name.empty()) {
      const SignalsBlocked blocked;
      unlinkat(folder(), temporary_.name.c_str(), 0);
      DisarmCleanup();
      temporary_.name.clear();
    }
  }
  LinuxOutputFile(const LinuxOutputFile&) = delete;
  LinuxOutputFile& operator=(const LinuxOutputFile&) = delete;

  // Makes the new content for `size` bytes, once the target may be
  // replaced: unnamed, or under a fresh temporary name while the one drawn
  // is taken. False, `failure` set, when refused or when it could not be
  // made; nothing is left then.
  bool Create(std::uint64_t size, Failure& failure) {
    struct stat replaced {};
    if (!MayReplace(replaced, failure)) return false;
    if (!UnderSizeLimit(size)) {
      failure = RuleFailure(Step::ReserveSpace, target_, u"larger than the process's file size limit");
      return false;
    }
    // A replaced file keeps its permission bits, and is never more open
    // than that while it is written; a new one gets 0666 less the umask.
    const bool keeps = replaces_ && S_ISREG(replaced.st_mode);
    const mode_t mode = keeps ? replaced.st_mode & 0777 : 0666;
    fd_ = OpenUnnamed(mode);
    if (!fd_ && !UnderFreshName(Step::CreateContent, failure, [this, mode](const std::string& name) {
          fd_ = OwnedDescriptor(
              openat(folder(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
          return static_cast<bool>(fd_);
        })) {
      return false;
    }
    // What a cut-off run left (a power cut between naming the content and
    // the rename leaves it complete) goes now, on every path, in one
    // listing; this run's own named file is still empty, which is kept.
    LinuxLeftoverFolder leftovers(folder());
    ClearLeftovers(target_, leftovers);
    if (keeps && !KeepReplacedPermissions(fd_.get(), folder(), target_, replaced, failure)) return false;
    if (AskLock(fd_.get(), true) == LockAnswer::Held) {
      failure = RuleFailure(Step::CreateContent, ContentPath(), u"locked by another process");
      return false;
    }
    return ReserveSpace(size, failure);
  }

  bool WriteAll(const unsigned char* from, std::size_t count, Failure& failure) override {
    if (!WriteAllTo(fd_.get(), from, count)) {
      const int error = errno;
      failure = Failed(Step::WriteContent, ContentPath(), error);
      return false;
    }
    written_ += count;
    SendToDisk();
    return true;
  }

  // Order: the content flushed, then named, then the name made durable; the
  // report comes after. Before the name is given a failure leaves the output
  // name as it was; after it, the name holds the complete new content whose
  // durability the system would not confirm, and the run still fails.
  bool Commit(std::unique_ptr<InputFile> input, Failure& failure) override {
    input.reset();
    // A name journalled before its data is written back would show zeros
    // after a power cut: the content reaches the disk first.
    if (!Flushed(fdatasync(fd_.get()))) {
      const int error = errno;
      failure = Failed(Step::FlushContent, ContentPath(), error);
      return false;
    }
    // Again, as late as possible: the file may have changed hands or been
    // locked while this run worked.
    struct stat status {};
    if (!MayReplace(status, failure)) return false;
    {
      const SignalsBlocked blocked;
      if (!PutInPlace(failure)) return false;
      DisarmCleanup();
      temporary_.name.clear();
    }
    if (!NameMadeDurable(failure)) return false;
    // Held until now only for syncfs (see Release); a write's last error can
    // surface at the close: the name is given, its content not confirmed.
    if (!fd_.Close()) {
      const int error = errno;
      failure = Failed(Step::FlushName, target_, error);
      return false;
    }
    return true;
  }

 private:
  int folder() const { return folder_.get(); }
  // The path of `name` in the target's folder, as the user would name it.
  WidePath InFolder(const std::string& name) const { return target_.substr(0, target_.rfind('/') + 1) + name; }
  // The new content's path: its temporary name, or its folder while it has none.
  WidePath ContentPath() const { return temporary_.name.empty() ? FolderOf(target_) : InFolder(temporary_.name); }

  // The look at the target before its content is made and again before it
  // is replaced: true when whatever is there (not followed if it is a link)
  // may be replaced by this run. `replaces_` and `status` tell what is there.
  bool MayReplace(struct stat& status, Failure& failure) {
    replaces_ = fstatat(folder(), name_.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
    // A name that is the folder itself ("", ".", ".."), or a folder: refused
    // before anything is made, as no rename could replace it.
    if (name_.empty() || name_ == "." || name_ == ".." || (replaces_ && S_ISDIR(status.st_mode))) {
      failure = RuleFailure(Step::LookAtTarget, target_, u"a folder");
      return false;
    }
    if (!replaces_ || !S_ISREG(status.st_mode)) return true;
    // A file without write bits is kept even when root runs the tool; one
    // the user could not write by hand (another user's, in a folder anyone
    // may write) is kept too, though the rename would be allowed.
    if ((status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
      failure = RuleFailure(Step::LookAtTarget, target_, u"read-only: nobody may write it");
      return false;
    }
    if (faccessat(folder(), name_.c_str(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0) {
      const int error = errno;
      failure = error == EACCES ? RuleFailure(Step::LookAtTarget, target_, u"the user may not write it")
                                : Failed(Step::LookAtTarget, target_, error);
      return false;
    }
    if (LockedForWriting(folder(), name_)) {
      failure = RuleFailure(Step::LookAtTarget, target_, u"locked or open for writing by another process");
      return false;
    }
    return true;
  }

  // An output with no name in the target's folder: whatever ends the
  // process before it is named (a kill, a crash, a power cut) leaves
  // nothing, the kernel sees to it. Owns nothing where the file system or
  // the kernel cannot make one, or /proc is missing to name it later.
  OwnedDescriptor OpenUnnamed(mode_t mode) const {
    OwnedDescriptor fd(openat(folder(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
    if (fd && access(ProcPathOf(fd.get()).c_str(), F_OK) != 0) fd.Close();
    return fd;
  }

  // Gives the new content a temporary name beside the target, drawn afresh
  // while the one drawn is taken: `make` makes the file under that name,
  // false with errno set when it could not (EEXIST: taken). The name is
  // armed for removal with the file's making, signals blocked meanwhile, so
  // an interruption between the two leaves nothing. For the named content
  // (exFAT, FAT, NFS, FUSE) at its creation, and for the complete unnamed
  // content that replaces a file, at the commit: only a kill, a crash, a
  // power cut or a lost device then leaves it behind, and the next run for
  // the same output clears it. False, `failure` set at `step`, when it was
  // not made.
  template <typename Make>
  bool UnderFreshName(Step step, Failure& failure, const Make& make) {
    for (int attempt = 1;; ++attempt) {
      std::string name = NameOf(TemporaryPathFor(target_, RandomToken()));
      const SignalsBlocked blocked;
      if (make(name)) {
        temporary_.name = std::move(name);
        ArmCleanup(temporary_);
        return true;
      }
      if (errno != EEXIST || attempt == 16) {
        const int error = errno;
        failure = Failed(step, InFolder(name), error);
        return false;
      }
    }
  }

  // Gives the complete content the target's name in one step. A new output
  // that has none yet is linked straight to it, which fails if a file came
  // there meanwhile; that one, or any output to replace, gets a temporary
  // name (armed for removal) and is renamed over the target. Called with
  // signals blocked.
  bool PutInPlace(Failure& failure) {
    const std::string content = ProcPathOf(fd_.get());
    if (temporary_.name.empty() && !replaces_) {
      if (linkat(AT_FDCWD, content.c_str(), folder(), name_.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        return Release(Step::FlushName, failure);
      }
      if (errno != EEXIST) {
        const int error = errno;
        failure = Failed(Step::PutInPlace, target_, error);
        return false;
      }
      // Another run's output came first: it is replaced as one there at the
      // last look would have been.
      struct stat appeared {};
      if (!MayReplace(appeared, failure)) return false;
    }
    if (temporary_.name.empty() && !UnderFreshName(Step::PutInPlace, failure, [&](const std::string& name) {
          return linkat(AT_FDCWD, content.c_str(), folder(), name.c_str(), AT_SYMLINK_FOLLOW) == 0;
        })) {
      return false;
    }
    if (!Release(Step::FlushContent, failure)) return false;
    if (renameat(folder(), temporary_.name.c_str(), folder(), name_.c_str()) != 0) {
      const int error = errno;
      failure = Failed(Step::PutInPlace, target_, error);
      return false;
    }
    return true;
  }

  // Closes the content as soon as nothing more needs it, so that under its
  // name it is never seen locked or open for writing by another run; a
  // write's last error may surface only here (NFS): a failure at `step`.
  // Where the name can be made durable only through the content (syncfs),
  // it stays open until then.
  bool Release(Step step, Failure& failure) {
    if (!folder_readable_ || fd_.Close()) return true;
    const int error = errno;
    failure = Failed(step, step == Step::FlushName ? target_ : ContentPath(), error);
    return false;
  }

  // The name just given is journalled, not yet on the disk: the folder is
  // flushed. A folder opened without the right to read it (O_PATH) cannot
  // be, nor can one whose file system refuses a folder's flush; then the
  // whole file system is (syncfs, through the new content), which takes
  // longer but promises as much.
  bool NameMadeDurable(Failure& failure) const {
    if (folder_readable_ && fsync(folder()) == 0) return true;
    if (folder_readable_ && errno != EINVAL) {
      const int error = errno;
      failure = Failed(Step::FlushName, FolderOf(target_), error);
      return false;
    }
    if (Flushed(syncfs(fd_ ? fd_.get() : folder()))) return true;
    const int error = errno;
    failure = Failed(Step::FlushName, target_, error);
    return false;
  }

  // A flush's result: a file system that offers none (EINVAL) has nothing
  // to wait for and cannot promise more; it must not fail every run.
  static bool Flushed(int result) { return result == 0 || errno == EINVAL; }

  std::uint32_t RandomToken() {
    std::uint32_t token = 0;
    if (getrandom(&token, sizeof token, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof token)) {
      // Uniqueness is what matters here, and O_EXCL guards it anyway.
      token =
          (static_cast<std::uint32_t>(getpid()) << 16) ^ ++tokens_drawn_ ^ static_cast<std::uint32_t>(time(nullptr));
    }
    return token;
  }

  // The content goes to the disk as it is written, and each write waits for what was written WriteBehind bytes before
  // it: the progress shown follows the disk, not the cache, and the flush before the name is given has little left to
  // do. Failures here are not examined: the flush reports any the writeback met.
  void SendToDisk() {
    sync_file_range(fd_.get(), static_cast<off_t>(sent_), static_cast<off_t>(written_ - sent_), SYNC_FILE_RANGE_WRITE);
    sent_ = written_;
    if (written_ > WriteBehind) {
      sync_file_range(fd_.get(), 0, static_cast<off_t>(written_ - WriteBehind), SYNC_FILE_RANGE_WAIT_BEFORE);
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
  bool ReserveSpace(std::uint64_t size, Failure& failure) const {
    if (size == 0) return true;
    struct statfs file_system {};
    if (fstatfs(fd_.get(), &file_system) == 0 && file_system.f_type == TMPFS_MAGIC) {
      // No blocks at all: mounted without a size limit.
      if (file_system.f_blocks == 0 ||
          static_cast<std::uint64_t>(file_system.f_bavail) * static_cast<std::uint64_t>(file_system.f_bsize) >= size) {
        return true;
      }
      failure = RuleFailure(Step::ReserveSpace, ContentPath(), u"less room free than the whole size");
      return false;
    }
    int result;
    while ((result = fallocate(fd_.get(), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size))) != 0 && errno == EINTR) {
    }
    if (result == 0 || (errno != ENOSPC && errno != EDQUOT && errno != EFBIG)) return true;
    const int error = errno;
    failure = Failed(Step::ReserveSpace, ContentPath(), error);
    return false;
  }

  const WidePath target_;
  const std::string name_;  // the target's name in its folder
  // The output's folder, opened once at the first look at the target and
  // used for every later step, so that a folder moved meanwhile still gets
  // its output, or loses its temporary file, wherever it went.
  const OwnedDescriptor folder_;
  // The name the new content has in that folder until it is committed,
  // empty while it has none, which the signal handler removes while it is
  // armed; its folder is folder_'s number, lent.
  ArmedName temporary_;
  OwnedDescriptor fd_;  // the new content
  // Whether something is under the target's name, to be replaced: set by
  // the look before the content is made (such content goes to the disk as
  // it is written) and brought up to date by the last look, before the
  // commit (such content is flushed before it takes the name).
  bool replaces_ = false;
  // Bytes written so far, and of those sent to the disk as they came.
  std::uint64_t written_ = 0, sent_ = 0;
  std::uint32_t tokens_drawn_ = 0;  // a token's uniqueness where no random one is given
  const bool folder_readable_;      // false: opened O_PATH, which cannot be flushed
};

}  // namespace

std::unique_ptr<OutputFile> CreateOutputFile(const WidePath& target, const InputFile& input, Failure& failure) {
  SetSignalDispositions();
  // Opened for reading, so that it can be flushed once the output is named;
  // a folder the user may write and search but not read is still used,
  // opened as a path only (its names are reached in later calls, which needs
  // no right to list it), and made durable another way.
  const std::string folder_path = FolderOf(target);
  OwnedDescriptor folder(open(folder_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const bool readable = static_cast<bool>(folder);
  if (!readable && errno == EACCES)
    folder = OwnedDescriptor(open(folder_path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!folder) {
    const int error = errno;
    failure = Failed(Step::CreateContent, folder_path, error);
    return nullptr;
  }
  auto output = std::make_unique<LinuxOutputFile>(std::move(folder), readable, target);
  if (!output->Create(input.Size(), failure)) return nullptr;
  return output;
}
