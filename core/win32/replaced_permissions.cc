// Windows 7 or later; ACLs as the system hands them over (well formed, at most 64 KiB); advapi32's security calls.
#include "replaced_permissions.h"

#include <aclapi.h>

#include <cstring>
#include <vector>

#include "owned_handle.h"

namespace {

bool HasOwnAces(const ACL* dacl) {
  for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (GetAce(const_cast<ACL*>(dacl), i, &ace) && (static_cast<ACE_HEADER*>(ace)->AceFlags & INHERITED_ACE) == 0) {
      return true;
    }
  }
  return false;
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

struct Dacl {
  PACL list = nullptr;
  bool is_protected = false;
  PSECURITY_DESCRIPTOR owner = nullptr;  // holds `list`
  Dacl() = default;
  Dacl(const Dacl&) = delete;
  Dacl& operator=(const Dacl&) = delete;
  ~Dacl() { LocalFree(owner); }
};

// 0, or the system's error when the DACL cannot be read.
DWORD ReadDacl(HANDLE file, Dacl& dacl) {
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  const DWORD error = GetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl.list,
                                      nullptr, &dacl.owner);
  if (error != ERROR_SUCCESS) return error;
  if (!GetSecurityDescriptorControl(dacl.owner, &control, &revision)) return GetLastError();
  dacl.is_protected = (control & SE_DACL_PROTECTED) != 0;
  return 0;
}

}  // namespace

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

bool NoMoreOpen(const ACL* now, const ACL* before) {
  if (before == nullptr || SameAces(now, before)) return true;
  if (now == nullptr) return false;
  return Covered(now, before, ACCESS_ALLOWED_ACE_TYPE, false) && Covered(before, now, ACCESS_DENIED_ACE_TYPE, true);
}

bool MayKeepGivenDacl(const ACL* given, bool given_protected, const ACL* old, bool old_protected) {
  if (given_protected != old_protected) return false;
  return SameAces(given, old) || (!old_protected && !HasOwnAces(old) && NoMoreOpen(given, old));
}

bool CarryOverSettings(const std::wstring& target, HANDLE content, Failure& failure) {
  const auto refused = [&failure, &target](DWORD error) {
    failure = SystemFailure(Step::KeepPermissions, target, error);
    return false;
  };
  OwnedHandle old(CreateFileW(target.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!old) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || refused(error);
  }
  BY_HANDLE_FILE_INFORMATION information{};
  Dacl old_dacl;
  const DWORD read_error =
      GetFileInformationByHandle(old.get(), &information) ? ReadDacl(old.get(), old_dacl) : GetLastError();
  old.Close();  // a handle open on the target would stop the rename
  if (read_error != 0) return refused(read_error);
  // The rename refuses a folder in any case.
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return true;

  const DWORD shown = information.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  if (shown != 0) {
    FILE_BASIC_INFO basic{};  // times left at zero stay as they are
    basic.FileAttributes = shown | FILE_ATTRIBUTE_ARCHIVE;
    if (!SetFileInformationByHandle(content, FileBasicInfo, &basic, sizeof basic)) return refused(GetLastError());
  }
  Dacl new_dacl;
  if (const DWORD error = ReadDacl(content, new_dacl)) return refused(error);
  // Mostly the same entries (so always under Wine, whose file DACLs all
  // look explicit): nothing to do.
  if (MayKeepGivenDacl(new_dacl.list, new_dacl.is_protected, old_dacl.list, old_dacl.is_protected)) return true;
  // What counts is the DACL the content ends with. A server may refuse to
  // set one (a share without the right to change permissions) or map it to
  // permissions of its own, and may show every DACL as explicit (Samba):
  // where the content is no more open than the old file all the same, the
  // replace is what the user could do by hand, and keeps the promise.
  const auto no_more_open = [&content, &old_dacl, &failure, &target] {
    Dacl now;
    if (ReadDacl(content, now) == 0 && NoMoreOpen(now.list, old_dacl.list)) return true;
    failure = RuleFailure(Step::KeepPermissions, target, u"could not be made as narrow as the replaced file's");
    return false;
  };
  // Unprotected, the entries it inherited are taken again from the folder.
  SetSecurityInfo(content, SE_FILE_OBJECT,
                  DACL_SECURITY_INFORMATION | (old_dacl.is_protected ? PROTECTED_DACL_SECURITY_INFORMATION
                                                                     : UNPROTECTED_DACL_SECURITY_INFORMATION),
                  nullptr, nullptr, old_dacl.list, nullptr);
  const bool carried = no_more_open();
  if (carried || old_dacl.is_protected || old_dacl.list == nullptr) return carried;
  // The folder gives more than the old file inherited where it was made:
  // its entries, all made the content's own, protected from the folder.
  std::vector<unsigned char> own(old_dacl.list->AclSize);
  std::memcpy(own.data(), old_dacl.list, own.size());
  auto* list = reinterpret_cast<ACL*>(own.data());
  for (DWORD i = 0; i < old_dacl.list->AceCount; ++i) {
    void* ace = nullptr;
    if (GetAce(list, i, &ace)) static_cast<ACE_HEADER*>(ace)->AceFlags &= static_cast<BYTE>(~INHERITED_ACE);
  }
  SetSecurityInfo(content, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                  nullptr, list, nullptr);
  return no_more_open();
}
