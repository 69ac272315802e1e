// Linux; one process-wide file system, which keeps no state: what a run opens lives in its objects.
#include "input_file.h"
#include "output_file.h"
#include "platform.h"

namespace {

class LinuxFileSystem final : public FileSystem {
 public:
  std::unique_ptr<InputFile> OpenInput(const WidePath& path, Failure& failure) override {
    return OpenInputFile(path, failure);
  }
  // Linux names have no short aliases.
  WidePath WithLongNames(const WidePath& path) override { return path; }
  std::unique_ptr<OutputFile> CreateOutput(const WidePath& target, const InputFile& input, Failure& failure) override {
    return CreateOutputFile(target, input, failure);
  }
};

}  // namespace

FileSystem& SystemFileSystem() {
  static LinuxFileSystem files;
  return files;
}
