// Linux; writing to a POSIX descriptor without losing bytes, shared by the console and the files.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>

// Writes all `count` bytes, finishing short writes and retrying
// interruptions; a write that makes no progress is a failure. False on
// failure, errno then telling why: the system's error, or EIO for a write
// that made no progress.
inline bool WriteAllTo(int fd, const unsigned char* from, std::size_t count) {
  while (count > 0) {
    const ssize_t written = write(fd, from, count);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return false;
    if (written == 0) {
      errno = EIO;
      return false;
    }
    from += written;
    count -= static_cast<std::size_t>(written);
  }
  return true;
}
