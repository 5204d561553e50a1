// The COM name database functions of msports.dll for the test prefixes,
// whose System32 gets one of these as its msports.dll: Wine 8's own has the
// functions only as stubs that end the process. Built three ways:
//
//   qrvcomdb.dll           keeps the database as Windows does: the
//                          REG_BINARY value ComDB under the key
//                          HKLM\SYSTEM\CurrentControlSet\Control\COM Name Arbiter,
//                          bit n-1 for COMn, which a test reads back with
//                          reg query
//   qrvcomdbclosed.dll     (QRV_COMDB_CLOSED) a database that cannot be
//                          opened; qrvplanted.dll exports these too
//   qrvcomdbnorelease.dll  (QRV_COMDB_NO_RELEASE) lacks ComDBReleasePort and
//                          leaves "<its own path>.called" beside itself
//                          when any of its functions is called: a program
//                          must not use such a DLL at all
//
// Each function gives the results Microsoft documents for it. Numbers run
// from 1 to COMDB_MAX_PORTS_ARBITRATED; a value shorter than that holds
// the low numbers, and the numbers past its end are free.
#include <windows.h>

namespace {

const char kKey[] = "SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter";
const char kValue[] = "ComDB";
constexpr DWORD kMaxPorts = 4096;  // COMDB_MAX_PORTS_ARBITRATED

// Each call is announced with OutputDebugStringA, a call of kernel32's that
// Wine's relay log shows, so that a test sees the database's calls in their
// place among the program's (lib.sh's exe_trace): "qrvcomdb: ComDBClaimPort(7)".
// (Written out by hand: the DLL imports nothing but kernel32, as the planted
// DLLs built from this file must not bring others in.)
void Announce(const char* function, DWORD number = 0, bool withNumber = false) {
  char text[64] = "qrvcomdb: ";
  lstrcatA(text, function);
  char digits[12];
  int length = 0;
  if (withNumber) {
    do {
      digits[length++] = static_cast<char>('0' + number % 10);
      number /= 10;
    } while (number != 0);
  }
  char* end = text + lstrlenA(text);
  *end++ = '(';
  while (length > 0) *end++ = digits[--length];
  *end++ = ')';
  *end = '\0';
  OutputDebugStringA(text);
}

#ifdef QRV_COMDB_NO_RELEASE
void Called() {
  HMODULE self = nullptr;
  if (!GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCSTR>(&Called), &self)) {
    return;
  }
  char path[MAX_PATH + sizeof ".called"];
  const DWORD length = GetModuleFileNameA(self, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  lstrcpyA(path + length, ".called");
  const HANDLE marker =
      CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
}
#else
void Called() {}
#endif

// An open database is the registry key it was opened on. Its handle is the
// address of that key's slot here, so that a handle that was closed, or
// never opened, is told apart from an open one.
HKEY openKeys[4];

HKEY Opened(HANDLE database) {
  for (HKEY& key : openKeys) {
    if (key != nullptr && static_cast<HANDLE>(&key) == database) return key;
  }
  return nullptr;
}

struct Bitmap {
  BYTE bytes[kMaxPorts / 8];
  DWORD size;  // bytes stored in the registry

  BYTE& Byte(DWORD number) { return bytes[(number - 1) / 8]; }
  static BYTE Bit(DWORD number) { return static_cast<BYTE>(1U << ((number - 1) % 8)); }
  bool Claimed(DWORD number) { return (Byte(number) & Bit(number)) != 0; }
};

// The database as it is now; false when it cannot be read. No value yet
// is a database with no number claimed.
bool Read(HKEY key, Bitmap& bitmap) {
  bitmap = Bitmap();
  DWORD type = REG_NONE;
  bitmap.size = sizeof bitmap.bytes;
  const LONG error = RegQueryValueExA(key, kValue, nullptr, &type, bitmap.bytes, &bitmap.size);
  if (error == ERROR_FILE_NOT_FOUND) {
    bitmap.size = 0;
    return true;
  }
  return error == ERROR_SUCCESS && type == REG_BINARY;
}

LONG Write(HKEY key, const Bitmap& bitmap) {
  return RegSetValueExA(key, kValue, 0, REG_BINARY, bitmap.bytes, bitmap.size) == ERROR_SUCCESS
             ? ERROR_SUCCESS
             : ERROR_CANTWRITE;
}

bool InRange(DWORD number) { return number >= 1 && number <= kMaxPorts; }

}  // namespace

