// The COM port database functions of msports.dll, for a machine whose
// database cannot be opened: ComDBOpen fails with ERROR_ACCESS_DENIED and
// gives HCOMDB_INVALID_HANDLE_VALUE, as Windows documents for a failed open,
// and the other calls refuse the handle.
//
// Built alone as qrvcomdbclosed.dll, it is the msports.dll in System32 of
// every test prefix: Wine 8's own msports.dll has these functions only as
// stubs, which end the process when called. qrvplanted.dll exports them too.
#include <windows.h>

extern "C" __declspec(dllexport) LONG WINAPI ComDBOpen(HANDLE* database) {
  *database = INVALID_HANDLE_VALUE;
  return ERROR_ACCESS_DENIED;
}
extern "C" __declspec(dllexport) LONG WINAPI ComDBClose(HANDLE) { return ERROR_INVALID_PARAMETER; }
extern "C" __declspec(dllexport) LONG WINAPI ComDBClaimPort(HANDLE, DWORD, BOOL, PBOOL) {
  return ERROR_INVALID_PARAMETER;
}
extern "C" __declspec(dllexport) LONG WINAPI ComDBReleasePort(HANDLE, DWORD) {
  return ERROR_INVALID_PARAMETER;
}
