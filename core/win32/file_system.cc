// Windows 7 or later; one process-wide file system, which keeps no state: what a run opens lives in its objects.
#include "input_file.h"
#include "long_path.h"
#include "output_file.h"
#include "platform.h"

namespace {

class Win32FileSystem final : public FileSystem {
 public:
  std::unique_ptr<InputFile> OpenInput(const WidePath& path) override { return Win32InputFile::Open(path); }

  WidePath WithLongNames(const WidePath& path) override { return ::WithLongNames(path); }

  // Every input a caller holds came from OpenInput above: this file system
  // is the only one in a Windows program.
  std::unique_ptr<OutputFile> CreateOutput(const WidePath& target, const InputFile& input) override {
    return CreateOutputFile(target, static_cast<const Win32InputFile&>(input));
  }
};

}  // namespace

FileSystem& SystemFileSystem() {
  static Win32FileSystem files;
  return files;
}
