// POSIX side of the platform seam: Linux and friends; paths are byte strings, the terminal speaks UTF-8.
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
#include <cstdio>
#include <ctime>
#include <string>

#include "platform.h"
#include "temporary_name.h"

std::optional<std::vector<WidePath>> ProcessArguments(int argc, char** argv) {
  if (argv == nullptr) return std::nullopt;
  return std::vector<WidePath>(argv, argv + argc);
}

namespace {

bool WriteAllTo(int fd, const unsigned char* from, std::size_t count) {
  while (count > 0) {
    const ssize_t written = write(fd, from, count);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    from += written;
    count -= static_cast<std::size_t>(written);
  }
  return true;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

class PosixConsole final : public Console {
 public:
  void Prepare() override {
    // A reader that went away must not kill the run; output failures are
    // simply not examined.
    signal(SIGPIPE, SIG_IGN);
  }
  void WriteNarrow(NarrowText bytes) override { pending_.append(bytes); }
  void WriteWide(WideText text) override {
    for (std::size_t i = 0; i < text.size(); ++i) {
      char32_t c = text[i];
      if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
      } else if (c >= 0xD800 && c <= 0xDFFF) {
        c = 0xFFFD;
      }
      AppendUtf8(pending_, c);
    }
  }
  void WritePath(const WidePath& path) override { pending_ += path; }
  void Flush() override {
    WriteAllTo(STDOUT_FILENO, reinterpret_cast<const unsigned char*>(pending_.data()), pending_.size());
    pending_.clear();
  }
  bool IsInteractive() override { return isatty(STDOUT_FILENO) == 1; }
  void DrawTransient(WideText text) override {
    // Back to the line's start, the new text, then clear what a longer
    // earlier text left to its right.
    WriteNarrow("\r");
    WriteWide(text);
    WriteNarrow("\x1b[K");
    Flush();
  }
  void EraseTransient() override {
    WriteNarrow("\r\x1b[K");
    Flush();
  }
  void WaitForEnter() override {
    Flush();
    unsigned char byte;
    while (read(STDIN_FILENO, &byte, 1) < 0 && errno == EINTR) {
    }
  }

 private:
  std::string pending_;
};

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

  bool IsReadOnly(const WidePath& target) override {
    struct stat status {};
    if (lstat(target.c_str(), &status) != 0) return false;
    return S_ISREG(status.st_mode) && (status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
  }

  std::optional<CreatedTemporary> CreateTemporaryBeside(const WidePath& target, std::uint64_t final_size) override {
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
      if (!TryLock(fd, true)) {
        close(fd);
        DiscardTemporary(path);
        return std::nullopt;
      }
      ReserveSpace(fd, final_size);
      return CreatedTemporary{fd, std::move(path)};
    }
    return std::nullopt;
  }

  bool WriteAll(FileHandle output, const unsigned char* from, std::size_t count) override {
    return WriteAllTo(static_cast<int>(output), from, count);
  }

  bool CloseOutput(FileHandle output) override { return close(static_cast<int>(output)) == 0; }

  bool ReplaceTarget(const WidePath& temporary, const WidePath& target) override {
    CleanupSignalsBlocked blocked;
    if (rename(temporary.c_str(), target.c_str()) != 0) return false;
    DisarmCleanup();
    return true;
  }

  void DiscardTemporary(const WidePath& temporary) override {
    CleanupSignalsBlocked blocked;
    unlink(temporary.c_str());
    DisarmCleanup();
  }

 private:
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

Console& SystemConsole() {
  static PosixConsole console;
  return console;
}

FileSystem& SystemFileSystem() {
  static PosixFileSystem files;
  return files;
}
