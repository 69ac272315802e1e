// Linux; a descriptor belongs to exactly one owner, which closes it once.
#pragma once

#include <unistd.h>

#include <utility>

// An open file descriptor, closed when its owner is destroyed; -1 owns
// nothing. Moves hand it over; it is never copied.
class OwnedDescriptor {
 public:
  OwnedDescriptor() = default;
  explicit OwnedDescriptor(int fd) : fd_(fd) {}
  ~OwnedDescriptor() { Close(); }
  OwnedDescriptor(OwnedDescriptor&& other) noexcept : fd_(other.Release()) {}
  OwnedDescriptor& operator=(OwnedDescriptor&& other) noexcept {
    if (this != &other) {
      Close();
      fd_ = other.Release();
    }
    return *this;
  }
  OwnedDescriptor(const OwnedDescriptor&) = delete;
  OwnedDescriptor& operator=(const OwnedDescriptor&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  // Gives up the descriptor without closing it.
  int Release() { return std::exchange(fd_, -1); }
  // Closes it now, for a caller that must know whether the close succeeded
  // (a write's last error can surface only there); true when nothing was open.
  bool Close() { return fd_ < 0 || close(std::exchange(fd_, -1)) == 0; }

 private:
  int fd_ = -1;
};
