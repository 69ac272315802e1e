// POSIX files: Linux and friends; paths are byte strings; signals may arrive at any moment.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#ifdef __linux__
#include <linux/magic.h>
#include <sys/vfs.h>
#endif
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <initializer_list>
#include <string>

#include "platform.h"
#include "temporary_name.h"
#include "write_all.h"

namespace {

// The temporary file to remove if the process is ended by a signal: a name
// in the folder the run opened, which follows that folder wherever it is
// moved. The handler only reads it, and only while it is set.
struct ArmedName {
  int folder = -1;
  std::string name;
};
std::atomic<const ArmedName*> interrupted_cleanup{nullptr};
ArmedName armed;

// Whether a signal's default action ends the process (a core dump included),
// so that it must take the temporary file along. SIGXFSZ is left out: the
// run ignores it, so that a write past the file size limit fails (EFBIG)
// like one to a full disk.
bool EndsProcess(int signal_number) {
  switch (signal_number) {
    case SIGKILL:
    case SIGSTOP:
    case SIGCHLD:
    case SIGCONT:
    case SIGTSTP:
    case SIGTTIN:
    case SIGTTOU:
    case SIGURG:
    case SIGWINCH:
    case SIGXFSZ:
      return false;
    default:
      return true;
  }
}

// Runs with every signal blocked, so a second one cannot end the process
// before the removal; the signal itself, raised again with its default
// action, ends it once the handler returns.
void RemoveTemporaryAndDie(int signal_number) {
  if (const ArmedName* path = interrupted_cleanup.exchange(nullptr)) unlinkat(path->folder, path->name.c_str(), 0);
  // Neither fails for a signal number the handler was installed for.
  static_cast<void>(signal(signal_number, SIG_DFL));
  static_cast<void>(raise(signal_number));
}

void InstallCleanupHandlers() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  struct sigaction action {};
  action.sa_handler = RemoveTemporaryAndDie;
  sigfillset(&action.sa_mask);
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    struct sigaction previous {};
    // Numbers the C library keeps for itself refuse the query.
    if (!EndsProcess(signal_number) || sigaction(signal_number, nullptr, &previous) != 0) continue;
    // Ignored (nohup; SIGPIPE, by the console) or handled already (a sanitizer): left as it is.
    if (previous.sa_handler != SIG_DFL) continue;
    sigaction(signal_number, &action, nullptr);
  }
}

// Keeps signals out while the temporary file changes hands, so the handler
// never removes a name that a rename just gave away.
class CleanupSignalsBlocked {
 public:
  CleanupSignalsBlocked() {
    sigset_t blocked;
    sigfillset(&blocked);
    pthread_sigmask(SIG_BLOCK, &blocked, &previous_);
  }
  ~CleanupSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

 private:
  sigset_t previous_;
};

void ArmCleanup(int folder, const std::string& name) {
  CleanupSignalsBlocked blocked;
  armed.folder = folder;
  armed.name = name;
  interrupted_cleanup.store(&armed);
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

enum class LockAnswer { Taken, Held, CannotBeAsked };

// A lock of the given type, asked without waiting, that conflicts with both
// whole-file locks (flock) and record locks (fcntl) held by others: Taken
// when both were granted, Held when another process holds a conflicting one.
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
#ifdef F_OFD_SETLK
  int result = fcntl(fd, F_OFD_SETLK, &record);
  if (result != 0 && errno == EINVAL) result = fcntl(fd, F_SETLK, &record);
#else
  const int result = fcntl(fd, F_SETLK, &record);
#endif
  if (result != 0) {
    if (HeldElsewhere(errno)) return LockAnswer::Held;
    taken = false;
  }
  return taken ? LockAnswer::Taken : LockAnswer::CannotBeAsked;
}

// False only when another process holds a conflicting lock.
bool TryLock(int fd, bool exclusive) { return AskLock(fd, exclusive) != LockAnswer::Held; }

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