extern "C" __declspec(dllexport) LONG WINAPI ComDBOpen(HANDLE* database) {
  Called();
  Announce("ComDBOpen");
  if (database == nullptr) return ERROR_INVALID_PARAMETER;
  *database = INVALID_HANDLE_VALUE;
#ifdef QRV_COMDB_CLOSED
  return ERROR_ACCESS_DENIED;
#else
  for (HKEY& key : openKeys) {
    if (key != nullptr) continue;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                        nullptr, &key, nullptr) != ERROR_SUCCESS) {
      key = nullptr;
      return ERROR_ACCESS_DENIED;
    }
    *database = &key;
    return ERROR_SUCCESS;
  }
  return ERROR_ACCESS_DENIED;
#endif
}

extern "C" __declspec(dllexport) LONG WINAPI ComDBClose(HANDLE database) {
  Called();
  Announce("ComDBClose");
  for (HKEY& key : openKeys) {
    if (key != nullptr && static_cast<HANDLE>(&key) == database) {
      RegCloseKey(key);
      key = nullptr;
      return ERROR_SUCCESS;
    }
  }
  return ERROR_INVALID_PARAMETER;
}

// A number already claimed stays so, and the claim says
// ERROR_SHARING_VIOLATION. ForceClaim and Forced are documented as reserved
// for Windows' own use: they are ignored.
extern "C" __declspec(dllexport) LONG WINAPI
    ComDBClaimPort(HANDLE database, DWORD number, BOOL, PBOOL) {
  Called();
  Announce("ComDBClaimPort", number, true);
  const HKEY key = Opened(database);
  if (key == nullptr || !InRange(number)) return ERROR_INVALID_PARAMETER;
  Bitmap bitmap;
  if (!Read(key, bitmap)) return ERROR_NOT_CONNECTED;
  if (bitmap.Claimed(number)) return ERROR_SHARING_VIOLATION;
  bitmap.Byte(number) |= Bitmap::Bit(number);
  const DWORD needed = (number - 1) / 8 + 1;
  if (bitmap.size < needed) bitmap.size = needed;
  return Write(key, bitmap);
}

// The numbers in use: with CDB_REPORT_BITS (0) a bit each, bit 0 of the
// first byte for COM1; MaxPortsReported gets how many numbers the buffer
// tells of. A NULL buffer learns the database's size alone.
extern "C" __declspec(dllexport) LONG WINAPI
    ComDBGetCurrentPortUsage(HANDLE database, PBYTE buffer, DWORD bufferSize, ULONG reportType,
                             LPDWORD maxPortsReported) {
  Called();
  Announce("ComDBGetCurrentPortUsage");
  const HKEY key = Opened(database);
  if (key == nullptr || (buffer == nullptr && maxPortsReported == nullptr)) {
    return ERROR_INVALID_PARAMETER;
  }
  if (buffer == nullptr) {
    *maxPortsReported = kMaxPorts;
    return ERROR_SUCCESS;
  }
  if (reportType != 0) return ERROR_INVALID_PARAMETER;  // bytes are not needed here
  Bitmap bitmap;
  if (!Read(key, bitmap)) return ERROR_NOT_CONNECTED;
  const DWORD bytes = bufferSize < sizeof bitmap.bytes ? bufferSize : sizeof bitmap.bytes;
  for (DWORD i = 0; i < bufferSize; ++i) buffer[i] = i < bytes ? bitmap.bytes[i] : 0;
  if (maxPortsReported != nullptr) *maxPortsReported = bytes * 8;
  return ERROR_SUCCESS;
}

#ifndef QRV_COMDB_NO_RELEASE
extern "C" __declspec(dllexport) LONG WINAPI ComDBReleasePort(HANDLE database, DWORD number) {
  Called();
  Announce("ComDBReleasePort", number, true);
  const HKEY key = Opened(database);
  if (key == nullptr || !InRange(number)) return ERROR_INVALID_PARAMETER;
  Bitmap bitmap;
  if (!Read(key, bitmap)) return ERROR_NOT_CONNECTED;
  if (!bitmap.Claimed(number)) return ERROR_SUCCESS;
  bitmap.Byte(number) &= static_cast<BYTE>(~Bitmap::Bit(number));
  return Write(key, bitmap);
}
#endif
