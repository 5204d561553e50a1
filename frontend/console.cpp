#include "frontend/console.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "engine/fixed_text.h"
#include "engine/port_installer.h"
#include "frontend/run_guard.h"
#include "frontend/verdicts.h"
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

// Every text is written verbatim and flushed at once, so that a step's
// prompt stands on the screen while the step runs, even through a pipe.
// A console that cannot be written to changes nothing about the run: the
// steps go on and the exit status is the same, so neither result is used.
void Print(const char* text) {
  (void)std::fputs(text, stdout);
  (void)std::fflush(stdout);
}

// Adds to a strict run's words which device holds a row's name: "; COM3 is
// held by the Modem device USB\VID_0572&PID_1329\12345678, not plugged in".
// Where Windows cannot tell whether it is plugged in, the words do not say.
void DescribeHolder(const char* portName, const PortInstaller::ChildPorts& ports,
                    ReassignFacts& facts) {
  using Presence = PortInstaller::Presence;
  char device[sizeof ports.holderClass + 16] = "";
  if (ports.holderClass[0] != '\0') FormatInto(device, "the %s device ", ports.holderClass);
  const char* presence = ports.holderPresence == Presence::Plugged     ? ", plugged in"
                         : ports.holderPresence == Presence::Unplugged ? ", not plugged in"
                                                                       : "";
  char holder[sizeof facts.holders];
  if (FormatInto(holder, "; %s is held by %s%s%s", portName, device, ports.holder, presence)) {
    AppendTo(facts.holders, holder);
  }
}

// A process whose check fails is taken to be native, as it is on 32-bit
// Windows.
bool RunsUnderWow64() {
  BOOL wow64 = FALSE;
  return IsWow64Process(GetCurrentProcess(), &wow64) == TRUE && wow64 == TRUE;
}

// The last line of a strict run; gives its status. The line has room for
// the words of any verdict after the longest status (32 bytes hold the
// status, its words' lead-in and the line feed).
int EndStrictRun(const Verdict& verdict) {
  char line[32 + sizeof verdict.words];
  if (FormatInto(line, "Exit status %d: %s\n", verdict.status, verdict.words)) Print(line);
  return verdict.status;
}

int EndStrictRun(int status, const char* words) {
  Verdict verdict{};
  Set(verdict, status, words);
  return EndStrictRun(verdict);
}

}  // namespace

// Whether any argument is the switch, in any letter case.
bool HasSwitch(int argc, const char* const argv[], const char* lowerSwitch) {
  for (int i = 1; i < argc; ++i) {
    std::size_t n = 0;
    while (lowerSwitch[n] != '\0' &&
           std::tolower(static_cast<unsigned char>(argv[i][n])) == lowerSwitch[n]) {
      ++n;
    }
    if (lowerSwitch[n] == '\0' && argv[i][n] == '\0') return true;
  }
  return false;
}

bool IsStrictRun(int argc, const char* const argv[]) { return HasSwitch(argc, argv, "/strict"); }

Mode SelectMode(int argc, const char* const argv[]) {
  // A caller that asks for a check gets one, whatever else it passed.
  if (HasSwitch(argc, argv, "/check")) return Mode::Check;
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
  return InstallVerdict({result, restart != FALSE, installer.DriversAlreadyCurrent(),
                         installer.LastInstallFault(), settled, installer.InfFolder(),
                         installer.ExeFolderTooLong(),
                         InfFileTable[installer.MissingInf()].fileName});
}

Verdict RunReassignSequence(PortInstaller& installer, bool strict) {
  // The rows that failed, and those whose port is not present: the plain
  // run reads those as done, a strict one as not named.
  ReassignFacts facts{};
  installer.OpenComDatabase();
  for (const ReassignRow& row : kReassignRows) {
    Print(row.prompt);
    PortInstaller::ChildPorts ports{};
    const int result = installer.ReassignChildPort(row.child, row.portName, &ports);
    facts.renamed += ports.renamed;
    facts.notRestarted += ports.notRestarted;
    if (result != 0) {
      Print("[ FAILED ]\n");
      ListRow(facts.failed, row.name);
      facts.notNamed |= 1 << row.child;
      if (ports.holder[0] != '\0') DescribeHolder(row.portName, ports, facts);
      continue;
    }
    Print("[ OK ] \n");
    if (ports.found == 0) {
      ListRow(facts.absent, row.name);
      facts.notNamed |= 1 << row.child;
    }
  }
  // Not held through the pause: other installers wait for it.
  installer.CloseComDatabase();
  installer.CloseRecordKeys();
  Sleep(3000);
  // A port that could not be restarted answers to its new name once
  // Windows restarts: a plain run lets Windows ask for that, once, at the
  // end; a strict one leaves it to the deployment tool.
  if (facts.notRestarted != 0 && !strict) SetupPromptReboot(nullptr, nullptr, FALSE);
  facts.comDatabaseMissed = installer.ComDatabaseMissed();
  return ReassignVerdict(facts);
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
  installer.CloseRecordKeys();
  installer.RemoveParentDevices();
  // A second run removes a second card's functions. Only the spacing of the
  // line tells whether it did.
  Print(installer.RemoveParentDevices() == 0 ? " [ OK ]\n" : " [ OK ] \n");

  UninstallFacts facts{counted, before, 0, 0, installer.RemovalNeedsRestart(), false};
  facts.counted = counted && installer.CountCardDevices(facts.after, &facts.pending) == 0;
  facts.comDatabaseMissed = installer.ComDatabaseMissed();
  return UninstallVerdict(facts);
}

