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

  // Takes the mutex. When another run holds it, prints the notice and waits
  // for that run to end, at most ten minutes: false when it did not end in
  // time. A mutex left behind by a run that crashed is free. One that
  // cannot be created or waited for at all does not hold the run up.
  bool Take(Printer print, const char* notice);

 private:
  HANDLE mutex = nullptr;
  bool held = false;
};

// Lets Windows finish the device installations it has pending, waiting at
// most five minutes. When there are some, a given notice is printed before
// the wait. True when none was left pending (or Windows cannot tell).
bool WaitForDeviceInstallations(Printer print, const char* notice);
