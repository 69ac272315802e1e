// Windows 7 or later; a run holds its new content open without sharing from the moment it exists (CREATE_NEW).
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "temporary_name.h"

// A folder's leftovers, as Windows tells them. A live run's content cannot
// be opened here; what can be opened exclusively for deletion is no live
// run's, empty or not (a run cut off during its create step or on an empty
// input leaves an empty one), and goes by its handle: the very file looked
// at.
class Win32LeftoverFolder final : public LeftoverFolder {
 public:
  // `folder` in the \\?\ form, ending in a separator.
  explicit Win32LeftoverFolder(std::wstring folder) : folder_(std::move(folder)) {}
  std::vector<WidePath> Names() override;
  void RemoveIfAbandoned(const WidePath& name) override;

 private:
  std::wstring folder_;
};
