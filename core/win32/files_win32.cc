// Win32 files: Windows 7 or later; UTF-16 paths, passed whole as \\?\ paths; console events on a thread of their own.
// windows.h first, with the settings every file here shares; the rest depend on it.
#include "write_all.h"

#include <aclapi.h>
#include <bcrypt.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform.h"
#include "temporary_name.h"

namespace {

// The new content is marked for deletion from the moment it exists until it
// is renamed over the target, so whatever ends the process (End Task, a
// closed console, a crash) makes the system delete it. Only two short steps
// leave it unmarked: its creation and the rename. Both run under this lock,
// and a console event takes it for good: the process then ends at a point
// where the content is either marked or in place.
SRWLOCK unmarked_step = SRWLOCK_INIT;

class ExclusiveLock {
 public:
  explicit ExclusiveLock(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
  ~ExclusiveLock() { ReleaseSRWLockExclusive(&lock_); }
  ExclusiveLock(const ExclusiveLock&) = delete;
  ExclusiveLock& operator=(const ExclusiveLock&) = delete;

 private:
  SRWLOCK& lock_;
};

BOOL WINAPI HoldUnmarkedStep(DWORD) {
  // Kept: every handler of this program passes the event on, and the
  // default one ends the process. Released, the main thread could lift the
  // mark for its rename before the process is gone, and leave the content
  // behind. A second event's handler just waits for the end with it.
  AcquireSRWLockExclusive(&unmarked_step);
  return FALSE;
}

void InstallConsoleEventHandler() {
  static const bool installed = SetConsoleCtrlHandler(HoldUnmarkedStep, TRUE) != 0;
  static_cast<void>(installed);
}

// The full path with the \\?\ (or \\?\UNC\) prefix, so that neither the
// MAX_PATH limit nor any further rewriting applies; GetFullPathNameW makes it
// absolute and normalises it the way a plain path would have been.
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

// The Mark of the Web: the zone a file was downloaded from, which SmartScreen
// and Office's Protected View consult, kept in a stream of the file. A real
// one is a few short lines.
constexpr wchar_t ZoneStream[] = L":Zone.Identifier";
constexpr DWORD LargestZoneIdentifier = 64 * 1024;

// The zone stream of the file at `path`; empty when it has none (or its file
// system has no streams). nullopt when one is there but cannot be read now.
std::optional<std::string> ReadZoneIdentifier(const std::wstring& path) {
  const HANDLE stream =
      CreateFileW((path + ZoneStream).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (stream == INVALID_HANDLE_VALUE) {
    if (GetLastError() == ERROR_SHARING_VIOLATION) return std::nullopt;
    return std::string();
  }
  std::string zone(LargestZoneIdentifier, '\0');
  DWORD got = 0;
  const bool read = ReadFile(stream, &zone[0], LargestZoneIdentifier, &got, nullptr) != 0;
  CloseHandle(stream);
  if (!read) return std::nullopt;
  zone.resize(got);
  return zone;
}

// A named stream is part of its file on NTFS and goes with it when the file
// is renamed. Written before the file is marked for deletion: nothing of a
// file pending deletion can be opened any more.
bool WriteZoneIdentifier(const std::wstring& path, const std::string& zone) {
  if (zone.empty()) return true;
  const HANDLE stream =
      CreateFileW((path + ZoneStream).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (stream == INVALID_HANDLE_VALUE) return false;
  const bool written = WriteAllTo(stream, reinterpret_cast<const unsigned char*>(zone.data()), zone.size());
  return CloseHandle(stream) && written;
}

bool MarkForDeletion(HANDLE file, bool marked) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = marked;
  return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

// A folder or user quota, as a file server sets it (STATUS_DISK_QUOTA_EXCEEDED);
// ERROR_DISK_QUOTA_EXCEEDED, which older mingw-w64 headers lack.
constexpr DWORD DiskQuotaExceeded = 1295;

// Sets `size` bytes aside, so that a file that cannot fit fails before the
// first write. False only when the system says the space is not there; a
// file system that cannot reserve just goes on.
bool Reserve(HANDLE file, std::uint64_t size) {
  FILE_ALLOCATION_INFO allocation{};
  allocation.AllocationSize.QuadPart = static_cast<LONGLONG>(size);
  if (size == 0 || SetFileInformationByHandle(file, FileAllocationInfo, &allocation, sizeof allocation)) return true;
  switch (GetLastError()) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
    case ERROR_NOT_ENOUGH_QUOTA:
    case DiskQuotaExceeded:
    case ERROR_FILE_TOO_LARGE:
      return false;
    default:
      return true;
  }
}

bool HasOwnAces(const ACL* dacl) {
  for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (GetAce(const_cast<ACL*>(dacl), i, &ace) && (static_cast<ACE_HEADER*>(ace)->AceFlags & INHERITED_ACE) == 0) {
      return true;
    }
  }
  return false;
}

bool SameAces(const ACL* a, const ACL* b) {
  if (a == nullptr || b == nullptr) return a == b;
  if (a->AceCount != b->AceCount) return false;
  for (DWORD i = 0; i < a->AceCount; ++i) {
    void* x = nullptr;
    void* y = nullptr;
    if (!GetAce(const_cast<ACL*>(a), i, &x) || !GetAce(const_cast<ACL*>(b), i, &y)) return false;
    const WORD size = static_cast<ACE_HEADER*>(x)->AceSize;
    if (size != static_cast<ACE_HEADER*>(y)->AceSize || std::memcmp(x, y, size) != 0) return false;
  }
  return true;
}

// What the entries of `dacl` of one `type` that apply to the file itself
// give `sid`; with `leading`, only those ahead of the first that allows.
ACCESS_MASK MaskFor(const ACL* dacl, BYTE type, PSID sid, bool leading) {
  ACCESS_MASK mask = 0;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(const_cast<ACL*>(dacl), i, &ace)) break;
    const auto* entry = static_cast<ACCESS_ALLOWED_ACE*>(ace);  // a denying entry has the same layout
    if ((entry->Header.AceFlags & INHERIT_ONLY_ACE) != 0) continue;
    if (leading && entry->Header.AceType == ACCESS_ALLOWED_ACE_TYPE) break;
    if (entry->Header.AceType == type && EqualSid(sid, const_cast<DWORD*>(&entry->SidStart))) mask |= entry->Mask;
  }
  return mask;
}

