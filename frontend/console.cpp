#include "frontend/console.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "engine/fixed_text.h"
#include "engine/port_installer.h"
#include "frontend/run_guard.h"
#include "platform/platform.h"

namespace {

const char kBanner[] =
    "QRV 7310-zz5 PCI Serial Port Installer\n"
    "Version 1.00\n"
    "Do not turn off the computer or remove the card until this program has finished.\n\n";

// The 32-bit program on 64-bit Windows: Windows refuses it the installation
// and removal of devices, so it changes nothing and says which one to run.
const char kWow64Refusal[] =
    "This is 64-bit Windows: run qrvinst64.exe instead. Nothing was changed.\n";

// Another run kept the machine for longer than a run waits for it.
const char kBusyRefusal[] = "Another qrvinst run has not finished. Nothing was changed.\n";
// The mutex that keeps runs apart could not be had: a run never goes ahead
// without it.
const char kLockRefusal[] =
    "Could not take the lock that keeps qrvinst runs apart (%s). Nothing was changed.\n";

const char kOtherRunNotice[] = "Waiting for another qrvinst run to finish...\n";
const char kInstallationsNotice[] = "Waiting for Windows to finish installing devices...\n";

struct ReassignRow {
  const char* prompt;
  const char* portName;
  ChildPort child;  // also the row's bit in a strict run's status
  const char* name;
};

constexpr ReassignRow kReassignRows[] = {
    {"Reassigning MSR COM Port - ", "COM3", MsrPort, "MSR"},
    {"Reassigning VFD COM Port - ", "COM4", VfdPort, "VFD"},
    {"Reassigning Touch Screen COM Port - ", "COM5", TouchScreenPort, "Touch Screen"},
    {"Reassigning Serial Port C COM Port - ", "COM6", SerialPortC, "Serial Port C"},
};

// Exit statuses that deployment tools know by number: success with a
// restart needed or already begun, success (ERROR_INSTALL_SUCCESS), and the
// generic installation failure.
constexpr int kRestartNeeded = static_cast<int>(ERROR_SUCCESS_REBOOT_REQUIRED);
constexpr int kRestartBegun = static_cast<int>(ERROR_SUCCESS_REBOOT_INITIATED);
constexpr int kInstallSuccess = 1707;
constexpr int kInstallFailure = static_cast<int>(ERROR_INSTALL_FAILURE);
// Windows Installer's "another installation is in progress", which
// deployment tools retry.
constexpr int kAnotherInstallation = static_cast<int>(ERROR_INSTALL_ALREADY_RUNNING);

// Every text is written verbatim and flushed at once, so that a step's
// prompt stands on the screen while the step runs, even through a pipe.
// A console that cannot be written to changes nothing about the run: the
// steps go on and the exit status is the same, so neither result is used.
void Print(const char* text) {
  (void)std::fputs(text, stdout);
  (void)std::fflush(stdout);
}

// A process whose check fails is taken to be native, as it is on 32-bit
// Windows.
bool RunsUnderWow64() {
  BOOL wow64 = FALSE;
  return IsWow64Process(GetCurrentProcess(), &wow64) == TRUE && wow64 == TRUE;
}

// The status of a failed installation: the Windows error code, unless a
// deployment tool would read that code as success; such a failure gives
// 1603 instead. (No code at all never gets here: the installer reports a
// failure without one as 1.)
int InstallFailureStatus(int error) {
  switch (error) {
    case kRestartNeeded:
    case kRestartBegun:
    case kInstallSuccess:
      return kInstallFailure;
    default:
      return error;
  }
}

// Names a Windows error code as Windows gave it: "Windows error 5", the
// setup API's own codes, which have the top bit set, in hex; or says that
// there was none.
void NameError(char (&text)[64], DWORD error) {
  if (error == ERROR_SUCCESS) {
    FormatInto(text, "%s", "Windows gave no error code");
  } else {
    FormatInto(text, (error & 0x80000000U) != 0 ? "Windows error 0x%08X" : "Windows error %u",
               static_cast<unsigned>(error));
  }
}

const char* Devices(DWORD count) { return count == 1 ? "device" : "devices"; }

// A strict run also tells when the COM port database is no longer true.
void NoteComDatabase(const PortInstaller& installer, Verdict& verdict) {
  if (installer.ComDatabaseMissed()) {
    AppendTo(verdict.words, " The COM name database was not updated.");
  }
}

// A strict install tells when Windows was still installing devices as it
// ended: the child ports may not all be there yet.
void NoteInstallations(bool settled, Verdict& verdict) {
  const std::size_t length = std::strlen(verdict.words);
  if (settled || length == 0 || verdict.words[length - 1] != '.') return;
  verdict.words[length - 1] = '\0';
  if (!AppendTo(verdict.words, "; Windows was still installing devices.")) {
    verdict.words[length - 1] = '.';
  }
}

// The last line of a strict run; gives its status. The line has room for
// the words of any verdict after the longest status (32 bytes hold the
// status, its words' lead-in and the line feed).
int EndStrictRun(const Verdict& verdict) {
  char line[32 + sizeof verdict.words];
  if (FormatInto(line, "Exit status %d: %s\n", verdict.status, verdict.words)) Print(line);
  return verdict.status;
}

// Gives a verdict its status and words. (Written as a Verdict literal, each
// would keep a copy of the whole words buffer in the exe.)
void Set(Verdict& verdict, int status, const char* words) {
  verdict.status = status;
  FormatInto(verdict.words, "%s", words);
}

int EndStrictRun(int status, const char* words) {
  Verdict verdict{};
  Set(verdict, status, words);
  return EndStrictRun(verdict);
}

}  // namespace

