// Windows 7 or later; UTF-16 paths as the command line gave them, relative ones to the current folder.
#include "long_path.h"

#include "windows_headers.h"

#include <cwchar>

std::wstring LongPath(const WidePath& path) {
  const auto begins = [](const std::wstring& text, const wchar_t* start) {
    return text.compare(0, std::wcslen(start), start) == 0;
  };
  // Already literal, or a device: used as given.
  if (begins(path, L"\\\\?\\") || begins(path, L"\\\\.\\")) return path;
  const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return path;
  std::wstring full(needed, L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), needed, &full[0], nullptr);
  if (length == 0 || length >= needed) return path;
  full.resize(length);
  if (begins(full, L"\\\\.\\")) return full;  // a reserved name such as NUL
  if (begins(full, L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}
