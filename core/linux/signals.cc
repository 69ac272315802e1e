// Linux; one thread; a handler may use only async-signal-safe calls and lock-free atomics.
#include "signals.h"

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
// so that it must take the temporary file along.
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
    // Ignored (nohup; those SetSignalDispositions ignores) or handled already (a sanitizer): left as it is.
    if (previous.sa_handler != SIG_DFL) continue;
    sigaction(signal_number, &action, nullptr);
  }
}

}  // namespace

void SetSignalDispositions() {
  static const bool set = [] {
    // signal fails only for an invalid number.
    for (const int ignored : {SIGPIPE, SIGXFSZ, SIGIO}) static_cast<void>(signal(ignored, SIG_IGN));
    InstallCleanupHandlers();
    return true;
  }();
  static_cast<void>(set);
}

// The handlers stay for the whole process, and do nothing while nothing is armed.
void ArmCleanup(const ArmedName& armed) { armed_name.store(&armed); }

void DisarmCleanup() { armed_name.store(nullptr); }

SignalsBlocked::SignalsBlocked() : previous_{} {
  sigset_t blocked;
  sigfillset(&blocked);
  pthread_sigmask(SIG_BLOCK, &blocked, &previous_);
}

SignalsBlocked::~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
