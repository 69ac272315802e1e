// Windows 7 or later (Wine 8 too); UTF-16 paths as the command line gave them, relative ones to the current folder.
#include "long_path.h"

#include "windows_headers.h"

#include <algorithm>
#include <cwchar>

namespace {

bool Begins(const std::wstring& text, const wchar_t* start) { return text.compare(0, std::wcslen(start), start) == 0; }

bool IsSeparator(wchar_t unit) { return unit == L'\\' || unit == L'/'; }

// As NTFS compares names.
bool SameIgnoringCase(const wchar_t* a, std::size_t a_size, const wchar_t* b, std::size_t b_size) {
  return CompareStringOrdinal(a, static_cast<int>(a_size), b, static_cast<int>(b_size), TRUE) == CSTR_EQUAL;
}

std::wstring FullPathName(const std::wstring& path) {
  const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return {};
  std::wstring full(needed, L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), needed, &full[0], nullptr);
  if (length == 0 || length >= needed) return {};
  full.resize(length);
  return full;
}

// A 32-bit program on 64-bit Windows has System32 redirected to SysWOW64,
// \\?\ paths included, while the user means the folder named; Sysnative
// reaches it. Only this path is rerouted: redirection stays on for the
// process, whose own libraries must still come from SysWOW64.
std::wstring ReachedAsNamed(std::wstring full) {
  static const std::wstring system32 = [] {
    BOOL wow64 = FALSE;
    wchar_t windows[MAX_PATH];
    const UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
    if (!IsWow64Process(GetCurrentProcess(), &wow64) || !wow64 || length == 0 || length >= MAX_PATH)
      return std::wstring();
    return L"\\\\?\\" + std::wstring(windows, length) + L"\\System32";
  }();
  const std::size_t size = system32.size();
  if (size == 0 || full.size() <= size || !IsSeparator(full[size]) ||
      !SameIgnoringCase(full.c_str(), size, system32.c_str(), size)) {
    return full;
  }
  return full.replace(size - std::wcslen(L"System32"), std::wcslen(L"System32"), L"Sysnative");
}

// Whether `element` has the form of a short alias: a stem of at most eight
// units holding a "~", and an extension of at most three.
bool LooksLikeAlias(const wchar_t* element, std::size_t size) {
  const std::wstring_view name(element, size);
  const std::size_t dot = name.find(L'.');
  const std::size_t stem = std::min(dot, name.size());
  return name.find(L'~') < stem && stem <= 8 &&
         (dot == std::wstring_view::npos || (name.size() - dot - 1 <= 3 && name.find(L'.', dot + 1) == name.npos));
}

}  // namespace

std::size_t LastElementStart(const std::wstring& path) {
  const std::size_t separator = path.find_last_of(L"\\/:");
  return separator == std::wstring::npos ? 0 : separator + 1;
}

std::wstring LongPath(const WidePath& path) {
  if (Begins(path, L"\\\\?\\") || Begins(path, L"\\\\.\\")) return path;
  // GetFullPathNameW strips a trailing dot or space from the last element
  // (cat.png. would read cat.png) and turns a legacy device name (COM3.png)
  // into the device (a serial port's open resets the board behind it): it
  // is given only the folder.
  const std::size_t name_start = LastElementStart(path);
  const std::wstring name = path.substr(name_start);
  const bool literal_name = !name.empty() && name != L"." && name != L"..";
  std::wstring full = FullPathName(!literal_name ? path : name_start == 0 ? L".\\" : path.substr(0, name_start));
  if (full.empty() || Begins(full, L"\\\\.\\")) return path;
  if (literal_name) {
    if (!IsSeparator(full.back())) full += L'\\';
    full += name;
  }
  return ReachedAsNamed(Begins(full, L"\\\\") ? L"\\\\?\\UNC\\" + full.substr(2) : L"\\\\?\\" + full);
}

WidePath WithLongNames(const WidePath& path) {
  const DWORD needed = GetLongPathNameW(path.c_str(), nullptr, 0);
  if (needed == 0) return path;
  std::wstring expanded(needed, L'\0');
  const DWORD length = GetLongPathNameW(path.c_str(), &expanded[0], needed);
  if (length == 0 || length >= needed) return path;
  expanded.resize(length);
  // Element by element: GetLongPathNameW also gives long elements the case
  // they have on the disk, and stands for a device where a name is one.
  WidePath result;
  for (std::size_t given = 0, got = 0;;) {
    const std::size_t given_end = std::min(path.find_first_of(L"\\/", given), path.size());
    const std::size_t got_end = std::min(expanded.find_first_of(L"\\/", got), expanded.size());
    const bool expand =
        LooksLikeAlias(path.c_str() + given, given_end - given) &&
        !SameIgnoringCase(path.c_str() + given, given_end - given, expanded.c_str() + got, got_end - got);
    result.append(expand ? expanded : path, expand ? got : given, expand ? got_end - got : given_end - given);
    if (given_end == path.size() || got_end == expanded.size()) {
      return given_end == path.size() && got_end == expanded.size() ? result : path;
    }
    result += path[given_end];
    given = given_end + 1;
    got = got_end + 1;
  }
}

bool NamesNothingOrItsOwnName(const std::wstring& full) {
  // GetLongPathNameW gives a \\?\ path back as it is, under Wine at least;
  // a search gives the entry's own name, whichever of its names matched.
  WIN32_FIND_DATAW entry{};
  const HANDLE search = FindFirstFileExW(full.c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  }
  FindClose(search);
  const std::size_t named = LastElementStart(full);
  return SameIgnoringCase(entry.cFileName, std::wcslen(entry.cFileName), full.c_str() + named, full.size() - named);
}
