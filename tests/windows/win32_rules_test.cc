// The Win32 rules Wine's file system never exercises, as plain functions on hand-built values: whether a DACL is
// more open than another and whether new content may keep its folder's, which refusals mean a file is held a moment,
// the \\?\ form of a path. A table each; a failing row prints its name and what it gave. Run under Wine; status 1 when
// any row fails.
#include "windows_headers.h"

#include <cstdio>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "held_for_a_moment.h"
#include "long_path.h"
#include "output_file.h"
#include "replaced_permissions.h"

struct Ace {
  bool allows;
  WELL_KNOWN_SID_TYPE trustee;
  ACCESS_MASK mask;
  BYTE flags = 0;
};
constexpr ACCESS_MASK R = FILE_GENERIC_READ, W = FILE_GENERIC_WRITE;
constexpr BYTE In = INHERITED_ACE;  // what a file inherited where it was made: a moved file keeps it
constexpr auto Everyone = WinWorldSid, Users = WinBuiltinUsersSid, Admins = WinBuiltinAdministratorsSid;
using Aces = std::vector<Ace>;
const Aces Null{{true, WinNullSid, 0, 0xFF}};  // stands for a null DACL: everything allowed

// The entries as an ACL in `bytes`; nullptr for Null.
const ACL* Built(const Aces& aces, std::vector<unsigned char>& bytes) {
  if (aces.size() == 1 && aces[0].flags == 0xFF) return nullptr;
  auto* list = reinterpret_cast<ACL*>(bytes.data());
  InitializeAcl(list, static_cast<DWORD>(bytes.size()), ACL_REVISION);
  for (const Ace& ace : aces) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    CreateWellKnownSid(ace.trustee, nullptr, sid, &size);
    (ace.allows ? AddAccessAllowedAceEx : AddAccessDeniedAceEx)(list, ACL_REVISION, ace.flags, ace.mask, sid);
  }
  return list;
}

const struct {
  const char* name;
  Aces now, before;
  bool no_more_open, may_keep;  // NoMoreOpen; MayKeepGivenDacl, both unprotected
} DaclCases[] = {
    {"anything_against_null", {{true, Everyone, R | W}}, Null, true, true},
    {"null_against_a_list", Null, {{true, Users, R}}, false, false},
    {"same_entries", {{true, Users, R}, {true, Admins, R | W}}, {{true, Users, R}, {true, Admins, R | W}}, true, true},
    {"same_entries_reordered",
     {{true, Admins, R | W}, {true, Users, R}},
     {{true, Users, R}, {true, Admins, R | W}},
     true,
     false},
    {"less_for_the_same_trustee", {{true, Users, R}}, {{true, Users, R | W}}, true, false},
    {"more_for_the_same_trustee", {{true, Users, R | W}}, {{true, Users, R}}, false, false},
    {"another_trustee", {{true, Everyone, R}}, {{true, Users, R}}, false, false},
    {"a_denial_dropped", {{true, Everyone, R | W}}, {{false, Everyone, W}, {true, Everyone, R | W}}, false, false},
    {"a_denial_kept_ahead",
     {{false, Everyone, W}, {true, Users, R}},
     {{false, Everyone, W}, {true, Users, R}},
     true,
     true},
    {"a_denial_moved_behind",
     {{true, Users, R}, {false, Everyone, W}},
     {{false, Everyone, W}, {true, Users, R}},
     false,
     false},
    {"inherit_only_entries_ignored", {{true, Everyone, R | W, INHERIT_ONLY_ACE | OBJECT_INHERIT_ACE}}, {}, true, true},
    {"moved_from_narrower", {{true, Users, R | W, In}}, {{true, Admins, R | W, In}}, false, false},
    {"moved_from_wider", {{true, Users, R, In}}, {{true, Users, R | W, In}}, true, true},
};

const struct {
  DWORD error, attributes;
  bool held;
} HeldCases[] = {
    {ERROR_SHARING_VIOLATION, INVALID_FILE_ATTRIBUTES, true}, {ERROR_LOCK_VIOLATION, FILE_ATTRIBUTE_NORMAL, true},
    {ERROR_ACCESS_DENIED, FILE_ATTRIBUTE_ARCHIVE, true},  // replacing an open file
    {ERROR_ACCESS_DENIED, FILE_ATTRIBUTE_READONLY, false},    {ERROR_ACCESS_DENIED, FILE_ATTRIBUTE_DIRECTORY, false},
    {ERROR_ACCESS_DENIED, INVALID_FILE_ATTRIBUTES, false},    {ERROR_FILE_NOT_FOUND, FILE_ATTRIBUTE_NORMAL, false},
    {ERROR_DISK_FULL, FILE_ATTRIBUTE_NORMAL, false},
};

const struct {
  const wchar_t *path, *long_path;
} PathCases[] = {
    {L"C:\\d\\cat.png.", L"\\\\?\\C:\\d\\cat.png."},  // the trailing dot kept: another file without it
    {L"C:\\d\\cat.png ", L"\\\\?\\C:\\d\\cat.png "},
    {L"C:\\d\\COM3.png", L"\\\\?\\C:\\d\\COM3.png"},  // a file, not the serial port
    {L"C:\\d\\nul", L"\\\\?\\C:\\d\\nul"},
    {L"C:/d/../e/./f", L"\\\\?\\C:\\e\\f"},
    {L"\\\\server\\share\\f.", L"\\\\?\\UNC\\server\\share\\f."},
    {L"\\\\.\\COM3", L"\\\\?\\COM3"},  // a device named as one
    {L"\\\\?\\C:\\d\\x.", L"\\\\?\\C:\\d\\x."},
    // Every element as typed, and ".." never past the root; relative ones against C:\windows.
    {L"C:\\d.\\ e \\f", L"\\\\?\\C:\\d.\\ e \\f"},
    {L"C:\\d.\\..\\..\\f", L"\\\\?\\C:\\f"},
    {L"//server/share/../d./f", L"\\\\?\\UNC\\server\\share\\d.\\f"},
    {L"\\\\.\\C:\\d.\\f", L"\\\\?\\C:\\d.\\f"},
    {L"\\\\.\\UNC\\srv\\sh\\..\\f.", L"\\\\?\\UNC\\srv\\sh\\f."},
    {L"d.\\f", L"\\\\?\\C:\\windows\\d.\\f"},
    {L"C:d.", L"\\\\?\\C:\\windows\\d."},
    {L"\\d. ", L"\\\\?\\C:\\d. "},
    {L"C:..", L"\\\\?\\C:\\"},
};

