// Windows 7 or later; a handler runs on a thread of its own per event; the default one, after it, ends the process.
#include "signals.h"

namespace {

SRWLOCK unmarked_step = SRWLOCK_INIT;

// One handler for both concerns, in this order:
//  1. The console is given back first. It never waits, and it must happen
//     whatever comes next: taking the lock may wait for the main thread to
//     finish its step, and the system does not let a handler run for ever
//     (a closed window ends the process after a few seconds).
//  2. Then the unmarked step is taken, and kept. Released, the main thread
//     could lift the mark for its rename before the process is gone, and
//     leave the content behind. Nothing of this program runs after it: the
//     handler returns FALSE, and the default handler ends the process. A
//     second event's handler gives the console back again (harmless) and
//     waits for the end with the first.
// Two handlers registered apart run last-registered first: this order would
// then rest on the order of their registrations.
BOOL WINAPI OnConsoleEvent(DWORD) {
  GiveBackConsole();
  AcquireSRWLockExclusive(&unmarked_step);
  return FALSE;
}

}  // namespace

void InstallConsoleEventHandler() {
  static const bool installed = SetConsoleCtrlHandler(OnConsoleEvent, TRUE) != 0;
  static_cast<void>(installed);
}

UnmarkedStep::UnmarkedStep() { AcquireSRWLockExclusive(&unmarked_step); }

UnmarkedStep::~UnmarkedStep() { ReleaseSRWLockExclusive(&unmarked_step); }
