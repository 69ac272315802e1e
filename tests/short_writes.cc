// Preloaded (LD_PRELOAD) into a program under test: write() writes at most
// 4 KiB a call, so every larger write comes back short and the caller must
// finish it. At exit the number of writes cut short goes to the file named
// by SHORT_WRITES_LOG, so a test can tell the library was really in place.
#include <dlfcn.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>

namespace {
constexpr std::size_t MaxWrite = 4096;
unsigned long cut_short = 0;

struct Report {
  ~Report() {
    const char* log = std::getenv("SHORT_WRITES_LOG");
    if (std::FILE* file = log != nullptr ? std::fopen(log, "w") : nullptr) {
      std::fprintf(file, "%lu\n", cut_short);
      std::fclose(file);
    }
  }
} report;
}  // namespace

extern "C" ssize_t write(int fd, const void* buffer, std::size_t count) {
  using Write = ssize_t (*)(int, const void*, std::size_t);
  static const auto real_write = reinterpret_cast<Write>(dlsym(RTLD_NEXT, "write"));
  if (count > MaxWrite) {
    count = MaxWrite;
    ++cut_short;
  }
  return real_write(fd, buffer, count);
}
