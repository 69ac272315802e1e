// Linux; a named temporary file is locked by its run before its first write, and by nothing else.
#include "leftovers.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "file_probes.h"
#include "owned_handle.h"

std::vector<WidePath> LinuxLeftoverFolder::Names() {
  // Nothing is listed of a folder one may write but not read.
  std::vector<WidePath> names;
  dirent** entries = nullptr;
  const int count = scandirat(folder_, ".", &entries, nullptr, nullptr);
  for (int i = 0; i < count; ++i) {
    names.emplace_back(entries[i]->d_name);
    free(entries[i]);
  }
  free(entries);
  return names;
}

// An empty file may be a run's that has only just been created, before its
// lock, and costs no room.
void LinuxLeftoverFolder::RemoveIfAbandoned(const WidePath& name) {
  Failure ignored;  // a file that cannot be opened is left as it is
  const OwnedDescriptor fd = OpenRegularForReading(folder_, name.c_str(), O_NOFOLLOW, ignored);
  if (!fd) return;
  // The name is looked up again once the lock is held, so that what goes is
  // the very file found unheld.
  struct stat held {};
  struct stat named {};
  if (AskLock(fd.get(), false) == LockAnswer::Taken && fstat(fd.get(), &held) == 0 && held.st_uid == geteuid() &&
      held.st_size > 0 && fstatat(folder_, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
      named.st_dev == held.st_dev && named.st_ino == held.st_ino) {
    unlinkat(folder_, name.c_str(), 0);
  }
}
