// Windows 7 or later; any HANDLE that WriteFile takes: handles and whole writes, shared by the console and the files.
#pragma once

#include "windows_headers.h"

#include <cstddef>

// ReadFile and WriteFile count in DWORDs; larger requests go in pieces.
inline constexpr std::size_t LargestPiece = DWORD{1} << 30;

inline bool Usable(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

// Writes all `count` bytes; a write that makes no progress is a failure.
// False on failure, GetLastError() then telling why: the system's error, or
// ERROR_WRITE_FAULT for a write that made no progress.
inline bool WriteAllTo(HANDLE handle, const unsigned char* from, std::size_t count) {
  while (count > 0) {
    const DWORD piece = static_cast<DWORD>(count < LargestPiece ? count : LargestPiece);
    DWORD written = 0;
    if (!WriteFile(handle, from, piece, &written, nullptr)) return false;
    if (written == 0) {
      SetLastError(ERROR_WRITE_FAULT);
      return false;
    }
    from += written;
    count -= written;
  }
  return true;
}
