// Windows 7 or later; paths as the command line gave them; an input read once, from its start, on one thread.
#pragma once

#include "windows_headers.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform.h"

// An input as this file system opens it: the file's handle, and the zone
// stream (Mark of the Web) it had when opened, which the output made from it
// carries. Both are the object's own; the handle is closed when destroyed.
class Win32InputFile final : public InputFile {
 public:
  // nullptr when `path` is not a regular file that can be opened, sized and
  // have its zone read now (see FileSystem::OpenInput).
  static std::unique_ptr<Win32InputFile> Open(const WidePath& path);

  Win32InputFile(HANDLE file, std::uint64_t size, std::string zone);
  ~Win32InputFile() override;
  Win32InputFile(const Win32InputFile&) = delete;
  Win32InputFile& operator=(const Win32InputFile&) = delete;

  std::uint64_t Size() const override { return size_; }
  bool ReadExactly(unsigned char* into, std::size_t count) override;
  bool AtEndUnchanged() override;

  // Empty when the input has none.
  const std::string& Zone() const { return zone_; }

 private:
  HANDLE file_;
  std::uint64_t size_;
  std::string zone_;
};
