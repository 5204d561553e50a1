// Host stand-in for the part of the Windows API the program calls: the same
// names, types and constant values, implemented by the simulated machine in
// sim_machine.h. Only what the program needs is declared here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = unsigned int;
using LONG = std::int32_t;
using BOOL = int;
using ULONG_PTR = std::uintptr_t;
using REGSAM = DWORD;
using LPSTR = char*;
using PSTR = char*;
using LPCSTR = const char*;
using PCSTR = const char*;
using PDWORD = DWORD*;
using LPDWORD = DWORD*;
using LPBYTE = BYTE*;
using PBOOL = BOOL*;
using PBYTE = BYTE*;
using ULONG = std::uint32_t;
using PULONG = ULONG*;
using HANDLE = void*;
using HMODULE = struct ModuleHandle*;
using HLOCAL = void*;
using PSECURITY_DESCRIPTOR = void*;
struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  PSECURITY_DESCRIPTOR lpSecurityDescriptor;
  BOOL bInheritHandle;
};
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;
using HDEVINFO = void*;
using HWND = struct WindowHandle*;
using HKEY = struct RegistryKeyHandle*;
using PHKEY = HKEY*;
using HCOMDB = struct ComDatabaseHandle*;
using PHCOMDB = HCOMDB*;
using DEVINST = DWORD;
using CONFIGRET = DWORD;

struct GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
};
using LPGUID = GUID*;

// Laid out as on Windows: 28 bytes for 32-bit programs, 32 for 64-bit ones.
struct SP_DEVINFO_DATA {
  DWORD cbSize;
  GUID ClassGuid;
  DWORD DevInst;
  ULONG_PTR Reserved;
};
using PSP_DEVINFO_DATA = SP_DEVINFO_DATA*;

struct SP_DEVINSTALL_PARAMS_A {
  DWORD cbSize;
  DWORD Flags;
  DWORD FlagsEx;
  HWND hwndParent;
  void* InstallMsgHandler;
  void* InstallMsgHandlerContext;
  void* FileQueue;
  ULONG_PTR ClassInstallReserved;
  DWORD Reserved;
  char DriverPath[260];
};
using PSP_DEVINSTALL_PARAMS_A = SP_DEVINSTALL_PARAMS_A*;

using DI_FUNCTION = UINT;
struct SP_CLASSINSTALL_HEADER {
  DWORD cbSize;
  DI_FUNCTION InstallFunction;
};
using PSP_CLASSINSTALL_HEADER = SP_CLASSINSTALL_HEADER*;
struct SP_PROPCHANGE_PARAMS {
  SP_CLASSINSTALL_HEADER ClassInstallHeader;
  DWORD StateChange;
  DWORD Scope;
  DWORD HwProfile;
};
using HSPFILEQ = void*;

#define WINAPI
#define TRUE 1
#define FALSE 0
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))
#define HCOMDB_INVALID_HANDLE_VALUE (reinterpret_cast<HCOMDB>(INVALID_HANDLE_VALUE))
#define HKEY_LOCAL_MACHINE \
  (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000002))))

