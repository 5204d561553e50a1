// The functions of setupapi, newdev, advapi32 and msports that the program
// calls, under their Windows names, taken from System32 and nowhere else.
//
// The program runs elevated, often from a USB stick or a download folder.
// Windows looks for an imported DLL that is not one of its KnownDLLs in the
// exe's own folder first, so a newdev.dll left there would run with
// administrator rights before main. The exe therefore imports only kernel32
// and msvcrt, which are KnownDLLs; LoadSystemDlls loads the other four by
// hand at start-up and resolves every function the program needs from
// them, once. Each function below forwards to its resolved address.
//
// A DLL that cannot be loaded, or lacks one of the functions, is not used
// at all: its functions then fail as the calls themselves would, with the
// loader's error (126 for a missing DLL, 127 for a missing function) as the
// last error or, for the registry and the COM port database, as the result.
// Only a function marked optional, which the program can do without, may be
// missing from a DLL that is used: that one function then fails alone.
#include "platform/platform.h"

namespace {

enum Dll { Setupapi, Newdev, Advapi32, Msports, DllCount };

// Loaded in this order: newdev and msports need setupapi.
const char* const kDllNames[DllCount] = {"setupapi.dll", "newdev.dll", "advapi32.dll",
                                         "msports.dll"};

enum Function {
  GetInfClass,
  GetClassDevs,
  EnumDeviceInfo,
  GetInstanceId,
  GetProperty,
  SetProperty,
  OpenDeviceKey,
  GetInstallParams,
  PromptReboot,
  SetClassInstallParams,
  CallClassInstaller,
  WaitNoPendingInstalls,
  GetDevNodeStatus,
  UpdateDriver,
  OpenKey,
  CreateKey,
  QueryValue,
  SetValue,
  DeleteValue,
  DeleteKey,
  CloseKey,
  ConvertSecurityDescriptor,
  OpenComDb,
  CloseComDb,
  ClaimPort,
  ReleasePort,
  GetPortUsage,
  FunctionCount
};

struct Import {
  const char* name;
  Dll dll;
  bool optional;  // the DLL is used without it
};

constexpr Import kImports[FunctionCount] = {
    {"SetupDiGetINFClassA", Setupapi, false},
    {"SetupDiGetClassDevsA", Setupapi, false},
    {"SetupDiEnumDeviceInfo", Setupapi, false},
    {"SetupDiGetDeviceInstanceIdA", Setupapi, false},
    {"SetupDiGetDeviceRegistryPropertyA", Setupapi, false},
    {"SetupDiSetDeviceRegistryPropertyA", Setupapi, false},
    {"SetupDiOpenDevRegKey", Setupapi, false},
    {"SetupDiGetDeviceInstallParamsA", Setupapi, false},
    {"SetupPromptReboot", Setupapi, false},
    {"SetupDiSetClassInstallParamsA", Setupapi, false},
    {"SetupDiCallClassInstaller", Setupapi, false},
    // Waiting for Windows' own installations is a courtesy the program can
    // do without.
    {"CMP_WaitNoPendingInstallEvents", Setupapi, true},
    // Without a device's status a removal left for the restart reads as
    // one that failed: strict but never wrong.
    {"CM_Get_DevNode_Status", Setupapi, true},
    {"UpdateDriverForPlugAndPlayDevicesA", Newdev, false},
    {"RegOpenKeyExA", Advapi32, false},
    {"RegCreateKeyExA", Advapi32, false},
    {"RegQueryValueExA", Advapi32, false},
    {"RegSetValueExA", Advapi32, false},
    {"RegDeleteValueA", Advapi32, false},
    {"RegDeleteKeyA", Advapi32, false},
    {"RegCloseKey", Advapi32, false},
    {"ConvertStringSecurityDescriptorToSecurityDescriptorA", Advapi32, false},
    {"ComDBOpen", Msports, false},
    {"ComDBClose", Msports, false},
    {"ComDBClaimPort", Msports, false},
    {"ComDBReleasePort", Msports, false},
    {"ComDBGetCurrentPortUsage", Msports, false},
};

using Address = void (*)();

// Filled by LoadSystemDlls: every function's address, or null with its
// DLL's loader error. Until then nothing is loaded.
Address addresses[FunctionCount];
DWORD dllErrors[DllCount] = {ERROR_MOD_NOT_FOUND, ERROR_MOD_NOT_FOUND, ERROR_MOD_NOT_FOUND,
                             ERROR_MOD_NOT_FOUND};

// The last error, or the given one where the loader failed without saying
// why: a missing function must never read as success.
DWORD LastErrorOr(DWORD fallback) {
  const DWORD error = GetLastError();
  return error != ERROR_SUCCESS ? error : fallback;
}

// Where the search flags work, System32 alone is searched, for the DLL and
// for the DLLs it imports. Without them (Windows 7 without KB2533623) the
// DLL is named by its full path, and its imports are searched for from its
// own folder, System32, first.
HMODULE LoadFromSystem32(const char* name, bool searchFlags) {
  if (searchFlags) return LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  char directory[MAX_PATH];
  const UINT length = GetSystemDirectoryA(directory, MAX_PATH);
  if (length == 0) return nullptr;
  char path[MAX_PATH];
  const int written =
      length < MAX_PATH ? _snprintf(path, sizeof path, "%s\\%s", directory, name) : -1;
  if (written < 0 || written >= MAX_PATH) {
    SetLastError(ERROR_BUFFER_OVERFLOW);
    return nullptr;
  }
  return LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

// Loads one DLL and resolves all of its functions, or none.
void Load(Dll dll, bool searchFlags) {
  const HMODULE module = LoadFromSystem32(kDllNames[dll], searchFlags);
  if (module == nullptr) {
    dllErrors[dll] = LastErrorOr(ERROR_MOD_NOT_FOUND);
    return;
  }
  DWORD error = ERROR_SUCCESS;
  for (int f = 0; f < FunctionCount && error == ERROR_SUCCESS; ++f) {
    if (kImports[f].dll != dll) continue;
    addresses[f] = reinterpret_cast<Address>(GetProcAddress(module, kImports[f].name));
    if (addresses[f] == nullptr && !kImports[f].optional) {
      error = LastErrorOr(ERROR_PROC_NOT_FOUND);
    }
  }
  if (error != ERROR_SUCCESS) {
    for (int f = 0; f < FunctionCount; ++f) {
      if (kImports[f].dll == dll) addresses[f] = nullptr;
    }
    FreeLibrary(module);
  }
  dllErrors[dll] = error;
}

// A function's address as its own type; null, with the loader's error as
// the last error, when it could not be had.
template <typename Pointer>
Pointer Resolved(Function f) {
  if (addresses[f] == nullptr) {
    const DWORD error = dllErrors[kImports[f].dll];
    SetLastError(error != ERROR_SUCCESS ? error : ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<Pointer>(addresses[f]);
}

}  // namespace

void LoadSystemDlls() {
  // Resolved, not imported: the exe must start where kernel32 lacks it.
  const auto setDefaultDllDirectories =
      reinterpret_cast<decltype(&SetDefaultDllDirectories)>(reinterpret_cast<Address>(
          GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories")));
  // From here on every DLL this process loads, also those setupapi loads
  // itself (class installers, signature checks), comes from System32.
  const bool searchFlags = setDefaultDllDirectories != nullptr &&
                           setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) == TRUE;
  // Without that, at least the current folder is never searched.
  if (!searchFlags) SetDllDirectoryA("");
  for (int dll = 0; dll < DllCount; ++dll) Load(static_cast<Dll>(dll), searchFlags);
}

// setupapi

BOOL WINAPI SetupDiGetINFClassA(PCSTR infName, LPGUID classGuid, PSTR className,
                                DWORD classNameSize, PDWORD requiredSize) {
  const auto f = Resolved<decltype(&SetupDiGetINFClassA)>(GetInfClass);
  return f != nullptr ? f(infName, classGuid, className, classNameSize, requiredSize) : FALSE;
}

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND parent,
                                     DWORD flags) {
  const auto f = Resolved<decltype(&SetupDiGetClassDevsA)>(GetClassDevs);
  return f != nullptr ? f(classGuid, enumerator, parent, flags) : INVALID_HANDLE_VALUE;
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA record) {
  const auto f = Resolved<decltype(&SetupDiEnumDeviceInfo)>(EnumDeviceInfo);
  return f != nullptr ? f(set, index, record) : FALSE;
}

BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO set, PSP_DEVINFO_DATA record, PSTR buffer,
                                        DWORD bufferSize, PDWORD requiredSize) {
  const auto f = Resolved<decltype(&SetupDiGetDeviceInstanceIdA)>(GetInstanceId);
  return f != nullptr ? f(set, record, buffer, bufferSize, requiredSize) : FALSE;
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, PSP_DEVINFO_DATA record, DWORD property,
                                              PDWORD type, PBYTE buffer, DWORD bufferSize,
                                              PDWORD requiredSize) {
  const auto f = Resolved<decltype(&SetupDiGetDeviceRegistryPropertyA)>(GetProperty);
  return f != nullptr ? f(set, record, property, type, buffer, bufferSize, requiredSize) : FALSE;
}

BOOL WINAPI SetupDiSetDeviceRegistryPropertyA(HDEVINFO set, PSP_DEVINFO_DATA record, DWORD property,
                                              const BYTE* buffer, DWORD bufferSize) {
  const auto f = Resolved<decltype(&SetupDiSetDeviceRegistryPropertyA)>(SetProperty);
  return f != nullptr ? f(set, record, property, buffer, bufferSize) : FALSE;
}

HKEY WINAPI SetupDiOpenDevRegKey(HDEVINFO set, PSP_DEVINFO_DATA record, DWORD scope,
                                 DWORD hwProfile, DWORD keyType, REGSAM access) {
  const auto f = Resolved<decltype(&SetupDiOpenDevRegKey)>(OpenDeviceKey);
  return f != nullptr ? f(set, record, scope, hwProfile, keyType, access)
                      : static_cast<HKEY>(INVALID_HANDLE_VALUE);
}

BOOL WINAPI SetupDiGetDeviceInstallParamsA(HDEVINFO set, PSP_DEVINFO_DATA record,
                                           PSP_DEVINSTALL_PARAMS_A params) {
  const auto f = Resolved<decltype(&SetupDiGetDeviceInstallParamsA)>(GetInstallParams);
  return f != nullptr ? f(set, record, params) : FALSE;
}

INT WINAPI SetupPromptReboot(HSPFILEQ fileQueue, HWND owner, BOOL scanOnly) {
  const auto f = Resolved<decltype(&SetupPromptReboot)>(PromptReboot);
  return f != nullptr ? f(fileQueue, owner, scanOnly) : -1;
}

BOOL WINAPI SetupDiSetClassInstallParamsA(HDEVINFO set, PSP_DEVINFO_DATA record,
                                          PSP_CLASSINSTALL_HEADER params, DWORD size) {
  const auto f = Resolved<decltype(&SetupDiSetClassInstallParamsA)>(SetClassInstallParams);
  return f != nullptr ? f(set, record, params, size) : FALSE;
}

BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION function, HDEVINFO set, PSP_DEVINFO_DATA record) {
  const auto f = Resolved<decltype(&SetupDiCallClassInstaller)>(CallClassInstaller);
  return f != nullptr ? f(function, set, record) : FALSE;
}

DWORD WINAPI CMP_WaitNoPendingInstallEvents(DWORD timeout) {
  const auto f = Resolved<decltype(&CMP_WaitNoPendingInstallEvents)>(WaitNoPendingInstalls);
  return f != nullptr ? f(timeout) : WAIT_FAILED;
}

// The configuration manager gives its error as the result.
CONFIGRET WINAPI CM_Get_DevNode_Status(PULONG status, PULONG problem, DEVINST device, ULONG flags) {
  const auto f = Resolved<decltype(&CM_Get_DevNode_Status)>(GetDevNodeStatus);
  return f != nullptr ? f(status, problem, device, flags) : CR_FAILURE;
}

// newdev

BOOL WINAPI UpdateDriverForPlugAndPlayDevicesA(HWND parent, LPCSTR hardwareId, LPCSTR fullInfPath,
                                               DWORD installFlags, PBOOL rebootRequired) {
  const auto f = Resolved<decltype(&UpdateDriverForPlugAndPlayDevicesA)>(UpdateDriver);
  return f != nullptr ? f(parent, hardwareId, fullInfPath, installFlags, rebootRequired) : FALSE;
}

// advapi32: the registry gives its error as the result.

LONG WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result) {
  const auto f = Resolved<decltype(&RegOpenKeyExA)>(OpenKey);
  return f != nullptr ? f(key, subKey, options, access, result) : static_cast<LONG>(GetLastError());
}