// Opens the regular file at `path` (relative to `folder`) for reading
// without ever opening anything else: the name is looked at first (O_PATH
// opens nothing), and only a regular file is then opened, through /proc, so
// that it is the very file looked at. Opening a device would run its
// driver's open (a tape rewinds, a watchdog arms); a FIFO's would wake its
// writer. Without /proc the name is opened again and must still be that
// file. -1 when it is not a regular file or cannot be opened.
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

// True when another process holds the regular file `name` in `folder`
// locked or open for writing, as far as the system can tell: what refuses
// an input also keeps an output. A link is not followed; a file this
// process may not open for reading cannot be asked and counts as free.
bool LockedForWriting(int folder, const std::string& name) {
  const int fd = OpenRegularForReading(folder, name.c_str(), O_NOFOLLOW);
  if (fd < 0) return false;
  const bool locked = !TryLock(fd, false) || OpenForWritingElsewhere(fd);
  close(fd);
  return locked;
}

// The folder `target` is in, as a path to open, and its final element.
WidePath FolderOf(const WidePath& target) {
  const std::size_t slash = target.rfind('/');
  return slash == WidePath::npos ? WidePath(".") : target.substr(0, slash + 1);
}
std::string NameOf(const WidePath& path) { return path.substr(path.rfind('/') + 1); }

