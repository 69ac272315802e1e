// Windows 7 or later; one process-wide file system, which keeps no state: what a run opens lives in its objects.
#include "input_file.h"
#include "long_path.h"
#include "output_file.h"
#include "platform.h"

namespace {

class Win32FileSystem final : public FileSystem {
 public:
  std::unique_ptr<InputFile> OpenInput(const WidePath& path, Failure& failure) override {
    return OpenInputFile(path, failure);
  }
  WidePath WithLongNames(const WidePath& path) override { return ::WithLongNames(path); }
  std::unique_ptr<OutputFile> CreateOutput(const WidePath& target, const InputFile& input, Failure& failure) override {
    return CreateOutputFile(target, input, failure);
  }
};

}  // namespace

FileSystem& SystemFileSystem() {
  static Win32FileSystem files;
  return files;
}