constexpr DWORD MAX_PATH = 260;
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x00000010;
constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x00000020;
constexpr DWORD DIGCF_PRESENT = 0x00000002;
constexpr DWORD DIGCF_ALLCLASSES = 0x00000004;
constexpr DWORD SPDRP_HARDWAREID = 0x00000001;
constexpr DWORD SPDRP_CLASS = 0x00000007;
constexpr DWORD SPDRP_DRIVER = 0x00000009;
constexpr DWORD SPDRP_FRIENDLYNAME = 0x0000000C;
constexpr DWORD DICS_FLAG_GLOBAL = 0x00000001;
constexpr DWORD DICS_FLAG_CONFIGSPECIFIC = 0x00000002;
constexpr DWORD DICS_PROPCHANGE = 0x00000003;
constexpr DI_FUNCTION DIF_REMOVE = 0x00000005;
constexpr DI_FUNCTION DIF_PROPERTYCHANGE = 0x00000012;
constexpr DWORD DIREG_DEV = 0x00000001;
constexpr DWORD INSTALLFLAG_FORCE = 0x00000001;
constexpr DWORD INSTALLFLAG_READONLY = 0x00000002;
constexpr DWORD INSTALLFLAG_NONINTERACTIVE = 0x00000004;
constexpr DWORD DI_NEEDRESTART = 0x00000080;
constexpr DWORD DI_NEEDREBOOT = 0x00000100;
constexpr int SPFILEQ_REBOOT_RECOMMENDED = 0x00000002;
constexpr DWORD SYNCHRONIZE = 0x00100000;
constexpr DWORD READ_CONTROL = 0x00020000;
constexpr DWORD MUTEX_ALL_ACCESS = 0x001F0001;
constexpr DWORD SDDL_REVISION_1 = 1;
constexpr CONFIGRET CR_SUCCESS = 0x00000000;
constexpr CONFIGRET CR_NO_SUCH_DEVINST = 0x0000000D;
constexpr CONFIGRET CR_NO_SUCH_VALUE = 0x00000025;
constexpr ULONG DN_HAS_PROBLEM = 0x00000400;
constexpr ULONG CM_PROB_WILL_BE_REMOVED = 0x00000015;
constexpr REGSAM KEY_QUERY_VALUE = 0x00000001;
constexpr REGSAM KEY_SET_VALUE = 0x00000002;
constexpr REGSAM KEY_ALL_ACCESS = 0x000F003F;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_OPTION_NON_VOLATILE = 0x00000000;
constexpr DWORD REG_OPTION_VOLATILE = 0x00000001;
constexpr DWORD ERROR_CHILD_MUST_BE_VOLATILE = 1021;

constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_INVALID_DATA = 13;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_BUFFER_OVERFLOW = 111;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
constexpr DWORD ERROR_PROC_NOT_FOUND = 127;
constexpr DWORD ERROR_MORE_DATA = 234;
constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
constexpr DWORD ERROR_CANTWRITE = 1013;
constexpr DWORD ERROR_KEY_DELETED = 1018;
constexpr DWORD ERROR_INVALID_USER_BUFFER = 1784;
constexpr DWORD ERROR_PROCESS_ABORTED = 1067;
constexpr DWORD ERROR_INVALID_FLAGS = 1004;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_NOT_OWNER = 288;
constexpr DWORD ERROR_REQUIRES_INTERACTIVE_WINDOWSTATION = 1459;
constexpr DWORD ERROR_INSTALL_FAILURE = 1603;
constexpr DWORD ERROR_INSTALL_ALREADY_RUNNING = 1618;
constexpr DWORD ERROR_INSTALL_PLATFORM_UNSUPPORTED = 1633;
constexpr DWORD ERROR_SUCCESS_REBOOT_INITIATED = 1641;
constexpr DWORD ERROR_SUCCESS_REBOOT_REQUIRED = 3010;
constexpr DWORD ERROR_NO_SUCH_DEVINST = 0xE000020B;
constexpr DWORD ERROR_KEY_DOES_NOT_EXIST = 0xE0000204;
// The setup API's refusals of a driver package whose signature this
// machine does not trust (setupapi.h).
constexpr DWORD ERROR_NO_CATALOG_FOR_OEM_INF = 0xE000022F;
constexpr DWORD ERROR_NO_AUTHENTICODE_CATALOG = 0xE000023F;
constexpr DWORD ERROR_AUTHENTICODE_DISALLOWED = 0xE0000240;
constexpr DWORD ERROR_AUTHENTICODE_TRUST_NOT_ESTABLISHED = 0xE0000242;
constexpr DWORD ERROR_AUTHENTICODE_PUBLISHER_NOT_TRUSTED = 0xE0000243;

constexpr DWORD WAIT_OBJECT_0 = 0x00000000;
constexpr DWORD WAIT_ABANDONED = 0x00000080;
constexpr DWORD WAIT_TIMEOUT = 0x00000102;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;

// The COM port database arbitrates the numbers of COM1 to COM4096.
constexpr DWORD COMDB_MAX_PORTS_ARBITRATED = 4096;
// How ComDBGetCurrentPortUsage reports the numbers in use: a bit each.
constexpr ULONG CDB_REPORT_BITS = 0x0;

