// Linux; a named temporary file is locked by its run before its first write, and by nothing else.
#pragma once

#include "temporary_name.h"

// The opened output folder's leftovers, as Linux tells them: only a regular
// file of this user's with content, reached without following a link, whose
// lock is actually granted (every run locks its file before its first
// write), goes; where locks cannot be asked, every leftover stays.
class LinuxLeftoverFolder final : public LeftoverFolder {
 public:
  explicit LinuxLeftoverFolder(int folder) : folder_(folder) {}
  std::vector<WidePath> Names() override;
  void RemoveIfAbandoned(const WidePath& name) override;

 private:
  int folder_;  // not owned
};
