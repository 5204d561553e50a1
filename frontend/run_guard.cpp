#include "frontend/run_guard.h"

namespace {

// In the Global namespace, so that runs in different sessions (a
// technician's prompt, a deployment agent as SYSTEM) see the same one. Its
// default security lets only administrators and SYSTEM open it.
const char kMutexName[] = "Global\\qrvinst";

constexpr DWORD kOtherRunWait = 10 * 60 * 1000;
constexpr DWORD kInstallationsWait = 5 * 60 * 1000;

// Whether a wait ended with the mutex ours, also one whose holder ended
// without releasing it.
bool Acquired(DWORD wait) { return wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED; }

}  // namespace

RunLock::~RunLock() {
  if (held) ReleaseMutex(mutex);
  if (mutex != nullptr) CloseHandle(mutex);
}

bool RunLock::Take(Printer print, const char* notice) {
  if (mutex != nullptr) return true;  // taken already
  mutex = CreateMutexA(nullptr, FALSE, kMutexName);
  if (mutex == nullptr) return true;
  DWORD wait = WaitForSingleObject(mutex, 0);
  if (wait == WAIT_TIMEOUT) {
    print(notice);
    wait = WaitForSingleObject(mutex, kOtherRunWait);
  }
  held = Acquired(wait);
  return wait != WAIT_TIMEOUT;
}

bool WaitForDeviceInstallations(Printer print, const char* notice) {
  if (CMP_WaitNoPendingInstallEvents(0) != WAIT_TIMEOUT) return true;
  if (notice != nullptr) print(notice);
  return CMP_WaitNoPendingInstallEvents(kInstallationsWait) != WAIT_TIMEOUT;
}
