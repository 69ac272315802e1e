// Linux; paths are byte strings, relative ones to the working folder; an input read once, from its start.
#include "input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

#include "file_probes.h"
#include "owned_handle.h"
#include "signals.h"

namespace {

// The descriptor is the object's own, closed when it is destroyed.
class LinuxInputFile final : public InputFile {
 public:
  // `fd`, open as `path`, whose status was `opened` when it was opened.
  LinuxInputFile(OwnedDescriptor fd, WidePath path, const struct stat& opened)
      : fd_(std::move(fd)), path_(std::move(path)), opened_(opened) {}

  std::uint64_t Size() const override { return static_cast<std::uint64_t>(opened_.st_size); }
  // Linux keeps no zone of a download.
  const std::string& ZoneIdentifier() const override { return no_zone_; }

  bool ReadExactly(unsigned char* into, std::size_t count, Failure& failure) override {
    while (count > 0) {
      const ssize_t got = read(fd_.get(), into, count);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        failure = SystemFailure(Step::ReadInput, path_, static_cast<std::uint32_t>(errno));
        return false;
      }
      if (got == 0) {
        failure = RuleFailure(Step::ReadInput, path_, u"ended before the size it had when opened");
        return false;
      }
      into += got;
      count -= static_cast<std::size_t>(got);
    }
    return true;
  }

  bool AtEndUnchanged(Failure& failure) override {
    unsigned char extra;
    ssize_t got;
    while ((got = read(fd_.get(), &extra, 1)) < 0 && errno == EINTR) {
    }
    if (got < 0) {
      failure = SystemFailure(Step::CheckInputEnd, path_, static_cast<std::uint32_t>(errno));
      return false;
    }
    if (got != 0) {
      failure = RuleFailure(Step::CheckInputEnd, path_, u"grew while it was read");
      return false;
    }
    return UnchangedSinceOpened(failure);
  }

 private:
  // False when the input may have been written to while it was read. Only
  // what can change its bytes counts: the size; the modification time,
  // which a program rewriting bytes in place moves though the size stays;
  // and a writer the system can see, asked as at the open (locked or open
  // for writing elsewhere; where that cannot be asked, none is seen). The
  // change time is not looked at: a new name, link, owner, mode or
  // attribute moves it, and leaves the bytes as they were.
  bool UnchangedSinceOpened(Failure& failure) const {
    struct stat now {};
    const struct stat& then = opened_;
    if (fstat(fd_.get(), &now) != 0) {
      failure = SystemFailure(Step::CheckInputEnd, path_, static_cast<std::uint32_t>(errno));
      return false;
    }
    if (now.st_size != then.st_size || now.st_mtim.tv_sec != then.st_mtim.tv_sec ||
        now.st_mtim.tv_nsec != then.st_mtim.tv_nsec) {
      failure = RuleFailure(Step::CheckInputEnd, path_, u"changed while it was read");
      return false;
    }
    if (WriterSeen(fd_.get())) {
      failure = RuleFailure(Step::CheckInputEnd, path_, u"locked or open for writing by another process");
      return false;
    }
    return true;
  }

  const OwnedDescriptor fd_;
  const WidePath path_;  // as the command line gave it
  // What the input's status was when it was opened.
  const struct stat opened_;
  const std::string no_zone_;
};

}  // namespace

std::unique_ptr<InputFile> OpenInputFile(const WidePath& path, Failure& failure) {
  SetSignalDispositions();
  OwnedDescriptor fd = OpenRegularForReading(AT_FDCWD, path.c_str(), 0, failure);
  if (!fd) return nullptr;
  if (WriterSeen(fd.get())) {
    failure = RuleFailure(Step::OpenInput, path, u"locked or open for writing by another process");
    return nullptr;
  }
  struct stat opened {};
  if (fstat(fd.get(), &opened) != 0) {
    failure = SystemFailure(Step::OpenInput, path, static_cast<std::uint32_t>(errno));
    return nullptr;
  }
  posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  return std::make_unique<LinuxInputFile>(std::move(fd), path, opened);
}
