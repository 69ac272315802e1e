// Windows 7 or later; paths as the command line gave them, used in the \\?\ form; sharing enforced by the system.
#include "input_file.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "held_for_a_moment.h"
#include "long_path.h"
#include "owned_handle.h"
#include "write_all.h"
#include "zone_identifier.h"

namespace {

// Both the handle and the zone are the object's own; the handle is closed
// when it is destroyed.
class Win32InputFile final : public InputFile {
 public:
  Win32InputFile(OwnedHandle file, std::wstring path, std::uint64_t size, std::string zone)
      : file_(std::move(file)), path_(std::move(path)), size_(size), zone_(std::move(zone)) {}

  std::uint64_t Size() const override { return size_; }
  const std::string& ZoneIdentifier() const override { return zone_; }

  bool ReadExactly(unsigned char* into, std::size_t count, Failure& failure) override {
    while (count > 0) {
      const DWORD piece = static_cast<DWORD>(count < LargestPiece ? count : LargestPiece);
      DWORD got = 0;
      if (!ReadFile(file_.get(), into, piece, &got, nullptr)) {
        failure = SystemFailure(Step::ReadInput, path_, GetLastError());
        return false;
      }
      if (got == 0) {
        failure = RuleFailure(Step::ReadInput, path_, u"ended before the size it had when opened");
        return false;
      }
      into += got;
      count -= got;
    }
    return true;
  }

  // Nobody may write the file while it is open (see OpenInputFile): what is
  // left to tell is whether a byte lies past the size it had at the open.
  bool AtEndUnchanged(Failure& failure) override {
    unsigned char extra;
    DWORD got = 0;
    if (!ReadFile(file_.get(), &extra, 1, &got, nullptr)) {
      failure = SystemFailure(Step::CheckInputEnd, path_, GetLastError());
      return false;
    }
    if (got != 0) failure = RuleFailure(Step::CheckInputEnd, path_, u"grew while it was read");
    return got == 0;
  }

 private:
  OwnedHandle file_;
  std::wstring path_;  // as LongPath gave it
  std::uint64_t size_;
  std::string zone_;  // empty when it has none
};

}  // namespace

std::unique_ptr<InputFile> OpenInputFile(const WidePath& path, Failure& failure) {
  const std::wstring full = LongPath(path);
  if (full.empty()) {
    failure = RuleFailure(Step::OpenInput, path, u"cannot be reached as named");
    return nullptr;
  }
  // Sharing read access, and deletion so the user may still move it: a
  // file another process holds open for writing is refused here, and
  // nobody may start writing it meanwhile. One held a moment is waited for.
  OwnedHandle file;
  const RetryWhileHeld retry;
  for (;;) {
    file = OwnedHandle(CreateFileW(full.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (file) break;
    const DWORD error = GetLastError();
    if (!retry.Again(error)) {
      failure = SystemFailure(Step::OpenInput, full, error);
      return nullptr;
    }
  }
  // The last guard: the file opened must be the one named.
  if (!OpenedAsNamed(file.get(), full)) {
    failure = RuleFailure(Step::OpenInput, full, u"another file than the one named was opened");
    return nullptr;
  }
  if (GetFileType(file.get()) != FILE_TYPE_DISK) {
    failure = RuleFailure(Step::OpenInput, full, u"not a file on a disk");
    return nullptr;
  }
  BY_HANDLE_FILE_INFORMATION information{};
  LARGE_INTEGER size{};
  if (!GetFileInformationByHandle(file.get(), &information) || !GetFileSizeEx(file.get(), &size)) {
    failure = SystemFailure(Step::OpenInput, full, GetLastError());
    return nullptr;
  }
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || size.QuadPart < 0) {
    failure = RuleFailure(Step::OpenInput, full, u"not a regular file");
    return nullptr;
  }
  // The output made while this input is open carries its zone.
  std::optional<std::string> zone = ReadZoneIdentifier(full, failure);
  if (!zone) return nullptr;
  return std::make_unique<Win32InputFile>(std::move(file), full, static_cast<std::uint64_t>(size.QuadPart),
                                          std::move(*zone));
}
