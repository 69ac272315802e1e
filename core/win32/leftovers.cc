// Windows 7 or later; a file marked for deletion by its handle goes once its last handle is closed.
#include "leftovers.h"

#include "owned_handle.h"
#include "windows_headers.h"

std::vector<WidePath> Win32LeftoverFolder::Names() {
  std::vector<WidePath> names;
  WIN32_FIND_DATAW entry{};
  const OwnedSearch search(
      FindFirstFileExW((folder_ + L"*").c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, 0));
  if (!search) return names;
  do names.emplace_back(entry.cFileName);
  while (FindNextFileW(search.get(), &entry));
  return names;
}

void Win32LeftoverFolder::RemoveIfAbandoned(const WidePath& name) {
  const OwnedHandle file(CreateFileW((folder_ + name).c_str(), DELETE | FILE_READ_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) return;
  constexpr DWORD NotRegular = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
  BY_HANDLE_FILE_INFORMATION information{};
  if (GetFileType(file.get()) == FILE_TYPE_DISK && GetFileInformationByHandle(file.get(), &information) &&
      (information.dwFileAttributes & NotRegular) == 0) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition, sizeof disposition);
  }
}
