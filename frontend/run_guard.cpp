#include "frontend/run_guard.h"

namespace {

// In the Global namespace, so that runs in different sessions (a
// technician's prompt, a deployment agent as SYSTEM) see the same one.
const char kMutexName[] = "Global\\qrvinst";
// The mutex a run makes: full access for SYSTEM and Administrators, nothing
// for anyone else. With the default security a run as SYSTEM would give
// administrators no more than the right to wait on it, and one made by an
// administrator would not be SYSTEM's to open in full.
const char kMutexSecurity[] = "D:P(A;;GA;;;SY)(A;;GA;;;BA)";

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

RunLock::Outcome RunLock::Take(Printer print, const char* notice) {
  if (held) return Taken;
  PSECURITY_DESCRIPTOR security = nullptr;
  if (ConvertStringSecurityDescriptorToSecurityDescriptorA(kMutexSecurity, SDDL_REVISION_1,
                                                           &security, nullptr) != TRUE) {
    error = GetLastError();
    return Refused;
  }
  SECURITY_ATTRIBUTES attributes{sizeof attributes, security, FALSE};
  // Waiting and releasing need SYNCHRONIZE alone, which is all that the
  // default security of a mutex made as SYSTEM grants administrators: a
  // mutex that exists already is opened for that much.
  mutex = CreateMutexExA(&attributes, kMutexName, 0, SYNCHRONIZE);
  error = mutex == nullptr ? GetLastError() : ERROR_SUCCESS;
  LocalFree(security);
  if (mutex == nullptr) return Refused;
  DWORD wait = WaitForSingleObject(mutex, 0);
  if (wait == WAIT_TIMEOUT) {
    print(notice);
    wait = WaitForSingleObject(mutex, kOtherRunWait);
  }
  held = Acquired(wait);
  if (held) return Taken;
  if (wait == WAIT_TIMEOUT) return Busy;
  error = GetLastError();
  return Refused;
}

bool WaitForDeviceInstallations(Printer print, const char* notice) {
  if (CMP_WaitNoPendingInstallEvents(0) != WAIT_TIMEOUT) return true;
  if (notice != nullptr) print(notice);
  return CMP_WaitNoPendingInstallEvents(kInstallationsWait) != WAIT_TIMEOUT;
}