namespace {

// Prints what a check found of one kind of the card's devices, on the line
// of its prompt, and notes in the facts what is not as it should be. A port
// is to hold portName; a function has none.
void PrintCheck(const char* prompt, const char* name, const char* portName, int bit, int searched,
                const PortInstaller::DeviceCheck& found, CheckFacts& facts) {
  char line[160];
  char why[64] = "";  // what is not as it should be
  if (searched != 0) {
    FormatInto(line, "%s%s", prompt, "could not be looked for (INF files missing?)");
    FormatInto(why, "%s could not be looked for", name);
  } else if (found.present == 0) {
    FormatInto(line, "%s%s", prompt, "not present");
    FormatInto(why, "%s not present", name);
  } else {
    char count[24] = "";
    if (found.present > 1) {
      FormatInto(count, " (%lu devices)", static_cast<unsigned long>(found.present));
    }
    const bool driver = found.withDriver == found.present;
    const bool named = portName == nullptr || found.named == found.present;
    char portNameText[40] = "";
    if (portName != nullptr)
      FormatInto(portNameText, ", named %s", named ? portName : found.otherName);
    FormatInto(line, "%spresent%s, %s%s", prompt, count, driver ? "driver installed" : "no driver",
               portNameText);
    if (!driver) {
      FormatInto(why, "%s has no driver", name);
    } else if (!named) {
      FormatInto(why, "%s is not named %s", name, portName);
    }
  }
  AppendTo(line, why[0] == '\0' ? " [ OK ]\n" : " [ FAILED ]\n");
  Print(line);
  if (why[0] == '\0') return;
  facts.notSetUp |= bit;
  if (facts.reasons[0] != '\0') AppendTo(facts.reasons, "; ");
  AppendTo(facts.reasons, why);
}

// Which folder a check reads the INF files from, on a line of its own: the
// one beside the exe, or the Windows directory's.
void PrintInfFolder(const PortInstaller& installer) {
  char line[2 * MAX_PATH];
  if (installer.InfFolderSource() == PortInstaller::InfSource::None) {
    FormatInto(line, "%s",
               "No INF folder can be used: the path of the Windows folder is too long.\n");
  } else if (installer.ExeFolderTooLong()) {
    FormatInto(
        line, "Using the INF files in %s: the path of the inf folder beside the exe is too long.\n",
        installer.InfFolder());
  } else {
    FormatInto(line, "Using the INF files in %s\n", installer.InfFolder());
  }
  Print(line);
}

}  // namespace

Verdict RunCheckSequence(PortInstaller& installer) {
  PrintInfFolder(installer);
  CheckFacts facts{};
  PortInstaller::DeviceCheck found{};
  int searched = installer.CheckFunction(ProductInf, found);
  PrintCheck("Checking product function - ", "product function", nullptr, kProductFunctionBit,
             searched, found, facts);
  searched = installer.CheckFunction(BaseInf, found);
  PrintCheck("Checking base function - ", "base function", nullptr, kBaseFunctionBit, searched,
             found, facts);
  for (const ReassignRow& row : kReassignRows) {
    searched = installer.CheckChildPort(row.child, row.portName, found);
    char prompt[48];
    char name[24];
    FormatInto(prompt, "Checking %s COM Port - ", row.name);
    FormatInto(name, "%s port", row.name);
    PrintCheck(prompt, name, row.portName, 1 << row.child, searched, found, facts);
  }
  return CheckVerdict(facts);
}

int RunProgram(int argc, const char* const argv[]) {
  const Mode mode = SelectMode(argc, argv);
  // A check always tells its outcome by its status.
  const bool strict = IsStrictRun(argc, argv) || mode == Mode::Check;
  if (RunsUnderWow64()) {
    Print(kBanner);
    Print(kWow64Refusal);
    // Windows Installer's "not supported by this processor type" tells a
    // deployment tool that this package is for another Windows.
    return strict ? EndStrictRun(kOtherProcessor,
                                 "refused; this is the 32-bit program on 64-bit Windows.")
                  : 1;
  }
  Print(kBanner);
  // A check only reads: it waits for no one, and it changes nothing.
  if (mode == Mode::Check) {
    PortInstaller installer;
    return EndStrictRun(RunCheckSequence(installer));
  }
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
  switch (mode) {
    case Mode::Check:
      break;
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