// Whether every entry of `dacl` of one `type` that applies to the file is
// covered by what entries of that type in `by` give the same trustee. An
// entry of another kind (object, conditional) cannot be weighed: false.
bool Covered(const ACL* dacl, const ACL* by, BYTE type, bool leading) {
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(const_cast<ACL*>(dacl), i, &ace)) return false;
    const auto* entry = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    const BYTE kind = entry->Header.AceType;
    if ((entry->Header.AceFlags & INHERIT_ONLY_ACE) != 0) continue;
    if (kind != ACCESS_ALLOWED_ACE_TYPE && kind != ACCESS_DENIED_ACE_TYPE) return false;
    if (kind == type &&
        (MaskFor(by, type, const_cast<DWORD*>(&entry->SidStart), leading) & entry->Mask) != entry->Mask) {
      return false;
    }
  }
  return true;
}

// True when `now` lets nobody do what `before` did not: all it allows a
// trustee, `before` allowed that trustee, and all `before` denied a trustee,
// `now` denies ahead of anything it allows. Whoever holds several of the
// trustees then gets no more from `now` than from `before`. A null DACL
// allows everything; a copy of `before`, entry for entry, is no more open
// whatever the order of its entries.
bool NoMoreOpen(const ACL* now, const ACL* before) {
  if (before == nullptr || SameAces(now, before)) return true;
  if (now == nullptr) return false;
  return Covered(now, before, ACCESS_ALLOWED_ACE_TYPE, false) && Covered(before, now, ACCESS_DENIED_ACE_TYPE, true);
}

