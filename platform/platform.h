// The operating-system operations the program uses, under their Windows names.
// A Windows build gets them from the SDK headers and the system DLLs; any other
// host gets a simulated machine with the same names, types and values.
#pragma once

#ifdef _WIN32
// The program imports nothing but kernel32 and msvcrt, which Windows always
// takes from System32. The functions of setupapi, newdev, advapi32 and
// msports are defined under their own names in
// platform/windows/system_dlls.cpp, which takes them from System32 alone;
// these switches make the SDK declare them as plain functions rather than
// as imports, so that every call to them reaches those definitions. The
// configuration manager's functions are taken from setupapi, which exports
// them as cfgmgr32 does.
#define _SETUPAPI_  // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the SDK's
                    // own switch
#define _ADVAPI32_  // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the SDK's
                    // own switch
#define _CFGMGR32_  // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the SDK's
                    // own switch
#include <windows.h>
// The setup API's headers need the Windows types first.
#include <cfgmgr32.h>
#include <newdev.h>
#include <sddl.h>
#include <setupapi.h>
// Texts are formatted with msvcrt's _snprintf. MinGW's C++ library puts a
// printf of its own, with floating point and wide texts, in the place of
// std::snprintf, and that alone would be nearly half of the exe.
#include <stdio.h>

// The COM port database of msports.dll, which the SDK's MinGW headers lack;
// declared as Windows documents it.
using HCOMDB = struct ComDatabaseHandle*;
using PHCOMDB = HCOMDB*;
#define HCOMDB_INVALID_HANDLE_VALUE (reinterpret_cast<HCOMDB>(INVALID_HANDLE_VALUE))
constexpr DWORD COMDB_MAX_PORTS_ARBITRATED = 4096;
LONG WINAPI ComDBOpen(PHCOMDB database);
LONG WINAPI ComDBClose(HCOMDB database);
LONG WINAPI ComDBClaimPort(HCOMDB database, DWORD comNumber, BOOL forceClaim, PBOOL forced);
LONG WINAPI ComDBReleasePort(HCOMDB database, DWORD comNumber);
// The numbers in use, a bit each (CDB_REPORT_BITS).
constexpr ULONG CDB_REPORT_BITS = 0x0;
LONG WINAPI ComDBGetCurrentPortUsage(HCOMDB database, PBYTE buffer, DWORD bufferSize,
                                     ULONG reportType, LPDWORD maxPortsReported);

// Makes System32 the only folder this process loads DLLs from, and takes
// setupapi, newdev, advapi32 and msports from there. The first thing main
// does, before anything can load a DLL. A DLL that cannot be had is not reported
// here: the calls into it fail, each as the call itself would.
void LoadSystemDlls();
#else
#include "platform/host/windows_api.h"
#endif
