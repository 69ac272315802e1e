// Win32 files: Windows 7 or later; paths are UTF-16; a console control event may arrive on a thread of its own.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After windows.h, which it depends on.
#include <bcrypt.h>

#include <cstdint>
#include <string>

#include "platform.h"
#include "temporary_name.h"
#include "write_all.h"

namespace {

// The temporary file to remove if the console is interrupted or closed. The
// control handler runs on a thread of its own, so the file changes hands
// (created, written, closed, moved, deleted) only under this lock.
struct PendingCleanup {
  SRWLOCK lock = SRWLOCK_INIT;
  bool armed = false;
  HANDLE open = INVALID_HANDLE_VALUE;
  std::wstring path;
};
PendingCleanup cleanup;

class CleanupLocked {
 public:
  CleanupLocked() { AcquireSRWLockExclusive(&cleanup.lock); }
  ~CleanupLocked() { ReleaseSRWLockExclusive(&cleanup.lock); }
  CleanupLocked(const CleanupLocked&) = delete;
  CleanupLocked& operator=(const CleanupLocked&) = delete;
};

BOOL WINAPI RemoveTemporaryOnInterrupt(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      break;
    default:
      return FALSE;
  }
  AcquireSRWLockExclusive(&cleanup.lock);
  if (cleanup.armed) {
    // Opened without sharing, so it has to be closed before it can go.
    if (cleanup.open != INVALID_HANDLE_VALUE) CloseHandle(cleanup.open);
    DeleteFileW(cleanup.path.c_str());
    cleanup.open = INVALID_HANDLE_VALUE;
    cleanup.armed = false;
  }
  // The lock is kept: the main thread must not touch the file again in the
  // moment before the default handler ends the process.
  return FALSE;
}

void InstallCleanupHandler() {
  static const bool installed = SetConsoleCtrlHandler(RemoveTemporaryOnInterrupt, TRUE) != 0;
  static_cast<void>(installed);
}

std::uint32_t RandomToken() {
  std::uint32_t token = 0;
  if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&token), sizeof token,
                                      BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
    // Uniqueness is what matters here, and CREATE_NEW guards it anyway.
    static std::uint32_t counter = 0;
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    token = static_cast<std::uint32_t>(now.QuadPart) ^ (GetCurrentProcessId() << 16) ^ ++counter;
  }
  return token;
}

class Win32FileSystem final : public FileSystem {
 public:
  std::optional<OpenedInput> OpenInput(const WidePath& path) override {
    // Sharing read access only: a file another process holds open for
    // writing is refused here, and nobody may start writing it meanwhile.
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::nullopt;
    BY_HANDLE_FILE_INFORMATION information{};
    LARGE_INTEGER size{};
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !GetFileSizeEx(file, &size) ||
        size.QuadPart < 0) {
      CloseHandle(file);
      return std::nullopt;
    }
    return OpenedInput{AsFileHandle(file), static_cast<std::uint64_t>(size.QuadPart)};
  }

  bool ReadExactly(FileHandle input, unsigned char* into, std::size_t count) override {
    while (count > 0) {
      const DWORD piece = static_cast<DWORD>(count < LargestPiece ? count : LargestPiece);
      DWORD got = 0;
      if (!ReadFile(AsHandle(input), into, piece, &got, nullptr) || got == 0) return false;
      into += got;
      count -= got;
    }
    return true;
  }

  bool AtEndOfInput(FileHandle input) override {
    unsigned char extra;
    DWORD got = 0;
    return ReadFile(AsHandle(input), &extra, 1, &got, nullptr) && got == 0;
  }

  void CloseInput(FileHandle input) override { CloseHandle(AsHandle(input)); }

  bool MayReplace(const WidePath& target) override {
    // Asked outright: some file systems' rename replaces a read-only target.
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;
    return (attributes & FILE_ATTRIBUTE_READONLY) == 0 || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }

  std::optional<FileHandle> CreateOutput(const WidePath& target, std::uint64_t) override {
    InstallCleanupHandler();
    for (int attempt = 0; attempt < 16; ++attempt) {
      WidePath path = TemporaryPathFor(target, RandomToken());
      // Created and armed in one step, so that no interruption falls between.
      CleanupLocked locked;
      const HANDLE file =
          CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;
        return std::nullopt;
      }
      cleanup.armed = true;
      cleanup.open = file;
      cleanup.path = std::move(path);
      return AsFileHandle(file);
    }
    return std::nullopt;
  }

  bool WriteAll(FileHandle output, const unsigned char* from, std::size_t count) override {
    CleanupLocked locked;
    return WriteAllTo(AsHandle(output), from, count);
  }

  bool CommitOutput(FileHandle output, const WidePath& target) override {
    CleanupLocked locked;
    cleanup.open = INVALID_HANDLE_VALUE;
    if (CloseHandle(AsHandle(output)) &&
        MoveFileExW(cleanup.path.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
      cleanup.armed = false;
      return true;
    }
    DeleteFileW(cleanup.path.c_str());
    cleanup.armed = false;
    return false;
  }

  void DiscardOutput(FileHandle output) override {
    CleanupLocked locked;
    cleanup.open = INVALID_HANDLE_VALUE;
    CloseHandle(AsHandle(output));
    DeleteFileW(cleanup.path.c_str());
    cleanup.armed = false;
  }
};

}  // namespace

FileSystem& SystemFileSystem() {
  static Win32FileSystem files;
  return files;
}