struct Dacl {
  PACL list = nullptr;
  bool is_protected = false;
  PSECURITY_DESCRIPTOR owner = nullptr;  // holds `list`
  ~Dacl() { LocalFree(owner); }
};

bool ReadDacl(HANDLE file, Dacl& dacl) {
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (GetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl.list, nullptr,
                      &dacl.owner) != ERROR_SUCCESS ||
      !GetSecurityDescriptorControl(dacl.owner, &control, &revision)) {
    return false;
  }
  dacl.is_protected = (control & SE_DACL_PROTECTED) != 0;
  return true;
}

// A replaced output is never more visible or more accessible than before:
// the old file's hidden and system attributes, and a DACL the user gave it
// (protected, or with entries of its own), go over to the new content. The
// archive attribute stays set, as on every new content, for backups to see
// it. False when the old file's settings cannot be read, or cannot be
// carried where the new content would be more open.
bool CarryOverSettings(const std::wstring& target, HANDLE content) {
  const HANDLE old = CreateFileW(target.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (old == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  }
  BY_HANDLE_FILE_INFORMATION information{};
  Dacl old_dacl;
  const bool read = GetFileInformationByHandle(old, &information) && ReadDacl(old, old_dacl);
  CloseHandle(old);  // a handle open on the target would stop the rename
  if (!read) return false;
  // The rename refuses a folder in any case.
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return true;

  const DWORD shown = information.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  if (shown != 0) {
    FILE_BASIC_INFO basic{};  // times left at zero stay as they are
    basic.FileAttributes = shown | FILE_ATTRIBUTE_ARCHIVE;
    if (!SetFileInformationByHandle(content, FileBasicInfo, &basic, sizeof basic)) return false;
  }
  if (!old_dacl.is_protected && !HasOwnAces(old_dacl.list)) return true;
  // Nothing to do when the folder already gave the new content the same
  // (so under Wine, whose file DACLs all look explicit).
  Dacl new_dacl;
  if (!ReadDacl(content, new_dacl)) return false;
  if (old_dacl.is_protected == new_dacl.is_protected && SameAces(old_dacl.list, new_dacl.list)) return true;
  // Unprotected, the entries it inherited are taken again from the folder,
  // which is the same one.
  const SECURITY_INFORMATION which =
      DACL_SECURITY_INFORMATION |
      (old_dacl.is_protected ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION);
  // What counts is the DACL the content ends with. A server may refuse to
  // set one (a share without the right to change permissions) or map it to
  // permissions of its own, and may show every DACL as explicit (Samba):
  // where the content is no more open than the old file all the same, the
  // replace is what the user could do by hand, and keeps the promise.
  if (SetSecurityInfo(content, SE_FILE_OBJECT, which, nullptr, nullptr, old_dacl.list, nullptr) == ERROR_SUCCESS) {
    Dacl set;
    return ReadDacl(content, set) && NoMoreOpen(set.list, old_dacl.list);
  }
  return NoMoreOpen(new_dacl.list, old_dacl.list);
}

// Whether a refused replace may succeed a moment later: scanners, indexers,
// previews and sync clients hold a file briefly. Replacing a file that is
// open gives "access denied", as a read-only file or a folder does for good.
bool MayPass(DWORD error, const std::wstring& target) {
  if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) return true;
  if (error != ERROR_ACCESS_DENIED) return false;
  const DWORD attributes = GetFileAttributesW(target.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) == 0;
}

constexpr ULONGLONG ReplaceRetryMilliseconds = 2000;
constexpr DWORD ReplacePauseMilliseconds = 100;

