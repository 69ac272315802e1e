// Windows 7 or later; console control events come on a thread of their own while the main thread goes on.
#pragma once

// What ends the process and what must happen then. Windows' counterpart of
// signals are console control events; those an interactive program sees
// are Ctrl+C, Ctrl+Break and a closed console window (or End Task). Log-off
// and shutdown reach services only (HandlerRoutine): an interactive program
// is ended without its handler, the content then deleted as marked, or,
// caught in an unmarked step, left for the next run for the same output to
// clear.

#include "windows_headers.h"

// Registers the program's one console control handler; the first call does,
// later ones do nothing. Made by whatever first has something an event must
// look after: Console::Prepare (what it changed) and the file system before
// it creates an output's content (the unmarked step).
void InstallConsoleEventHandler();

// Defined by console.cc: gives back what Console::Prepare changed in the
// console the program shares with whatever started it. Never waits; safe on
// any thread, again and again, and before Prepare (it then gives back
// nothing).
void GiveBackConsole();

// The new content of an output is marked for deletion from the moment it
// exists until it is renamed over the target, so whatever ends the process
// (End Task, a closed console, a log-off, a crash) makes the system delete
// it. Only two short steps leave it unmarked: its creation and the rename.
// Each runs while an UnmarkedStep is held, and a console event takes the
// same lock for good: the process then ends at a point where the content is
// either marked or in place. This lock is the one process-wide state a
// console event needs.
class UnmarkedStep {
 public:
  UnmarkedStep();  // waits while a console event holds the lock: for good
  ~UnmarkedStep();
  UnmarkedStep(const UnmarkedStep&) = delete;
  UnmarkedStep& operator=(const UnmarkedStep&) = delete;
};
