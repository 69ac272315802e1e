// Linux; paths are byte strings, relative ones to the working folder.
#include "input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "file_probes.h"

namespace {

class LinuxInputFile final : public InputFile {
 public:
  // Takes over `fd`, whose status was `opened` when it was opened.
  LinuxInputFile(int fd, const struct stat& opened) : fd_(fd), opened_(opened) {}
  ~LinuxInputFile() override { close(fd_); }
  LinuxInputFile(const LinuxInputFile&) = delete;
  LinuxInputFile& operator=(const LinuxInputFile&) = delete;

  std::uint64_t Size() const override { return static_cast<std::uint64_t>(opened_.st_size); }

  bool ReadExactly(unsigned char* into, std::size_t count) override {
    while (count > 0) {
      const ssize_t got = read(fd_, into, count);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      into += got;
      count -= static_cast<std::size_t>(got);
    }
    return true;
  }

  bool AtEndUnchanged() override {
    unsigned char extra;
    ssize_t got;
    while ((got = read(fd_, &extra, 1)) < 0 && errno == EINTR) {
    }
    return got == 0 && UnchangedSinceOpened();
  }

 private:
  // False when the input may have been written to while it was read. Only
  // what can change its bytes counts: the size; the modification time,
  // which a program rewriting bytes in place moves though the size stays;
  // and a writer the system can see, asked as at the open (locked or open
  // for writing elsewhere; where that cannot be asked, none is seen). The
  // change time is not looked at: a new name, link, owner, mode or
  // attribute moves it, and leaves the bytes as they were.
  bool UnchangedSinceOpened() const {
    struct stat now {};
    const struct stat& then = opened_;
    return fstat(fd_, &now) == 0 && now.st_size == then.st_size && now.st_mtim.tv_sec == then.st_mtim.tv_sec &&
           now.st_mtim.tv_nsec == then.st_mtim.tv_nsec && !WriterSeen(fd_);
  }

  const int fd_;
  // What the input's status was when it was opened.
  const struct stat opened_;
};

}  // namespace

std::unique_ptr<InputFile> OpenInputFile(const WidePath& path) {
  const int fd = OpenRegularForReading(AT_FDCWD, path.c_str(), 0);
  if (fd < 0) return nullptr;
  struct stat opened {};
  if (WriterSeen(fd) || fstat(fd, &opened) != 0) {
    close(fd);
    return nullptr;
  }
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return std::make_unique<LinuxInputFile>(fd, opened);
}