LONG WINAPI RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options,
                            REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY result,
                            LPDWORD disposition) {
  const auto f = Resolved<decltype(&RegCreateKeyExA)>(CreateKey);
  return f != nullptr
             ? f(key, subKey, reserved, keyClass, options, access, security, result, disposition)
             : static_cast<LONG>(GetLastError());
}

LONG WINAPI RegDeleteValueA(HKEY key, LPCSTR valueName) {
  const auto f = Resolved<decltype(&RegDeleteValueA)>(DeleteValue);
  return f != nullptr ? f(key, valueName) : static_cast<LONG>(GetLastError());
}

LONG WINAPI RegDeleteKeyA(HKEY key, LPCSTR subKey) {
  const auto f = Resolved<decltype(&RegDeleteKeyA)>(DeleteKey);
  return f != nullptr ? f(key, subKey) : static_cast<LONG>(GetLastError());
}

LONG WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type,
                             LPBYTE data, LPDWORD dataSize) {
  const auto f = Resolved<decltype(&RegQueryValueExA)>(QueryValue);
  return f != nullptr ? f(key, valueName, reserved, type, data, dataSize)
                      : static_cast<LONG>(GetLastError());
}

LONG WINAPI RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                           DWORD dataSize) {
  const auto f = Resolved<decltype(&RegSetValueExA)>(SetValue);
  return f != nullptr ? f(key, valueName, reserved, type, data, dataSize)
                      : static_cast<LONG>(GetLastError());
}

