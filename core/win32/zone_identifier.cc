// Windows 7 or later; paths in the \\?\ form; a real zone stream is a few short lines, never past 64 KiB.
#include "zone_identifier.h"

#include "held_for_a_moment.h"
#include "windows_headers.h"
#include "write_all.h"

namespace {

constexpr wchar_t ZoneStream[] = L":Zone.Identifier";
constexpr DWORD LargestZoneIdentifier = 64 * 1024;

}  // namespace

std::optional<std::string> ReadZoneIdentifier(const std::wstring& path) {
  // A scanner may hold the stream a moment, as it holds the file itself.
  const RetryWhileHeld retry;
  for (;;) {
    const HANDLE stream =
        CreateFileW((path + ZoneStream).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (stream == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      if (retry.Again(error)) continue;
      if (MeansHeldForAMoment(error, INVALID_FILE_ATTRIBUTES)) return std::nullopt;
      return std::string();
    }
    std::string zone(LargestZoneIdentifier, '\0');
    DWORD got = 0;
    const bool read = ReadFile(stream, &zone[0], LargestZoneIdentifier, &got, nullptr) != 0;
    const DWORD error = GetLastError();
    CloseHandle(stream);
    if (read) {
      zone.resize(got);
      return zone;
    }
    if (!retry.Again(error)) return std::nullopt;
  }
}

bool WriteZoneIdentifier(const std::wstring& path, const std::string& zone) {
  if (zone.empty()) return true;
  const HANDLE stream =
      CreateFileW((path + ZoneStream).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (stream == INVALID_HANDLE_VALUE) return false;
  const bool written = WriteAllTo(stream, reinterpret_cast<const unsigned char*>(zone.data()), zone.size());
  return CloseHandle(stream) && written;
}

void RemoveLeftOverZoneStream(const std::wstring& path) { DeleteFileW((path + ZoneStream).c_str()); }