bool IsStrictRun(int argc, const char* const argv[]) {
  static const char kSwitch[] = "/strict";
  for (int i = 1; i < argc; ++i) {
    std::size_t n = 0;
    while (kSwitch[n] != '\0' &&
           std::tolower(static_cast<unsigned char>(argv[i][n])) == kSwitch[n]) {
      ++n;
    }
    if (kSwitch[n] == '\0' && argv[i][n] == '\0') return true;
  }
  return false;
}

Mode SelectMode(int argc, const char* const argv[]) {
  if (argc > 1) {
    if (std::strcmp(argv[1], "u") == 0) return Mode::Uninstall;
    if (std::strcmp(argv[1], "r") == 0) return Mode::Reassign;
  }
  return Mode::Install;
}

Verdict RunInstallSequence(PortInstaller& installer, bool strict, bool settled) {
  Print("Installing 7310-zz5 PCI Serial Port Drivers - ");
  // Asked for the answer, Windows never puts up its own restart prompt: it
  // would do so after any of the six drivers, and a restart then would cut
  // the install short.
  BOOL restart = FALSE;
  // A strict run is a deployment tool's, often as SYSTEM where nobody sees
  // a dialog: Windows fails a step that needs one rather than wait for ever.
  const int result = installer.InstallDrivers(&restart, !strict);
  // The child ports come up once their parent has its driver, and Windows
  // installs them in the background: the result waits for them. The prompt
  // stands on the screen meanwhile.
  settled = WaitForDeviceInstallations(Print, nullptr) && settled;
  Print(result == 0 ? " [ OK ]\n" : " [ FAILED ] \n");
  // A plain run lets Windows ask for the restart, once, at the end; a
  // strict one leaves it to the deployment tool.
  if (restart != FALSE && !strict) SetupPromptReboot(nullptr, nullptr, FALSE);
  Verdict verdict{};
  Set(verdict, 0, "installed.");
  if (result == 0 && restart != FALSE) {
    Set(verdict, kRestartNeeded, "installed; restart Windows to finish.");
  } else if (result == 0 && installer.DriversAlreadyCurrent()) {
    Set(verdict, 0, "installed; drivers already current.");
  } else if (result != 0) {
    verdict.status = InstallFailureStatus(result);
    char error[64];
    NameError(error, installer.LastInstallFault() == PortInstaller::InstallFault::NoErrorCode
                         ? ERROR_SUCCESS
                         : static_cast<DWORD>(result));
    const char* why = "";
    switch (installer.LastInstallFault()) {
      case PortInstaller::InstallFault::WindowsDirectoryLong:
        FormatInto(error, "%s", "the path of the Windows folder is too long");
        break;
      case PortInstaller::InstallFault::NoDriverInInf:
        why = "; an INF file has no driver for the card's device on this Windows";
        break;
      default:
        if (result == static_cast<int>(ERROR_REQUIRES_INTERACTIVE_WINDOWSTATION)) {
          why =
              "; the driver package needs a dialog, usually because its publisher is not "
              "trusted on this machine";
        }
        break;
    }
    FormatInto(verdict.words, "install failed, %s%s.", error, why);
  }
  NoteInstallations(settled, verdict);
  return verdict;
}

