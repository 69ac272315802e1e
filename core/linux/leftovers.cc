// Linux; a named temporary file is locked by its run before its first write, and by nothing else.
#include "leftovers.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "file_probes.h"
#include "temporary_name.h"

namespace {

// Only a regular file of this user's, reached without following a link,
// that no live run holds: every run locks its file before its first write,
// so one with content that can be locked is no one's. An empty one may be a
// run's that has only just been created, and costs no room.
void RemoveIfAbandoned(int folder, const char* name) {
  const int fd = OpenRegularForReading(folder, name, O_NOFOLLOW);
  if (fd < 0) return;
  // Only a lock actually granted tells that no live run holds it (where
  // locks cannot be asked, every leftover stays), and the name is looked
  // up again once it is held, so that what goes is the very file found
  // unheld.
  struct stat held {};
  struct stat named {};
  if (AskLock(fd, false) == LockAnswer::Taken && fstat(fd, &held) == 0 && held.st_uid == geteuid() &&
      held.st_size > 0 && fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_dev == held.st_dev &&
      named.st_ino == held.st_ino) {
    unlinkat(folder, name, 0);
  }
  close(fd);
}

}  // namespace

void ClearLeftovers(int folder, const WidePath& target) {
  // Nothing is listed of a folder one may write but not read.
  dirent** entries = nullptr;
  const int count = scandirat(folder, ".", &entries, nullptr, nullptr);
  for (int i = 0; i < count; ++i) {
    if (IsTemporaryNameFor(target, entries[i]->d_name)) RemoveIfAbandoned(folder, entries[i]->d_name);
    free(entries[i]);
  }
  free(entries);
}
