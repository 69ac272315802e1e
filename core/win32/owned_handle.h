// Windows 7 or later; a handle belongs to exactly one owner, which closes it once with the call its kind needs.
#pragma once

#include "windows_headers.h"

#include <utility>

// A handle closed by `Closer::Close` when its owner is destroyed; an invalid
// or null handle owns nothing. Moves hand it over; it is never copied.
template <typename Closer>
class Owned {
 public:
  Owned() = default;
  explicit Owned(HANDLE handle) : handle_(handle) {}
  ~Owned() { Close(); }
  Owned(Owned&& other) noexcept : handle_(other.Release()) {}
  Owned& operator=(Owned&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = other.Release();
    }
    return *this;
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;

  HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  // Gives up the handle without closing it.
  HANDLE Release() { return std::exchange(handle_, INVALID_HANDLE_VALUE); }
  // Closes it now, for a caller that must know whether the close succeeded;
  // true when nothing was open.
  bool Close() {
    const HANDLE handle = Release();
    return handle == nullptr || handle == INVALID_HANDLE_VALUE || Closer::Close(handle);
  }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// The system's closing calls are imported from a DLL, so their addresses are
// no constants a template could take: each is wrapped.
struct HandleCloser {
  static bool Close(HANDLE handle) { return CloseHandle(handle) != 0; }
};
struct SearchCloser {
  static bool Close(HANDLE handle) { return FindClose(handle) != 0; }
};

// A file, stream, console or event handle (CloseHandle).
using OwnedHandle = Owned<HandleCloser>;
// A directory search (FindFirstFileExW), which only FindClose ends.
using OwnedSearch = Owned<SearchCloser>;