// Renames the content over `target` by its handle, retrying for a while
// when the target is held. The mark for deletion is lifted just for the
// rename and set again when it fails: a file renamed while still marked
// would be deleted under the target's name, after the old output is gone.
bool PutInPlace(HANDLE content, const std::wstring& target) {
  // The kernel's own form of the path (\\?\ and \\.\ both stand for \??\):
  // Windows 7 passes the name to the file system as it stands, later
  // versions convert a DOS path and leave this form alone.
  const bool prefixed = target.compare(0, 4, L"\\\\?\\") == 0 || target.compare(0, 4, L"\\\\.\\") == 0;
  const std::wstring name = prefixed ? L"\\??\\" + target.substr(4) : target;
  std::vector<unsigned char> buffer(
      std::max(sizeof(FILE_RENAME_INFO), offsetof(FILE_RENAME_INFO, FileName) + (name.size() + 1) * sizeof(wchar_t)));
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = TRUE;
  rename->RootDirectory = nullptr;
  // In bytes; a path never nears 4 GiB (the system caps it at 32767 units).
  rename->FileNameLength = static_cast<DWORD>(name.size()) * DWORD{sizeof(wchar_t)};
  std::memcpy(rename->FileName, name.c_str(), (name.size() + 1) * sizeof(wchar_t));

  const ULONGLONG deadline = GetTickCount64() + ReplaceRetryMilliseconds;
  for (;;) {
    DWORD error = 0;
    {
      ExclusiveLock step(unmarked_step);
      if (!MarkForDeletion(content, false)) return false;
      if (SetFileInformationByHandle(content, FileRenameInfo, rename, static_cast<DWORD>(buffer.size()))) {
        return true;
      }
      error = GetLastError();
      if (!MarkForDeletion(content, true)) return false;
    }
    if (!MayPass(error, target) || GetTickCount64() >= deadline) return false;
    Sleep(ReplacePauseMilliseconds);
  }
}

std::uint32_t RandomToken() {
  std::uint32_t token = 0;
  if (!BCRYPT_SUCCESS(
          BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&token), sizeof token, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
    // Uniqueness is what matters here, and CREATE_NEW guards it anyway.
    static std::uint32_t counter = 0;
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    token = static_cast<std::uint32_t>(now.QuadPart) ^ (GetCurrentProcessId() << 16) ^ ++counter;
  }
  return token;
}

// The output's new content, which the core holds by its address.
struct NewContent {
  HANDLE file = INVALID_HANDLE_VALUE;
  std::wstring path;
  // Where the output replaces a file, its content goes to the disk as it is
  // written, a flush each FlushStep: the progress line then follows the
  // disk, and the flush before the rename has little left to wait for.
  bool replaces = false;
  std::uint64_t unflushed = 0;
};
constexpr std::uint64_t FlushStep = std::uint64_t{64} << 20;

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

NewContent* AsContent(FileHandle output) { return reinterpret_cast<NewContent*>(output); }

// Wine keeps a stream as a file of its own beside its file, which neither a
// rename nor the deletion takes along: removed by name, which on NTFS finds
// nothing once the file has gone.
void RemoveLeftOverZoneStream(const NewContent& content) { DeleteFileW((content.path + ZoneStream).c_str()); }

// Closes the content and lets the system delete it; by name if the mark
// could not be set.
void Abandon(const NewContent& content) {
  const bool marked = MarkForDeletion(content.file, true);
  CloseHandle(content.file);
  if (!marked) DeleteFileW(content.path.c_str());
  RemoveLeftOverZoneStream(content);
}