// msvcrt's formatter, as the Windows build calls it: a text that fills the
// buffer exactly is not terminated, and one longer than the buffer fills it
// and gives -1 ("_snprintf, _snprintf_l, _snwprintf, _snwprintf_l").
template <typename... Args>
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): msvcrt's own name
int _snprintf(char* buffer, std::size_t count, const char* format, Args... args) {
  const int length = std::snprintf(nullptr, 0, format, args...);
  if (length < 0) return -1;
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  if (std::snprintf(&text[0], text.size(), format, args...) != length) return -1;
  const std::size_t size = static_cast<std::size_t>(length);
  std::memcpy(buffer, text.data(), size < count ? size + 1 : count);
  return size <= count ? length : -1;
}

// kernel32
UINT GetWindowsDirectoryA(LPSTR buffer, UINT size);
DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size);
DWORD GetFileAttributesA(LPCSTR path);
DWORD GetLastError();
void SetLastError(DWORD error);
void Sleep(DWORD milliseconds);
HANDLE GetCurrentProcess();
BOOL IsWow64Process(HANDLE process, PBOOL wow64);
HANDLE CreateMutexExA(LPSECURITY_ATTRIBUTES attributes, LPCSTR name, DWORD flags, DWORD access);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL ReleaseMutex(HANDLE mutex);
BOOL CloseHandle(HANDLE handle);
HLOCAL LocalFree(HLOCAL memory);

// setupapi
BOOL SetupDiGetINFClassA(PCSTR infName, LPGUID classGuid, PSTR className, DWORD classNameSize,
                         PDWORD requiredSize);
HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND parent, DWORD flags);
BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA record);
BOOL SetupDiGetDeviceInstanceIdA(HDEVINFO set, PSP_DEVINFO_DATA record, PSTR buffer,
                                 DWORD bufferSize, PDWORD requiredSize);
BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, PSP_DEVINFO_DATA record, DWORD property,
                                       PDWORD type, LPBYTE buffer, DWORD bufferSize,
                                       PDWORD requiredSize);
BOOL SetupDiSetDeviceRegistryPropertyA(HDEVINFO set, PSP_DEVINFO_DATA record, DWORD property,
                                       const BYTE* buffer, DWORD bufferSize);
HKEY SetupDiOpenDevRegKey(HDEVINFO set, PSP_DEVINFO_DATA record, DWORD scope, DWORD hwProfile,
                          DWORD keyType, REGSAM access);
BOOL SetupDiGetDeviceInstallParamsA(HDEVINFO set, PSP_DEVINFO_DATA record,
                                    PSP_DEVINSTALL_PARAMS_A params);
int SetupPromptReboot(HSPFILEQ fileQueue, HWND owner, BOOL scanOnly);
BOOL SetupDiSetClassInstallParamsA(HDEVINFO set, PSP_DEVINFO_DATA record,
                                   PSP_CLASSINSTALL_HEADER params, DWORD size);
BOOL SetupDiCallClassInstaller(DI_FUNCTION function, HDEVINFO set, PSP_DEVINFO_DATA record);
// cfgmgr32's, which setupapi exports too
DWORD CMP_WaitNoPendingInstallEvents(DWORD timeout);
CONFIGRET CM_Get_DevNode_Status(PULONG status, PULONG problem, DEVINST device, ULONG flags);

// newdev
BOOL UpdateDriverForPlugAndPlayDevicesA(HWND parent, LPCSTR hardwareId, LPCSTR fullInfPath,
                                        DWORD installFlags, PBOOL rebootRequired);

// advapi32
LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result);
LONG RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options,
                     REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY result,
                     LPDWORD disposition);
LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD dataSize);
LONG RegDeleteValueA(HKEY key, LPCSTR valueName);
LONG RegDeleteKeyA(HKEY key, LPCSTR subKey);
LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD dataSize);
LONG RegCloseKey(HKEY key);
BOOL ConvertStringSecurityDescriptorToSecurityDescriptorA(LPCSTR text, DWORD revision,
                                                          PSECURITY_DESCRIPTOR* descriptor,
                                                          PULONG size);

// msports: the COM port database
LONG ComDBOpen(PHCOMDB database);
LONG ComDBClose(HCOMDB database);
LONG ComDBClaimPort(HCOMDB database, DWORD comNumber, BOOL forceClaim, PBOOL forced);
LONG ComDBReleasePort(HCOMDB database, DWORD comNumber);
LONG ComDBGetCurrentPortUsage(HCOMDB database, PBYTE buffer, DWORD bufferSize, ULONG reportType,
                              LPDWORD maxPortsReported);