// Appends a row's name to a list of them, "MSR, VFD".
void ListRow(char (&list)[64], const ReassignRow& row) {
  if (list[0] != '\0') AppendTo(list, ", ");
  AppendTo(list, row.name);
}

Verdict RunReassignSequence(PortInstaller& installer, bool strict) {
  Verdict verdict{};
  Set(verdict, 0, "all four ports reassigned.");
  // The rows that failed, and those whose port is not present: the plain
  // run reads those as done, a strict one as not named. The four names fit
  // either list with room to spare. Of a row that failed because another
  // device holds its name, the words name that device.
  char failed[64] = "";
  char absent[64] = "";
  char holders[4 * (40 + PortInstaller::kInstanceIdSize)] = "";
  DWORD renamed = 0;
  DWORD notRestarted = 0;
  installer.OpenComDatabase();
  for (const ReassignRow& row : kReassignRows) {
    Print(row.prompt);
    PortInstaller::ChildPorts ports{};
    const int result = installer.ReassignChildPort(row.child, row.portName, &ports);
    renamed += ports.renamed;
    notRestarted += ports.notRestarted;
    if (result != 0) {
      Print("[ FAILED ]\n");
      ListRow(failed, row);
      verdict.status |= 1 << row.child;
      char holder[sizeof holders];
      if (ports.holder[0] != '\0' &&
          FormatInto(holder, "; %s is held by %s, %s", row.portName, ports.holder,
                     ports.holderPlugged ? "plugged in" : "not plugged in")) {
        AppendTo(holders, holder);
      }
      continue;
    }
    Print("[ OK ] \n");
    if (ports.found == 0) {
      ListRow(absent, row);
      verdict.status |= 1 << row.child;
    }
  }
  // Not held through the pause: other installers wait for it.
  installer.CloseComDatabase();
  Sleep(3000);
  // A port that could not be restarted answers to its new name once
  // Windows restarts: a plain run lets Windows ask for that, once, at the
  // end; a strict one leaves it to the deployment tool.
  if (notRestarted != 0 && !strict) SetupPromptReboot(nullptr, nullptr, FALSE);
  if (verdict.status == 0 && renamed == 0) {
    Set(verdict, 0, "all four ports already had their names.");
  } else if (verdict.status == 0 && notRestarted != 0) {
    Set(verdict, kRestartNeeded,
        "ports named; restart Windows so that they answer to their new names.");
  } else if (failed[0] == '\0' && verdict.status == (1 << ChildPortCount) - 1) {
    Set(verdict, verdict.status, "no port of the card is present; nothing was named.");
  } else if (failed[0] != '\0' && absent[0] != '\0') {
    FormatInto(verdict.words, "reassign failed for %s; %s not present%s.", failed, absent, holders);
  } else if (failed[0] != '\0') {
    FormatInto(verdict.words, "reassign failed for %s%s.", failed, holders);
  } else if (absent[0] != '\0') {
    FormatInto(verdict.words, "reassign failed: %s not present.", absent);
  }
  NoteComDatabase(installer, verdict);
  return verdict;
}