class Win32FileSystem final : public FileSystem {
 public:
  std::optional<OpenedInput> OpenInput(const WidePath& path) override {
    const std::wstring full = LongPath(path);
    // Sharing read access, and deletion so the user may still move it: a
    // file another process holds open for writing is refused here, and
    // nobody may start writing it meanwhile.
    const HANDLE file = CreateFileW(full.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::nullopt;
    BY_HANDLE_FILE_INFORMATION information{};
    LARGE_INTEGER size{};
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !GetFileSizeEx(file, &size) ||
        size.QuadPart < 0) {
      CloseHandle(file);
      return std::nullopt;
    }
    // The output made while this input is open carries its zone.
    std::optional<std::string> zone = ReadZoneIdentifier(full);
    if (!zone) {
      CloseHandle(file);
      return std::nullopt;
    }
    input_zone_ = std::move(*zone);
    input_ = file;
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

  void CloseInput(FileHandle input) override {
    if (AsHandle(input) == input_) LetGoOfInput();
    input_zone_.clear();
  }

  bool MayReplace(const WidePath& target) override {
    // Asked outright: some file systems' rename replaces a read-only target.
    const DWORD attributes = GetFileAttributesW(LongPath(target).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;
    return (attributes & FILE_ATTRIBUTE_READONLY) == 0 || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }

  std::optional<FileHandle> CreateOutput(const WidePath& target, std::uint64_t final_size) override {
    InstallConsoleEventHandler();
    const std::wstring full_target = LongPath(target);
    for (int attempt = 0; attempt < 16; ++attempt) {
      auto content = std::make_unique<NewContent>();
      content->path = TemporaryPathFor(full_target, RandomToken());
      {
        ExclusiveLock step(unmarked_step);
        // DELETE to mark it for deletion and to rename it; READ_CONTROL and
        // WRITE_DAC to take over a replaced output's DACL. A share may grant
        // changing files but not their permissions: then without WRITE_DAC.
        for (const DWORD permissions : {DWORD{WRITE_DAC}, DWORD{0}}) {
          content->file = CreateFileW(content->path.c_str(), GENERIC_WRITE | DELETE | READ_CONTROL | permissions, 0,
                                      nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
          if (content->file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_ACCESS_DENIED) break;
        }
        if (content->file == INVALID_HANDLE_VALUE) {
          const DWORD error = GetLastError();
          if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;
          return std::nullopt;
        }
        if (!WriteZoneIdentifier(content->path, input_zone_) || !MarkForDeletion(content->file, true)) {
          Abandon(*content);
          return std::nullopt;
        }
      }
      if (!Reserve(content->file, final_size)) {
        Abandon(*content);
        return std::nullopt;
      }
      content->replaces = Exists(full_target);
      return reinterpret_cast<FileHandle>(content.release());
    }
    return std::nullopt;
  }

  bool WriteAll(FileHandle output, const unsigned char* from, std::size_t count) override {
    NewContent& content = *AsContent(output);
    if (!WriteAllTo(content.file, from, count)) return false;
    if (!content.replaces || (content.unflushed += count) < FlushStep) return true;
    content.unflushed = 0;
    return FlushFileBuffers(content.file) != 0;
  }

  bool CommitOutput(FileHandle output, const WidePath& target) override {
    const std::unique_ptr<NewContent> content(AsContent(output));
    // Every byte of the input has been read. The system refuses to replace
    // a file that is open, and the output's name may be another name of the
    // input (a hard link): the input is closed before its place is taken.
    LetGoOfInput();
    const std::wstring full_target = LongPath(target);
    // What the name held must give way only to content on the disk: the
    // rename is logged at once, the data written back later, and a crash in
    // between would leave the name on zeros. A new name is not waited for: a
    // crash can only lose what did not exist before.
    if ((Exists(full_target) && !FlushFileBuffers(content->file)) || !CarryOverSettings(full_target, content->file) ||
        !PutInPlace(content->file, full_target)) {
      Abandon(*content);
      return false;
    }
    CloseHandle(content->file);
    RemoveLeftOverZoneStream(*content);
    return true;
  }

  void DiscardOutput(FileHandle output) override {
    const std::unique_ptr<NewContent> content(AsContent(output));
    Abandon(*content);
  }

 private:
  void LetGoOfInput() {
    if (input_ != INVALID_HANDLE_VALUE) CloseHandle(input_);
    input_ = INVALID_HANDLE_VALUE;
  }

  HANDLE input_ = INVALID_HANDLE_VALUE;  // open from OpenInput until the commit or CloseInput
  std::string input_zone_;
};

}  // namespace

FileSystem& SystemFileSystem() {
  static Win32FileSystem files;
  return files;
}
