// Linux; one thread; the handler it installs may run between any two instructions of the main code.
#pragma once

#include <signal.h>

#include <string>

// What ends the process and what must happen then; every signal disposition
// of the program is set here, by the first call, and left so: later calls do
// nothing. Made by whatever first needs one: Console::Prepare, and the file
// system before it opens an input or creates an output's content.
//  - SIGPIPE is ignored: a reader that went away must not end the run.
//  - SIGXFSZ is ignored: a write past the file size limit then fails (EFBIG)
//    like one to a full disk.
//  - SIGIO is ignored: a lease taken to look for a writer (file_probes)
//    tells of a writer that way, and its default would end the run.
//  - Every other signal whose default ends the process removes the armed
//    temporary name (ArmCleanup) first, then ends it as its default would.
// A signal already ignored (nohup) or handled (a sanitizer) is left alone.
void SetSignalDispositions();

// A named temporary file to remove should a signal end the process: a name in
// an opened folder, so it follows that folder wherever it is moved. It lives
// in the output that made the file, which owns the folder; while armed,
// neither field may change.
struct ArmedName {
  int folder = -1;  // not owned
  std::string name;
};

// Makes `armed` the file the signal handler removes. Called with signals
// blocked (SignalsBlocked), right after the file got its name, once
// SetSignalDispositions was called.
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
