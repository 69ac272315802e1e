// Linux; one thread; the handler it installs may run between any two instructions of the main code.
#pragma once

#include <signal.h>

#include <string>

// A named temporary file to remove should a signal end the process: a name in
// an opened folder, so it follows that folder wherever it is moved. It lives
// in the output that made the file; while armed, neither field may change.
struct ArmedName {
  int folder = -1;
  std::string name;
};

// Makes `armed` the file the signal handler removes, installing the handler
// for every signal that would end the process the first time. Called with
// signals blocked (SignalsBlocked), right after the file got its name.
void ArmCleanup(const ArmedName& armed);
// The handler removes nothing from now on.
void DisarmCleanup();

// Keeps every signal out for its lifetime, so that a temporary file changes
// hands (is created, named, renamed or removed) and the handler learns of it
// in one step: the handler never removes a name a rename just gave away, and
// no file is left between its creation and its arming.
class SignalsBlocked {
 public:
  SignalsBlocked();
  ~SignalsBlocked();
  SignalsBlocked(const SignalsBlocked&) = delete;
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;

 private:
  sigset_t previous_;
};
