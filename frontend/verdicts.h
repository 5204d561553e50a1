// How a run ends in the exit status that deployment tools read, and in the
// words of its last line: each sequence gathers what happened, and these
// functions alone decide what that means.
#pragma once

#include "engine/port_installer.h"
#include "platform/platform.h"

// A status and, for the last line of a strict run, its meaning in words.
struct Verdict {
  int status;
  char words[640];
};

// Exit statuses that deployment tools know by number: success with a
// restart needed, Windows Installer's "another installation is in
// progress", which they retry, and its code for a package made for another
// processor.
constexpr int kRestartNeeded = static_cast<int>(ERROR_SUCCESS_REBOOT_REQUIRED);
constexpr int kAnotherInstallation = static_cast<int>(ERROR_INSTALL_ALREADY_RUNNING);
// Windows Installer's "This installation package is not supported by this
// processor type".
constexpr int kOtherProcessor = static_cast<int>(ERROR_INSTALL_PLATFORM_UNSUPPORTED);

// Gives a verdict its status and words. (Written as a Verdict literal, each
// would keep a copy of the whole words buffer in the exe.)
void Set(Verdict& verdict, int status, const char* words);

// Names a Windows error code as Windows gave it: "Windows error 5", the
// setup API's own codes, which have the top bit set, in hex; or says that
// there was none.
void NameError(char (&text)[64], DWORD error);

struct InstallFacts {
  int result;  // InstallDrivers'
  bool restartNeeded;
  bool alreadyCurrent;
  PortInstaller::InstallFault fault;
  bool settled;  // Windows had no device installation pending at the end
  // Where the INF files were read from: the folder, and whether the one
  // beside the exe was passed over because its path is too long.
  const char* infFolder;
  bool exeFolderTooLong;
  const char* missingInf;  // the INF file found missing, for InfMissing
};
// 0 installed; 3010 installed, restart needed; otherwise the Windows error
// code of the failed function, with 1603 in place of a code that would
// read as success.
Verdict InstallVerdict(const InstallFacts& facts);

struct ReassignFacts {
  int notNamed;     // one bit per row that failed or found no port
  char failed[64];  // "MSR, VFD": the rows that failed
  char absent[64];  // the rows whose port is not present
  // "; COM3 is held by the Ports device <device>, plugged in" for each row
  // whose name another device holds
  char holders[4 * (90 + PortInstaller::kInstanceIdSize)];
  DWORD renamed;
  DWORD notRestarted;  // renamed ports that answer to their names only after a restart
  bool comDatabaseMissed;
};
// Adds a row's name to one of the lists, "MSR, VFD".
void ListRow(char (&list)[64], const char* name);
// 0 all four named and answering to their names; 3010 named, some only
// after a restart of Windows; otherwise the bits of the rows not named.
Verdict ReassignVerdict(const ReassignFacts& facts);

struct UninstallFacts {
  bool counted;  // the card's devices could be looked for before and after
  DWORD before;
  DWORD after;
  DWORD pending;  // of those after, the ones whose removal waits for the restart
  bool removalNeedsRestart;
  bool comDatabaseMissed;
};
// 0 none of the card's devices left (or none there); 3010 when those left
// go at the restart; else 1.
Verdict UninstallVerdict(const UninstallFacts& facts);

// The bits of a check's status beyond those of the ports (MSR 1, VFD 2,
// Touch Screen 4, Serial Port C 8): the product function and the base
// function.
constexpr int kProductFunctionBit = 1 << ChildPortCount;
constexpr int kBaseFunctionBit = 2 << ChildPortCount;

struct CheckFacts {
  int notSetUp;       // one bit per kind of device that is not as it should be
  char reasons[400];  // "MSR port is not named COM3; VFD port not present"
};
// 0 when the card is set up: both functions and the four ports present
// with a driver, the ports named COM3 to COM6; otherwise the bits of what is
// not.
Verdict CheckVerdict(const CheckFacts& facts);
