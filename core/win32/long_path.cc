// Windows 7 or later (Wine 8 too); UTF-16 paths as the command line gave them, relative ones to the current folder.
#include "long_path.h"

#include "windows_headers.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "owned_handle.h"

namespace {

bool Begins(const std::wstring& text, const wchar_t* start) { return text.compare(0, std::wcslen(start), start) == 0; }

bool IsSeparator(wchar_t unit) { return unit == L'\\' || unit == L'/'; }

// As NTFS compares names.
bool SameIgnoringCase(const wchar_t* a, std::size_t a_size, const wchar_t* b, std::size_t b_size) {
  return CompareStringOrdinal(a, static_cast<int>(a_size), b, static_cast<int>(b_size), TRUE) == CSTR_EQUAL;
}

// GetFullPathNameW's answer for a bare drive ("C:", its current folder) or
// a bare separator (the current drive's root): no element to rewrite.
std::wstring FullPathName(const wchar_t* path) {
  const DWORD needed = GetFullPathNameW(path, 0, nullptr, nullptr);
  if (needed == 0) return {};
  std::wstring full(needed, L'\0');
  const DWORD length = GetFullPathNameW(path, needed, &full[0], nullptr);
  if (length == 0 || length >= needed) return {};
  full.resize(length);
  return full;
}

std::wstring CurrentFolder() {
  const DWORD needed = GetCurrentDirectoryW(0, nullptr);
  std::wstring folder(needed, L'\0');
  const DWORD length = needed == 0 ? 0 : GetCurrentDirectoryW(needed, &folder[0]);
  folder.resize(length < needed ? length : 0);
  return folder;
}

// `root` followed by the elements of `rest`: empty ones and "." dropped,
// ".." taking the one before it away (never the root), all others as typed.
std::wstring Resolved(std::wstring root, const std::wstring& rest) {
  const std::size_t root_size = root.size();
  for (std::size_t start = 0; start < rest.size();) {
    const std::size_t end = std::min(rest.find_first_of(L"\\/", start), rest.size());
    const std::wstring_view element(rest.c_str() + start, end - start);
    if (element == L"..") {
      root.resize(std::max(root_size, std::min(root.size(), root.find_last_of(L'\\'))));
    } else if (!element.empty() && element != L".") {
      (root += L'\\') += element;
    }
    start = end + 1;
  }
  return root;
}

std::size_t ElementEnd(const std::wstring& path, std::size_t start) {
  return std::min(path.find_first_of(L"\\/", start), path.size());
}

bool IsDrive(const std::wstring& path) { return path.size() >= 2 && path[1] == L':' && std::iswalpha(path[0]); }

// The elements of a path, last first, separators of either kind.
std::vector<std::wstring_view> ElementsLastFirst(const std::wstring& path) {
  std::vector<std::wstring_view> elements;
  for (std::size_t start = 0; start <= path.size();) {
    const std::size_t end = ElementEnd(path, start);
    if (end > start) elements.emplace_back(path.c_str() + start, end - start);
    start = end + 1;
  }
  return {elements.rbegin(), elements.rend()};
}

bool Same(std::wstring_view a, std::wstring_view b) { return SameIgnoringCase(a.data(), a.size(), b.data(), b.size()); }

bool SameFile(HANDLE a, HANDLE b) {
  BY_HANDLE_FILE_INFORMATION one{}, other{};
  return GetFileInformationByHandle(a, &one) && GetFileInformationByHandle(b, &other) &&
         one.dwVolumeSerialNumber == other.dwVolumeSerialNumber && one.nFileIndexHigh == other.nFileIndexHigh &&
         one.nFileIndexLow == other.nFileIndexLow;
}

OwnedHandle OpenToLookAt(const std::wstring& full) {
  return OwnedHandle(CreateFileW(full.c_str(), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

// Whether `name` has the form of a short alias: a stem of at most eight
// units holding a "~", an extension of at most three, and no wildcard (a
// search would match it against other names).
bool LooksLikeAlias(std::wstring_view name) {
  const std::size_t dot = name.find(L'.');
  const std::size_t stem = std::min(dot, name.size());
  return name.find(L'~') < stem && stem <= 8 && name.find_first_of(L"*?<>\"") == name.npos &&
         (dot == name.npos || (name.size() - dot - 1 <= 3 && name.find(L'.', dot + 1) == name.npos));
}

// %windir% in the \\?\ form when this process's System32 is redirected.
const std::wstring& RedirectedWindows() {
  static const std::wstring windows = [] {
    BOOL wow64 = FALSE;
    wchar_t folder[MAX_PATH];
    const UINT length = GetSystemWindowsDirectoryW(folder, MAX_PATH);
    if (!IsWow64Process(GetCurrentProcess(), &wow64) || !wow64 || length == 0 || length >= MAX_PATH) {
      return std::wstring();
    }
    return L"\\\\?\\" + std::wstring(folder, length);
  }();
  return windows;
}

bool IsAbsolute(const std::wstring& path) {
  return path.size() > 2 && ((IsDrive(path) && IsSeparator(path[2])) || (IsSeparator(path[0]) && IsSeparator(path[1])));
}

// Where the first `count` elements of `path` from `start` end.
std::size_t AfterElements(const std::wstring& path, std::size_t start, int count) {
  std::size_t end = start;
  for (int element = 0; element < count && end < path.size(); ++element) end = ElementEnd(path, end + (element > 0));
  return end;
}

// The \\?\ form of an absolute `path`: its root (a drive, a share, a device)
// as given, the rest resolved as typed.
std::wstring Rooted(const std::wstring& path) {
  std::size_t start = 0, end = 2;  // a drive
  std::wstring root = L"\\\\?\\";
  if (!IsDrive(path)) {
    const bool device = (path[2] == L'.' || path[2] == L'?') && path.size() > 3 && IsSeparator(path[3]);
    start = device ? 4 : 2;
    const std::size_t first = ElementEnd(path, start);
    const bool share = !device || Same({path.c_str() + start, first - start}, L"UNC");
    end = AfterElements(path, start, !device ? 2 : share ? 3 : 1);  // server and share; UNC, server and share; a name
    if (!device) root += L"UNC\\";
  }
  root += path.substr(start, end - start);
  std::replace(root.begin(), root.end(), L'/', L'\\');
  std::wstring full = Resolved(root, path.substr(end));
  return full.back() == L':' ? full + L'\\' : full;  // a drive's root folder, not its volume
}

}  // namespace

std::size_t LastElementStart(const std::wstring& path) {
  const std::size_t separator = path.find_last_of(L"\\/:");
  return separator == std::wstring::npos ? 0 : separator + 1;
}

std::wstring LongPath(const WidePath& path) {
  // GetFullPathNameW would strip a trailing dot or space from every element
  // (d./cat.png. would read d/cat.png) and turn a legacy device name
  // (COM3.png) into the device (a serial port's open resets the board behind
  // it): the path is resolved here, and it is given only a bare drive or
  // separator, to learn the current folder of a drive or the current root.
  std::wstring full;
  if (Begins(path, L"\\\\?\\")) {
    full = path;
  } else if (IsAbsolute(path)) {
    full = Rooted(path);
  } else {
    const bool on_drive = IsDrive(path), at_root = !path.empty() && IsSeparator(path[0]);
    const std::wstring base = on_drive  ? FullPathName(path.substr(0, 2).c_str())
                              : at_root ? FullPathName(L"\\")
                                        : CurrentFolder();
    if (!IsAbsolute(base)) return {};
    return LongPath(base + L'\\' + (on_drive ? path.substr(2) : path));
  }
  return AroundRedirection(full, RedirectedWindows());
}

std::wstring AroundRedirection(const std::wstring& full, const std::wstring& windows) {
  const auto within = [&full, &windows](const wchar_t* tail) {
    const std::wstring folder = windows + tail;
    return full.size() >= folder.size() &&
           SameIgnoringCase(full.c_str(), folder.size(), folder.c_str(), folder.size()) &&
           (full.size() == folder.size() || full[folder.size()] == L'\\');
  };
  if (windows.empty()) return full;
  if (within(L"\\lastgood\\System32") || within(L"\\regedit.exe")) return {};
  if (!within(L"\\System32")) return full;
  std::wstring reached = full;
  return reached.replace(windows.size() + 1, std::wcslen(L"System32"), L"Sysnative");
}

WidePath WithLongNames(const WidePath& path) {
  // An alias at a time, looked up in the \\?\ form: Explorer hands over short
  // paths exactly when the long one reaches MAX_PATH, which GetLongPathNameW
  // only passes in that form; and a search leaves every other element, case
  // included, as given.
  WidePath result;
  for (std::size_t start = 0; start <= path.size();) {
    const std::size_t end = ElementEnd(path, start);
    const std::wstring_view element(path.c_str() + start, end - start);
    const std::wstring full = LooksLikeAlias(element) ? LongPath(path.substr(0, end)) : std::wstring();
    WIN32_FIND_DATAW entry{};
    const OwnedSearch search(
        full.empty() ? INVALID_HANDLE_VALUE
                     : FindFirstFileExW(full.c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, 0));
    result += search ? std::wstring_view(entry.cFileName) : element;
    if (end < path.size()) result += path[end];
    start = end + 1;
  }
  return result;
}

bool NamesNothingOrItsOwnName(const std::wstring& full) {
  // GetLongPathNameW gives a \\?\ path back as it is, under Wine at least;
  // a search gives the entry's own name, whichever of its names matched.
  WIN32_FIND_DATAW entry{};
  const OwnedSearch search(FindFirstFileExW(full.c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, 0));
  if (!search) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  }
  const std::size_t named = LastElementStart(full);
  return SameIgnoringCase(entry.cFileName, std::wcslen(entry.cFileName), full.c_str() + named, full.size() - named);
}

OpenedName WhatTheNameTells(const std::wstring& named, const std::wstring& opened) {
  // Past the first element that differs lies a link's target or a volume:
  // nothing more can be paired.
  const auto named_elements = ElementsLastFirst(named), opened_elements = ElementsLastFirst(opened);
  for (std::size_t at = 0; at < std::min(named_elements.size(), opened_elements.size()); ++at) {
    const std::wstring_view name = named_elements[at], got = opened_elements[at];
    if (Same(name, got)) continue;
    const std::size_t kept = name.find_last_not_of(L". ") + 1;  // 0 when all dots and spaces: dropped outright
    if (kept < name.size() && (kept == 0 || Same(name.substr(0, kept), got))) return OpenedName::Trimmed;
    const bool system = Same(name, L"System32") || Same(name, L"Sysnative");
    return system && Same(got, L"SysWOW64") ? OpenedName::Redirected : OpenedName::NothingTold;
  }
  return OpenedName::NothingTold;
}

bool OpenedAsNamed(HANDLE file, const std::wstring& named) {
  // A file system that tells no name leaves nothing to compare.
  constexpr DWORD Form = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
  std::wstring opened(named.size() + MAX_PATH, L'\0');
  DWORD length = GetFinalPathNameByHandleW(file, &opened[0], static_cast<DWORD>(opened.size()), Form);
  if (length >= opened.size()) {  // the size it needs, its terminator included
    opened.resize(length);
    length = GetFinalPathNameByHandleW(file, &opened[0], static_cast<DWORD>(opened.size()), Form);
  }
  if (length == 0 || length >= opened.size()) return true;
  opened.resize(length);
  switch (WhatTheNameTells(named, opened)) {
    case OpenedName::NothingTold:
      return true;
    case OpenedName::Redirected:
      return false;
    case OpenedName::Trimmed:
      break;
  }
  // Either the trimmed name was opened, or the name query itself drops
  // trailing dots (Wine's does): the file that name opens tells which.
  const OwnedHandle trimmed = OpenToLookAt(opened);
  return !trimmed || !SameFile(file, trimmed.get());
}

bool FolderOpensAsNamed(const std::wstring& full) {
  const std::wstring folder = full.substr(0, LastElementStart(full));
  const OwnedHandle handle = OpenToLookAt(folder);
  // One that cannot be opened is left to the creation, which names it again.
  return !handle || OpenedAsNamed(handle.get(), folder);
}

bool ShellCanOpen(const std::wstring& name) {
  if (name.empty() || name.back() == L'.' || name.back() == L' ') return false;
  // A device name stands for the device whatever follows a dot, and with
  // spaces before it (NUL .txt).
  std::wstring_view stem(name.c_str(), std::min(name.find(L'.'), name.size()));
  stem = stem.substr(0, stem.find_last_not_of(L' ') + 1);
  for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL"}) {
    if (Same(stem, device)) return false;
  }
  const bool numbered = stem.size() == 4 && (Same(stem.substr(0, 3), L"COM") || Same(stem.substr(0, 3), L"LPT"));
  const wchar_t number = numbered ? stem[3] : L'x';
  return !((number >= L'0' && number <= L'9') || number == L'\u00b9' || number == L'\u00b2' || number == L'\u00b3');
}
