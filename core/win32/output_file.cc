// Windows 7 or later (Wine 8 too); marking for deletion and renaming by handle; one thread writes, events on another.
#include "output_file.h"

#include "windows_headers.h"

#include <bcrypt.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <string>
#include <utility>
#include <vector>

#include "held_for_a_moment.h"
#include "leftovers.h"
#include "long_path.h"
#include "owned_handle.h"
#include "replaced_permissions.h"
#include "signals.h"
#include "temporary_name.h"
#include "write_all.h"
#include "zone_identifier.h"

namespace {

// Whether the file at `target`, with these attributes, may be replaced by
// this run: nothing there, or a file not marked read-only, named by its own
// name rather than its short alias. Read-only is asked outright: some file
// systems' rename replaces a read-only target (so does Wine's).
bool MayReplace(const std::wstring& target, DWORD target_attributes, Failure& failure) {
  if (target_attributes == INVALID_FILE_ATTRIBUTES) return true;
  // Refused before anything is made: the content would go beside the folder,
  // in a folder the user did not name (".xyz" restores to its own folder).
  if ((target_attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    failure = RuleFailure(Step::LookAtTarget, target, u"a folder");
    return false;
  }
  if ((target_attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    failure = RuleFailure(Step::LookAtTarget, target, u"marked read-only");
    return false;
  }
  if (!NamesNothingOrItsOwnName(target)) {
    failure = RuleFailure(Step::LookAtTarget, target, u"another file's short name, or cannot tell");
    return false;
  }
  return true;
}

bool MarkForDeletion(HANDLE file, bool marked) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = marked;
  return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

// 0 once the file is on the disk, else the system's error; 0 too where the
// file system offers no flush (see MeansNoFlushOffered).
DWORD FlushError(HANDLE file) {
  if (FlushFileBuffers(file)) return 0;
  const DWORD error = GetLastError();
  return MeansNoFlushOffered(error) ? 0 : error;
}

// Whether `full` (a LongPath) lies on a share, where the server may grant
// changing files but not their permissions.
bool OnRemoteVolume(const std::wstring& full) {
  std::wstring root(full.size() + 1, L'\0');
  if (!GetVolumePathNameW(full.c_str(), &root[0], static_cast<DWORD>(root.size()))) return false;
  root.resize(std::wcslen(root.c_str()));
  if (root.compare(0, 8, L"\\\\?\\UNC\\") == 0) return true;
  if (root.compare(0, 4, L"\\\\?\\") == 0) root.erase(0, 4);
  return GetDriveTypeW(root.c_str()) == DRIVE_REMOTE;
}

// A folder or user quota, as a file server sets it (STATUS_DISK_QUOTA_EXCEEDED);
// ERROR_DISK_QUOTA_EXCEEDED, which older mingw-w64 headers lack.
constexpr DWORD DiskQuotaExceeded = 1295;

// Sets `size` bytes aside, so that a file that cannot fit fails before the
// first write. 0 unless the system says the space is not there (its error
// then); a file system that cannot reserve just goes on.
DWORD ReserveError(HANDLE file, std::uint64_t size) {
  FILE_ALLOCATION_INFO allocation{};
  allocation.AllocationSize.QuadPart = static_cast<LONGLONG>(size);
  if (size == 0 || SetFileInformationByHandle(file, FileAllocationInfo, &allocation, sizeof allocation)) return 0;
  const DWORD error = GetLastError();
  switch (error) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
    case ERROR_NOT_ENOUGH_QUOTA:
    case DiskQuotaExceeded:
    case ERROR_FILE_TOO_LARGE:
      return error;
    default:
      return 0;
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

// Every output's content goes to the disk as it is written, a flush each
// FlushStep: the progress line then follows the disk rather than the cache,
// and the flush before the rename has little left to wait for.
constexpr std::uint64_t FlushStep = std::uint64_t{64} << 20;

// The new content, a file of its own beside the target, marked for deletion
// while it is open (see UnmarkedStep). Owns its handle until the commit puts
// it in place; destroyed before that, it takes the content away.
class Win32OutputFile final : public OutputFile {
 public:
  // `target` as LongPath gave it.
  explicit Win32OutputFile(std::wstring target) : target_(std::move(target)) {}
  Win32OutputFile(const Win32OutputFile&) = delete;
  Win32OutputFile& operator=(const Win32OutputFile&) = delete;

  ~Win32OutputFile() override { Abandon(); }

  // Makes the new content for `input`, once the target may be replaced and
  // what earlier runs left is cleared: a fresh name while the one drawn is
  // taken, the input's zone stream, the mark, the space. False when refused
  // or when it could not be made; nothing is left then.
  bool Create(const InputFile& input, Failure& failure) {
    // Nothing the shell could not open or delete, nor in a folder other than the one named.
    if (!ShellCanOpen(target_.substr(LastElementStart(target_)))) {
      failure = RuleFailure(Step::LookAtTarget, target_, u"a name the Windows shell cannot open or delete");
      return false;
    }
    if (!FolderOpensAsNamed(target_)) {
      failure = RuleFailure(Step::LookAtTarget, target_, u"its folder opens as another than the one named");
      return false;
    }
    if (!MayReplace(target_, GetFileAttributesW(target_.c_str()), failure)) return false;
    Win32LeftoverFolder folder(target_.substr(0, LastElementStart(target_)));
    ClearLeftovers(target_, folder);
    for (int attempt = 0; attempt < 16; ++attempt) {
      path_ = TemporaryPathFor(target_, RandomToken());
      bool taken = false;
      if (OpenContent(input.ZoneIdentifier(), taken, failure)) {
        if (const DWORD error = ReserveError(file_.get(), input.Size())) {
          failure = SystemFailure(Step::ReserveSpace, path_, error);
          return false;
        }
        return true;
      }
      if (!taken) return false;
    }
    return false;  // every name drawn was taken: `failure` says so
  }

  bool WriteAll(const unsigned char* from, std::size_t count, Failure& failure) override {
    if (!WriteAllTo(file_.get(), from, count)) {
      failure = SystemFailure(Step::WriteContent, path_, GetLastError());
      return false;
    }
    if ((unflushed_ += count) < FlushStep) return true;
    unflushed_ = 0;
    if (const DWORD error = FlushError(file_.get())) {
      failure = SystemFailure(Step::FlushContent, path_, error);
      return false;
    }
    return true;
  }

  bool Commit(std::unique_ptr<InputFile> input, Failure& failure) override {
    // Every byte of the input has been read. The system refuses to replace
    // a file that is open, and the target may be another name of the input
    // (a hard link): the input is closed before its place is taken.
    input.reset();
    // The content takes the name only once it is on the disk, a new output's
    // as a replacing one's: NTFS logs the rename at once and writes the data
    // back later, and a power cut in between would leave the name on zeros
    // (the old file gone, or a new one the user was told is complete).
    if (const DWORD error = FlushError(file_.get())) {
      failure = SystemFailure(Step::FlushContent, path_, error);
      Abandon();
      return false;
    }
    // The last look: a target made read-only meanwhile is kept, and whether
    // one is there decides whether the rename may replace (see PutInPlace).
    const DWORD attributes = GetFileAttributesW(target_.c_str());
    if (!MayReplace(target_, attributes, failure) || !CarryOverSettings(target_, file_.get(), failure) ||
        !PutInPlace(attributes != INVALID_FILE_ATTRIBUTES, failure)) {
      Abandon();
      return false;
    }
    // In place: the name holds the complete new content, and nothing here
    // takes it away again. Flushing the renamed file makes the rename itself
    // durable (a flush persists the directory structure, [MS-FSA] 2.1.5.7)
    // before any text of the report; refused, the run reports the write
    // failure: success is shown only once the disk has confirmed it.
    const DWORD error = FlushError(file_.get());
    file_.Close();
    RemoveLeftOverZoneStream(path_);
    if (error != 0) failure = SystemFailure(Step::FlushName, target_, error);
    return error == 0;
  }

 private:
  // Creates the file at `path_` with the input's `zone` stream and marks
  // it, under the lock. False when `path_` is taken (`taken` then set) or
  // the file could not be made and marked; nothing is left then.
  bool OpenContent(const std::string& zone, bool& taken, Failure& failure) {
    const UnmarkedStep step;
    // DELETE to mark it for deletion and to rename it; READ_CONTROL and
    // WRITE_DAC to take over a replaced output's DACL. A share may grant
    // changing files but not their permissions: there, and only there, it
    // is made without WRITE_DAC (elsewhere a refusal is a real one, and
    // Controlled Folder Access would show the user a second block).
    const RetryWhileHeld retry;
    DWORD permissions = WRITE_DAC;
    for (;;) {
      file_ = OwnedHandle(CreateFileW(path_.c_str(), GENERIC_WRITE | DELETE | READ_CONTROL | permissions, 0, nullptr,
                                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
      if (file_) break;
      const DWORD error = GetLastError();
      if (error == ERROR_ACCESS_DENIED && permissions != 0 && OnRemoteVolume(path_)) {
        permissions = 0;
      } else if (!retry.Again(error)) {
        taken = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
        failure = SystemFailure(Step::CreateContent, path_, error);
        return false;
      }
    }
    if (!WriteZoneIdentifier(path_, zone, failure)) {
      Abandon();
      return false;
    }
    if (!MarkForDeletion(file_.get(), true)) {
      failure = SystemFailure(Step::CreateContent, path_, GetLastError());
      Abandon();
      return false;
    }
    return true;
  }

  // Renames the content to the target by its handle, retrying for a while
  // when the target is held; a file there is replaced only when `replace`
  // says the last look decided so. The mark for deletion is lifted just for
  // the rename and set again when it fails: a file renamed while still
  // marked would be deleted under the target's name, after the old output
  // is gone.
  //
  // What the rename can promise: without `replace`, a file that appeared at
  // the target since the last look makes it fail (the write failure, nothing
  // lost). With it, it replaces whatever holds the name by then: no rename
  // names the file it may replace. Of what another program may still do in
  // those moments, the rename refuses a target made read-only (Windows does,
  // Wine does not), a folder and a file held open (retried, then refused). It
  // cannot refuse a file moved over the target meanwhile, whose settings the
  // new content did not take: the look is made as late as it can be, after the
  // flush, so that this lasts no longer than carrying the settings over.
  bool PutInPlace(bool replace, Failure& failure) {
    // The kernel's own form of the path (\\?\ and \\.\ both stand for \??\):
    // Windows 7 passes the name to the file system as it stands, later
    // versions convert a DOS path and leave this form alone.
    const bool prefixed = target_.compare(0, 4, L"\\\\?\\") == 0 || target_.compare(0, 4, L"\\\\.\\") == 0;
    const std::wstring name = prefixed ? L"\\??\\" + target_.substr(4) : target_;
    std::vector<unsigned char> buffer(
        std::max(sizeof(FILE_RENAME_INFO), offsetof(FILE_RENAME_INFO, FileName) + (name.size() + 1) * sizeof(wchar_t)));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = replace;
    rename->RootDirectory = nullptr;
    // In bytes; a path never nears 4 GiB (the system caps it at 32767 units).
    rename->FileNameLength = static_cast<DWORD>(name.size()) * DWORD{sizeof(wchar_t)};
    std::memcpy(rename->FileName, name.c_str(), (name.size() + 1) * sizeof(wchar_t));

    const HANDLE content = file_.get();
    const auto mark_failed = [this, &failure] {
      failure = SystemFailure(Step::PutInPlace, path_, GetLastError());
      return false;
    };
    const RetryWhileHeld retry;
    for (;;) {
      DWORD error = 0;
      {
        const UnmarkedStep step;
        if (!MarkForDeletion(content, false)) return mark_failed();
        // Asked again with the mark lifted: a file system that kept it would
        // delete the new content once it has taken the old one's place.
        FILE_STANDARD_INFO standard{};
        if (!GetFileInformationByHandleEx(content, FileStandardInfo, &standard, sizeof standard)) {
          mark_failed();
          MarkForDeletion(content, true);
          return false;
        }
        if (standard.DeletePending) {
          failure = RuleFailure(Step::PutInPlace, path_, u"the file system kept its mark for deletion");
          MarkForDeletion(content, true);
          return false;
        }
        if (SetFileInformationByHandle(content, FileRenameInfo, rename, static_cast<DWORD>(buffer.size()))) {
          return true;
        }
        error = GetLastError();
        if (!MarkForDeletion(content, true)) return mark_failed();
      }
      if (!retry.Again(error, GetFileAttributesW(target_.c_str()))) {
        failure = SystemFailure(Step::PutInPlace, target_, error);
        return false;
      }
    }
  }

  // Closes the content and lets the system delete it; by name if the mark
  // could not be set. Nothing once it is closed or in place.
  void Abandon() {
    if (!file_) return;
    const bool marked = MarkForDeletion(file_.get(), true);
    file_.Close();
    if (!marked) DeleteFileW(path_.c_str());
    RemoveLeftOverZoneStream(path_);
  }

  std::wstring target_;  // as LongPath gave it, as every name here
  std::wstring path_;    // the content's, drawn afresh while a name is taken
  OwnedHandle file_;     // open from its creation until the commit puts it in place
  std::uint64_t unflushed_ = 0;
};

}  // namespace

bool MeansNoFlushOffered(DWORD error) { return error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED; }

std::unique_ptr<OutputFile> CreateOutputFile(const WidePath& target, const InputFile& input, Failure& failure) {
  InstallConsoleEventHandler();
  std::wstring full_target = LongPath(target);
  if (full_target.empty()) {
    failure = RuleFailure(Step::LookAtTarget, target, u"cannot be reached as named");
    return nullptr;
  }
  auto output = std::make_unique<Win32OutputFile>(std::move(full_target));
  if (!output->Create(input, failure)) return nullptr;
  return output;
}