LONG WINAPI RegCloseKey(HKEY key) {
  const auto f = Resolved<decltype(&RegCloseKey)>(CloseKey);
  return f != nullptr ? f(key) : static_cast<LONG>(GetLastError());
}

BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorA(LPCSTR text, DWORD revision,
                                                                 PSECURITY_DESCRIPTOR* descriptor,
                                                                 PULONG size) {
  const auto f = Resolved<decltype(&ConvertStringSecurityDescriptorToSecurityDescriptorA)>(
      ConvertSecurityDescriptor);
  return f != nullptr ? f(text, revision, descriptor, size) : FALSE;
}

// msports: the COM port database gives its error as the result too.

LONG WINAPI ComDBOpen(PHCOMDB database) {
  const auto f = Resolved<decltype(&ComDBOpen)>(OpenComDb);
  if (f != nullptr) return f(database);
  if (database != nullptr) *database = HCOMDB_INVALID_HANDLE_VALUE;
  return static_cast<LONG>(GetLastError());
}

LONG WINAPI ComDBClose(HCOMDB database) {
  const auto f = Resolved<decltype(&ComDBClose)>(CloseComDb);
  return f != nullptr ? f(database) : static_cast<LONG>(GetLastError());
}

LONG WINAPI ComDBClaimPort(HCOMDB database, DWORD comNumber, BOOL forceClaim, PBOOL forced) {
  const auto f = Resolved<decltype(&ComDBClaimPort)>(ClaimPort);
  return f != nullptr ? f(database, comNumber, forceClaim, forced)
                      : static_cast<LONG>(GetLastError());
}

LONG WINAPI ComDBReleasePort(HCOMDB database, DWORD comNumber) {
  const auto f = Resolved<decltype(&ComDBReleasePort)>(ReleasePort);
  return f != nullptr ? f(database, comNumber) : static_cast<LONG>(GetLastError());
}

LONG WINAPI ComDBGetCurrentPortUsage(HCOMDB database, PBYTE buffer, DWORD bufferSize,
                                     ULONG reportType, LPDWORD maxPortsReported) {
  const auto f = Resolved<decltype(&ComDBGetCurrentPortUsage)>(GetPortUsage);
  return f != nullptr ? f(database, buffer, bufferSize, reportType, maxPortsReported)
                      : static_cast<LONG>(GetLastError());
}
