// Windows 7 or later; paths in the \\?\ form; a real zone stream is a few short lines, never past 64 KiB.
#include "zone_identifier.h"

#include "held_for_a_moment.h"
#include "owned_handle.h"
#include "windows_headers.h"
#include "write_all.h"

namespace {

constexpr wchar_t ZoneStream[] = L":Zone.Identifier";
constexpr DWORD LargestZoneIdentifier = 64 * 1024;

}  // namespace

std::optional<std::string> ReadZoneIdentifier(const std::wstring& path, Failure& failure) {
  const std::wstring stream_path = path + ZoneStream;
  // A scanner may hold the stream a moment, as it holds the file itself.
  const RetryWhileHeld retry;
  for (;;) {
    const OwnedHandle stream(CreateFileW(stream_path.c_str(), GENERIC_READ,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD error = GetLastError();
    if (!stream) {
      if (retry.Again(error)) continue;
      if (!MeansHeldForAMoment(error, INVALID_FILE_ATTRIBUTES)) return std::string();
    } else {
      std::string zone(LargestZoneIdentifier, '\0');
      DWORD got = 0;
      if (ReadFile(stream.get(), &zone[0], LargestZoneIdentifier, &got, nullptr)) {
        zone.resize(got);
        return zone;
      }
      error = GetLastError();
      if (retry.Again(error)) continue;
    }
    failure = SystemFailure(Step::OpenInput, stream_path, error);
    return std::nullopt;
  }
}

bool WriteZoneIdentifier(const std::wstring& path, const std::string& zone, Failure& failure) {
  if (zone.empty()) return true;
  const std::wstring stream_path = path + ZoneStream;
  OwnedHandle stream(CreateFileW(stream_path.c_str(), GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
  if (stream && WriteAllTo(stream.get(), reinterpret_cast<const unsigned char*>(zone.data()), zone.size()) &&
      stream.Close()) {
    return true;
  }
  failure = SystemFailure(Step::CreateContent, stream_path, GetLastError());
  return false;
}

void RemoveLeftOverZoneStream(const std::wstring& path) { DeleteFileW((path + ZoneStream).c_str()); }
