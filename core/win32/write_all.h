// Handles and whole writes on Windows, shared by the console and the files.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstddef>

#include "platform.h"

// ReadFile and WriteFile count in DWORDs; larger requests go in pieces.
inline constexpr std::size_t LargestPiece = DWORD{1} << 30;

inline HANDLE AsHandle(FileHandle handle) { return reinterpret_cast<HANDLE>(handle); }
inline FileHandle AsFileHandle(HANDLE handle) { return reinterpret_cast<FileHandle>(handle); }
inline bool Usable(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

// Writes all `count` bytes; a write that makes no progress is a failure.
inline bool WriteAllTo(HANDLE handle, const unsigned char* from, std::size_t count) {
  while (count > 0) {
    const DWORD piece = static_cast<DWORD>(count < LargestPiece ? count : LargestPiece);
    DWORD written = 0;
    if (!WriteFile(handle, from, piece, &written, nullptr) || written == 0) return false;
    from += written;
    count -= written;
  }
  return true;
}