// A 32-bit program's view of C:\Windows: reached as named, or refused (empty).
const struct {
  const wchar_t *full, *reached;
} RedirectionCases[] = {
    {L"\\\\?\\c:\\WINDOWS\\system32\\x", L"\\\\?\\c:\\WINDOWS\\Sysnative\\x"},
    {L"\\\\?\\C:\\Windows\\System32", L"\\\\?\\C:\\Windows\\Sysnative"},
    {L"\\\\?\\C:\\Windows\\System32x", L"\\\\?\\C:\\Windows\\System32x"},
    {L"\\\\?\\C:\\Windows\\lastgood\\system32\\x", L""},
    {L"\\\\?\\C:\\Windows\\Regedit.exe", L""},
};

constexpr auto Trimmed = OpenedName::Trimmed, NothingTold = OpenedName::NothingTold;
const struct {
  const wchar_t *named, *opened;
  OpenedName told;
} NameCases[] = {
    {L"\\\\?\\C:\\d.\\f", L"\\\\?\\C:\\d\\f", Trimmed},
    {L"\\\\?\\C:\\d\\f ", L"\\\\?\\C:\\d\\f", Trimmed},
    {L"\\\\?\\C:\\d\\ .\\f", L"\\\\?\\C:\\d\\f", Trimmed},                       // an element dropped outright
    {L"\\\\?\\C:\\Users\\Docs\\d.\\f", L"\\\\?\\D:\\Data\\d.\\f", NothingTold},  // a junction
    {L"\\\\?\\X:\\PROGRA~1\\f", L"\\\\?\\C:\\Program Files\\f", NothingTold},    // an alias on a substituted drive
    {L"\\\\?\\UNC\\s\\h\\D\\F", L"\\\\?\\UNC\\s\\h\\d\\f", NothingTold},
    {L"\\\\?\\C:\\Windows\\Sysnative\\f", L"\\\\?\\C:\\Windows\\System32\\f", NothingTold},
    {L"\\\\?\\C:\\Windows\\Sysnative\\f", L"\\\\?\\C:\\Windows\\SysWOW64\\f", OpenedName::Redirected},
};

const struct {
  const wchar_t* name;
  bool opens;
} ShellCases[] = {
    {L"x.", false},       {L"x ", false},        {L"nul", false},    {L"NUL.tar.gz", false}, {L"COM3.png.xyz", false},
    {L"AUX .txt", false}, {L"LPT\u00b9", false}, {L"CONSOLE", true}, {L"COM10", true},       {L"cat.png..xyz", true},
};

// A flush refused: by a file system that has none (nothing to wait for), or by a disk that failed it.
const std::pair<DWORD, bool> NoFlushCases[] = {
    {ERROR_INVALID_FUNCTION, true}, {ERROR_NOT_SUPPORTED, true}, {ERROR_WRITE_FAULT, false}, {ERROR_NOT_READY, false}};

int main() {
  int failed = 0;
  const auto check = [&failed](bool passed, const char* table, const std::string& row) {
    if (!passed) std::printf("FAIL %s %s\n", table, row.c_str());
    failed += !passed;
  };
  for (const auto& row : DaclCases) {
    std::vector<unsigned char> now(1024), before(1024);
    check(NoMoreOpen(Built(row.now, now), Built(row.before, before)) == row.no_more_open, "NoMoreOpen", row.name);
    check(MayKeepGivenDacl(Built(row.now, now), false, Built(row.before, before), false) == row.may_keep,
          "MayKeepGivenDacl", row.name);
  }
  for (const auto& row : HeldCases) {
    const bool held = MeansHeldForAMoment(row.error, row.attributes);
    check(held == row.held, "MeansHeldForAMoment", std::to_string(row.error) + " " + std::to_string(row.attributes));
  }
  for (const auto& [error, none_offered] : NoFlushCases) {
    check(MeansNoFlushOffered(error) == none_offered, "MeansNoFlushOffered", std::to_string(error));
  }
  SetCurrentDirectoryW(L"C:\\windows");
  for (const auto& [path, long_path] : PathCases) {
    const std::wstring got = LongPath(path);
    check(got == long_path, "LongPath", std::string(got.begin(), got.end()));
  }
  const auto narrow = [](const std::wstring& text) { return std::string(text.begin(), text.end()); };
  for (const auto& [full, reached] : RedirectionCases) {
    check(AroundRedirection(full, L"\\\\?\\C:\\Windows") == reached, "AroundRedirection", narrow(full));
  }
  for (const auto& [named, opened, told] : NameCases) {
    check(WhatTheNameTells(named, opened) == told, "WhatTheNameTells", narrow(named) + " " + narrow(opened));
  }
  for (const auto& [name, opens] : ShellCases) check(ShellCanOpen(name) == opens, "ShellCanOpen", narrow(name));
  std::printf("%d rows failed\n", failed);
  return failed == 0 ? 0 : 1;
}