Verdict RunUninstallSequence(PortInstaller& installer, bool strict) {
  Print("Uninstalling 7310-zz5 PCI Serial Port Drivers - ");
  // A strict run counts the card's devices before and after; a plain one
  // makes no call beyond the removals and the COM port database's.
  DWORD before = 0;
  const bool counted = strict && installer.CountCardDevices(before) == 0;
  // The child ports give their numbers back; the database is closed before
  // the functions go.
  installer.OpenComDatabase();
  installer.RemoveChildDevices();
  installer.CloseComDatabase();
  installer.RemoveParentDevices();
  // A second run removes a second card's functions. Only the spacing of the
  // line tells whether it did.
  Print(installer.RemoveParentDevices() == 0 ? " [ OK ]\n" : " [ OK ] \n");

  DWORD after = 0;
  DWORD pending = 0;
  Verdict verdict{};
  Set(verdict, 1, "uninstall not confirmed; could not look for the card (INF files missing?).");
  if (counted && installer.CountCardDevices(after, &pending) == 0) {
    // A device whose removal waits for the restart is still listed until
    // then, and goes at the restart.
    const DWORD left = after - pending;
    if (left != 0) {
      FormatInto(verdict.words, "uninstall incomplete; %lu %s of the card still present.",
                 static_cast<unsigned long>(left), Devices(left));
    } else if (before == 0) {
      Set(verdict, 0, "no card found; nothing to uninstall.");
    } else if (pending != 0 || installer.RemovalNeedsRestart()) {
      Set(verdict, kRestartNeeded, "uninstalled; restart Windows to finish.");
    } else {
      verdict.status = 0;
      FormatInto(verdict.words, "uninstalled; %lu %s of the card removed.",
                 static_cast<unsigned long>(before), Devices(before));
    }
  }
  NoteComDatabase(installer, verdict);
  return verdict;
}

int RunProgram(int argc, const char* const argv[]) {
  const bool strict = IsStrictRun(argc, argv);
  if (RunsUnderWow64()) {
    Print(kBanner);
    Print(kWow64Refusal);
    return strict ? EndStrictRun(1, "refused; this is the 32-bit program on 64-bit Windows.") : 1;
  }
  Print(kBanner);
  // Held to the end of the run, pause included.
  RunLock lock;
  switch (lock.Take(Print, kOtherRunNotice)) {
    case RunLock::Taken:
      break;
    case RunLock::Busy:
      Print(kBusyRefusal);
      return strict ? EndStrictRun(kAnotherInstallation,
                                   "refused; another qrvinst run has not finished.")
                    : 1;
    case RunLock::Refused: {
      char error[64];
      NameError(error, lock.Error());
      char line[sizeof kLockRefusal + sizeof error];
      if (FormatInto(line, kLockRefusal, error)) Print(line);
      return strict ? EndStrictRun(kAnotherInstallation,
                                   "refused; could not take the lock that keeps qrvinst runs "
                                   "apart.")
                    : 1;
    }
  }
  // Devices that Windows is still installing are not yet what the run
  // would find.
  const bool settled = WaitForDeviceInstallations(Print, kInstallationsNotice);
  PortInstaller installer;
  Verdict verdict{};
  switch (SelectMode(argc, argv)) {
    case Mode::Install:
      verdict = RunInstallSequence(installer, strict, settled);
      break;
    case Mode::Reassign:
      verdict = RunReassignSequence(installer, strict);
      break;
    case Mode::Uninstall:
      verdict = RunUninstallSequence(installer, strict);
      break;
  }
  // A plain run tells its outcome by its printed lines alone.
  return strict ? EndStrictRun(verdict) : 0;
}
