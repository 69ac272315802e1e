// Linux; one thread; a handler may use only async-signal-safe calls and lock-free atomics.
#include "signal_cleanup.h"

#include <unistd.h>

#include <atomic>

namespace {

// The only process-wide state of the file side, and it must be: a signal
// handler is given nothing but the signal's number, so what it is to remove
// can reach it only through a variable of the process. It holds no more than
// a pointer to the armed name, which the output owning the file keeps; the
// handler only reads it, and only while it is set.
std::atomic<const ArmedName*> armed_name{nullptr};

// Whether a signal's default action ends the process (a core dump included),
// so that it must take the temporary file along. SIGXFSZ is left out: the
// run ignores it, so that a write past the file size limit fails (EFBIG)
// like one to a full disk.
bool EndsProcess(int signal_number) {
  switch (signal_number) {
    case SIGKILL:
    case SIGSTOP:
    case SIGCHLD:
    case SIGCONT:
    case SIGTSTP:
    case SIGTTIN:
    case SIGTTOU:
    case SIGURG:
    case SIGWINCH:
    case SIGXFSZ:
      return false;
    default:
      return true;
  }
}

// Runs with every signal blocked, so a second one cannot end the process
// before the removal; the signal itself, raised again with its default
// action, ends it once the handler returns.
void RemoveTemporaryAndDie(int signal_number) {
  if (const ArmedName* armed = armed_name.exchange(nullptr)) unlinkat(armed->folder, armed->name.c_str(), 0);
  // Neither fails for a signal number the handler was installed for.
  static_cast<void>(signal(signal_number, SIG_DFL));
  static_cast<void>(raise(signal_number));
}

void InstallCleanupHandlers() {
  struct sigaction action {};
  action.sa_handler = RemoveTemporaryAndDie;
  sigfillset(&action.sa_mask);
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    struct sigaction previous {};
    // Numbers the C library keeps for itself refuse the query.
    if (!EndsProcess(signal_number) || sigaction(signal_number, nullptr, &previous) != 0) continue;
    // Ignored (nohup; SIGPIPE, by the console) or handled already (a sanitizer): left as it is.
    if (previous.sa_handler != SIG_DFL) continue;
    sigaction(signal_number, &action, nullptr);
  }
}

}  // namespace

void ArmCleanup(const ArmedName& armed) {
  armed_name.store(&armed);
  // Once a process: the handlers stay, and do nothing while nothing is armed.
  static const bool installed = (InstallCleanupHandlers(), true);
  static_cast<void>(installed);
}

void DisarmCleanup() { armed_name.store(nullptr); }

SignalsBlocked::SignalsBlocked() : previous_{} {
  sigset_t blocked;
  sigfillset(&blocked);
  pthread_sigmask(SIG_BLOCK, &blocked, &previous_);
}

SignalsBlocked::~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
