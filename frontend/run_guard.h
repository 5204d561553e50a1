// What keeps a run from disturbing others, or being disturbed by them:
// another run of qrvinst, and Windows installing devices in the background.
#pragma once

#include "platform/platform.h"

// Prints one line of the console's; RunProgram's own printer.
using Printer = void (*)(const char* text);

// A run's hold on the machine-wide mutex that keeps qrvinst runs apart, from
// Take until it is destroyed.
class RunLock {
 public:
  RunLock() = default;
  ~RunLock();
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;

  enum Outcome {
    Taken,    // the run has the mutex
    Busy,     // another run kept it longer than a run waits
    Refused,  // it could not be made, opened or waited for: see Error
  };
  // Takes the mutex. When another run holds it, prints the notice and waits
  // for that run to end, at most ten minutes. A mutex left behind by a run
  // that crashed is free. A run that does not have the mutex must not go
  // ahead.
  Outcome Take(Printer print, const char* notice);
  // Windows' error code for a refusal; ERROR_SUCCESS when it gave none.
  DWORD Error() const { return error; }

 private:
  HANDLE mutex = nullptr;
  bool held = false;
  DWORD error = ERROR_SUCCESS;
};

// Lets Windows finish the device installations it has pending, waiting at
// most five minutes. When there are some, a given notice is printed before
// the wait. True when none was left pending (or Windows cannot tell).
bool WaitForDeviceInstallations(Printer print, const char* notice);
