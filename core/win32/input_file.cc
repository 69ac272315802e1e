// Windows 7 or later; paths as the command line gave them, used in the \\?\ form; sharing enforced by the system.
#include "input_file.h"

#include <optional>
#include <utility>

#include "held_for_a_moment.h"
#include "long_path.h"
#include "write_all.h"
#include "zone_identifier.h"

std::unique_ptr<Win32InputFile> Win32InputFile::Open(const WidePath& path) {
  const std::wstring full = LongPath(path);
  if (full.empty()) return nullptr;
  // Sharing read access, and deletion so the user may still move it: a
  // file another process holds open for writing is refused here, and
  // nobody may start writing it meanwhile. One held a moment is waited for.
  HANDLE file = INVALID_HANDLE_VALUE;
  const RetryWhileHeld retry;
  while ((file = CreateFileW(full.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr)) == INVALID_HANDLE_VALUE) {
    if (!retry.Again(GetLastError())) return nullptr;
  }
  BY_HANDLE_FILE_INFORMATION information{};
  LARGE_INTEGER size{};
  // The last guard: the file opened must be the one named.
  if (!OpenedAsNamed(file, full) || GetFileType(file) != FILE_TYPE_DISK ||
      !GetFileInformationByHandle(file, &information) ||
      (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !GetFileSizeEx(file, &size) ||
      size.QuadPart < 0) {
    CloseHandle(file);
    return nullptr;
  }
  // The output made while this input is open carries its zone.
  std::optional<std::string> zone = ReadZoneIdentifier(full);
  if (!zone) {
    CloseHandle(file);
    return nullptr;
  }
  return std::make_unique<Win32InputFile>(file, static_cast<std::uint64_t>(size.QuadPart), std::move(*zone));
}

Win32InputFile::Win32InputFile(HANDLE file, std::uint64_t size, std::string zone)
    : file_(file), size_(size), zone_(std::move(zone)) {}

Win32InputFile::~Win32InputFile() { CloseHandle(file_); }

bool Win32InputFile::ReadExactly(unsigned char* into, std::size_t count) {
  while (count > 0) {
    const DWORD piece = static_cast<DWORD>(count < LargestPiece ? count : LargestPiece);
    DWORD got = 0;
    if (!ReadFile(file_, into, piece, &got, nullptr) || got == 0) return false;
    into += got;
    count -= got;
  }
  return true;
}

// Nobody may write the file while it is open (see Open): what is left to
// tell is whether a byte lies past the size it had at the open.
bool Win32InputFile::AtEndUnchanged() {
  unsigned char extra;
  DWORD got = 0;
  return ReadFile(file_, &extra, 1, &got, nullptr) && got == 0;
}