// A folder is opened only to be named in later calls, which needs no right
// to list it.
#ifdef O_PATH
constexpr int FolderAccess = O_PATH;
#else
constexpr int FolderAccess = O_RDONLY;
#endif

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
    const int fd = OpenRegularForReading(AT_FDCWD, path.c_str(), 0);
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
    const bool opened_here = folder_ < 0;
    if (!OpenFolder(target)) return true;  // nothing can be created there either
    const std::string name = NameOf(target);
    struct stat status {};
    if (fstatat(folder_, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(status.st_mode)) return true;
    // A file without write bits is kept even when root runs the tool; one
    // the user could not write by hand (another user's, in a folder anyone
    // may write) is kept too, though the rename would be allowed.
    const bool may = (status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0 &&
                     faccessat(folder_, name.c_str(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) == 0 &&
                     !LockedForWriting(folder_, name);
    if (!may && opened_here) CloseFolder();
    return may;
  }

  std::optional<FileHandle> CreateOutput(const WidePath& target, std::uint64_t final_size) override {
    // A write past the file size limit fails like one to a full disk, and a
    // file that cannot stay under it is refused before the first write.
    static_cast<void>(signal(SIGXFSZ, SIG_IGN));
    struct rlimit limit {};
    if ((getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && final_size > limit.rlim_cur) ||
        !OpenFolder(target)) {
      CloseFolder();
      return std::nullopt;
    }
    // A replaced file keeps its permission bits, and is never more open
    // than that while it is written; a new one gets 0666 less the umask.
    const std::string name = NameOf(target);
    struct stat replaced {};
    const bool taken = fstatat(folder_, name.c_str(), &replaced, AT_SYMLINK_NOFOLLOW) == 0;
    const bool replaces = taken && S_ISREG(replaced.st_mode);
    const mode_t mode = replaces ? replaced.st_mode & 0777 : 0666;
    int fd = OpenUnnamed(mode);
    if (fd < 0) fd = OpenNamed(target, mode);
    if (fd < 0) {
      CloseFolder();
      return std::nullopt;
    }
    if ((replaces && !KeepOwnerAndMode(fd, folder_, name, replaced)) || !TryLock(fd, true) ||
        !ReserveSpace(fd, final_size)) {
      DiscardOutput(fd);
      return std::nullopt;
    }
    written_ = sent_ = 0;
    sent_as_written_ = taken;
    return fd;
  }

  bool WriteAll(FileHandle output, const unsigned char* from, std::size_t count) override {
    if (!WriteAllTo(static_cast<int>(output), from, count)) return false;
    written_ += count;
    if (sent_as_written_) SendToDisk(static_cast<int>(output));
    return true;
  }

  bool CommitOutput(FileHandle output, const WidePath& target) override {
    const int fd = static_cast<int>(output);
    // Again, as late as possible: the file may have changed hands or been
    // locked while this run worked.
    if (!MayReplace(target)) {
      DiscardOutput(output);
      return false;
    }
    // What the name held must give way only to content on the disk: the
    // rename is journalled at once, the data written back much later, and a
    // crash in between would leave the name on zeros. A new name is not
    // waited for: a crash can only lose what did not exist before.
    const std::string name = NameOf(target);
    struct stat existing {};
    if (fstatat(folder_, name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0 && fdatasync(fd) != 0) {
      DiscardOutput(output);
      return false;
    }
    CleanupSignalsBlocked blocked;
    const bool named = !temporary_name_.empty() || GiveTemporaryName(fd, target);
    const bool committed =
        close(fd) == 0 && named && renameat(folder_, temporary_name_.c_str(), folder_, name.c_str()) == 0;
    if (committed) {
      DisarmCleanup();
      temporary_name_.clear();
    } else if (!temporary_name_.empty()) {
      RemoveTemporary();
    }
    CloseFolder();
    return committed;
  }

  void DiscardOutput(FileHandle output) override {
    close(static_cast<int>(output));
    if (!temporary_name_.empty()) RemoveTemporary();
    CloseFolder();
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

  // The output's folder, opened once at the run's first look at the target
  // and used for every later step, so that a folder moved meanwhile still
  // gets its output, or loses its temporary file, wherever it went.
  bool OpenFolder(const WidePath& target) {
    if (folder_ < 0) folder_ = open(FolderOf(target).c_str(), FolderAccess | O_DIRECTORY | O_CLOEXEC);
    return folder_ >= 0;
  }
  void CloseFolder() {
    if (folder_ >= 0) close(folder_);
    folder_ = -1;
  }

  void RemoveTemporary() {
    CleanupSignalsBlocked blocked;
    unlinkat(folder_, temporary_name_.c_str(), 0);
    DisarmCleanup();
    temporary_name_.clear();
  }

  // An output with no name in the target's folder: whatever ends the
  // process before it is named (a kill, a crash, a power cut) leaves
  // nothing, the kernel sees to it. -1 where the file system or the kernel
  // cannot make one, or /proc is missing to name it later.
  int OpenUnnamed(mode_t mode) const {
#ifdef O_TMPFILE
    const int fd = openat(folder_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    if (fd < 0) return -1;
    if (access(ProcPathOf(fd).c_str(), F_OK) != 0) {
      close(fd);
      return -1;
    }
    return fd;
#else
    (void)mode;
    return -1;
#endif
  }

  // The named temporary file (exFAT, FAT, NFS, FUSE), removed on failure
  // and on every signal that ends the process; only a kill, a crash or a
  // lost device leaves it behind, and the next run for the same output
  // clears it.
  int OpenNamed(const WidePath& target, mode_t mode) {
    ClearLeftovers(target);
    for (int attempt = 0; attempt < 16; ++attempt) {
      std::string name = NameOf(TemporaryPathFor(target, RandomToken()));
      // An interruption between the creation and the arming would leave
      // the file behind: it waits until the handler knows the name.
      CleanupSignalsBlocked blocked;
      const int fd = openat(folder_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
      if (fd < 0) {
        if (errno == EEXIST) continue;
        return -1;
      }
      ArmCleanup(folder_, name);
      temporary_name_ = std::move(name);
      return fd;
    }
    return -1;
  }

  // Removes what earlier runs for this output left: names of exactly the
  // form this run would give its own temporary file, in the same folder.
  void ClearLeftovers(const WidePath& target) const {
    // Nothing is listed of a folder one may write but not read.
    dirent** entries = nullptr;
    const int count = scandirat(folder_, ".", &entries, nullptr, nullptr);
    for (int i = 0; i < count; ++i) {
      if (IsTemporaryNameFor(target, entries[i]->d_name)) RemoveIfAbandoned(entries[i]->d_name);
      free(entries[i]);
    }
    free(entries);
  }

  // Only a regular file of this user's, reached without following a link,
  // that no live run holds: every run locks its file before its first
  // write, so one with content that can be locked is no one's. An empty one
  // may be a run's that has only just been created, and costs no room.
  void RemoveIfAbandoned(const char* name) const {
    const int fd = OpenRegularForReading(folder_, name, O_NOFOLLOW);
    if (fd < 0) return;
    // Only a lock actually granted tells that no live run holds it (where
    // locks cannot be asked, every leftover stays), and the name is looked
    // up again once it is held, so that what goes is the very file found
    // unheld.
    struct stat held {};
    struct stat named {};
    if (AskLock(fd, false) == LockAnswer::Taken && fstat(fd, &held) == 0 && held.st_uid == geteuid() &&
        held.st_size > 0 && fstatat(folder_, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_dev == held.st_dev &&
        named.st_ino == held.st_ino) {
      unlinkat(folder_, name, 0);
    }
    close(fd);
  }

  // Links the complete unnamed output under a temporary name beside the
  // target, armed for removal, so that a rename can put it in place in one
  // step. Called with signals blocked.
  bool GiveTemporaryName(int fd, const WidePath& target) {
    const std::string source = ProcPathOf(fd);
    for (int attempt = 0; attempt < 16; ++attempt) {
      std::string name = NameOf(TemporaryPathFor(target, RandomToken()));
      if (linkat(AT_FDCWD, source.c_str(), folder_, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        ArmCleanup(folder_, name);
        temporary_name_ = std::move(name);
        return true;
      }
      if (errno != EEXIST) return false;
    }
    return false;
  }

  // Content that is to replace a file goes to the disk as it is written,
  // and each write waits for what was written WriteBehind bytes before it:
  // the progress shown follows the disk, not the cache, and the flush before
  // the rename has little left to do. Failures here are not examined: the
  // flush reports any the writeback met.
  void SendToDisk(int fd) {
#ifdef SYNC_FILE_RANGE_WRITE
    sync_file_range(fd, static_cast<off_t>(sent_), static_cast<off_t>(written_ - sent_), SYNC_FILE_RANGE_WRITE);
    sent_ = written_;
    if (written_ > WriteBehind) {
      sync_file_range(fd, 0, static_cast<off_t>(written_ - WriteBehind), SYNC_FILE_RANGE_WAIT_BEFORE);
    }
#else
    (void)fd;
#endif
  }
  static constexpr std::uint64_t WriteBehind = 8 << 20;

  // The owner and group where this process may set them (root may; a user
  // may keep a group of theirs), then the permission bits, which a change of
  // owner would otherwise clear in part. Set-user and set-group bits are
  // not carried over, as a write by hand would clear them. False when the
  // access ACL could not be carried over: the new content would be more
  // open than the file it replaces.
  static bool KeepOwnerAndMode(int fd, int folder, const std::string& name, const struct stat& replaced) {
    if (fchown(fd, replaced.st_uid, replaced.st_gid) != 0 && fchown(fd, static_cast<uid_t>(-1), replaced.st_gid) != 0) {
      // Neither is this process's to set: the new content stays its own.
    }
    const bool kept = KeepAccessAcl(fd, folder, name);
    fchmod(fd, replaced.st_mode & 0777);
    return kept;
  }

  // The replaced file's access ACL, on the new content: a file's group bits
  // are its ACL's mask, so without the ACL its owning group would get what
  // the mask allows, and the users and groups it names would lose their
  // access. Where it had none, the new content keeps none either (a default
  // ACL of the folder would otherwise name others). A file system without
  // ACLs has nothing to carry. The old file is read through /proc from a
  // look at it in the run's folder, which needs no right to read it.
  static bool KeepAccessAcl(int fd, int folder, const std::string& name) {
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

  // Where the output is written: its folder, and the name its new content
  // has there until it is committed, empty while it has none.
  int folder_ = -1;
  std::string temporary_name_;
  // Bytes written so far, and of those sent to the disk as they came, for
  // an output that takes the place of something already under its name.
  std::uint64_t written_ = 0, sent_ = 0;
  bool sent_as_written_ = false;

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
