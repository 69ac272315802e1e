// Linux; the file system keeps no state: every run's files live in the objects it returns.
#include "input_file.h"
#include "output_file.h"
#include "platform.h"

namespace {

class LinuxFileSystem final : public FileSystem {
 public:
  std::unique_ptr<InputFile> OpenInput(const WidePath& path) override { return OpenInputFile(path); }
  // Linux names have no short aliases.
  WidePath WithLongNames(const WidePath& path) override { return path; }
  std::unique_ptr<OutputFile> CreateOutput(const WidePath& target, const InputFile& input) override {
    return CreateOutputFile(target, input);
  }
};

}  // namespace

FileSystem& SystemFileSystem() {
  static LinuxFileSystem files;
  return files;
}
