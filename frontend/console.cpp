#include "frontend/console.h"

#include <cstdio>
#include <cstring>

#include "engine/port_installer.h"
#include "platform/platform.h"

namespace {

const char kBanner[] =
    "QRV 7310-zz5 PCI Serial Port Installer\n"
    "Version 1.00\n"
    "Do not turn off the computer or remove the card until this program has finished.\n\n";

// The 32-bit program on 64-bit Windows: Windows refuses it the installation
// and removal of devices, so it changes nothing and says which one to run.
const char kWow64Refusal[] = "This is 64-bit Windows: run qrvinst64.exe instead. Nothing was changed.\n";

struct ReassignRow {
  const char* prompt;
  const char* portName;
  ChildPort child;
};

constexpr ReassignRow kReassignRows[] = {
    {"Reassigning MSR COM Port - ", "COM3", MsrPort},
    {"Reassigning VFD COM Port - ", "COM4", VfdPort},
    {"Reassigning Touch Screen COM Port - ", "COM5", TouchScreenPort},
    {"Reassigning Serial Port C COM Port - ", "COM6", SerialPortC},
};

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

}  // namespace

Mode SelectMode(int argc, const char* const argv[]) {
  if (argc > 1) {
    if (std::strcmp(argv[1], "u") == 0) return Mode::Uninstall;
    if (std::strcmp(argv[1], "r") == 0) return Mode::Reassign;
  }
  return Mode::Install;
}

void RunInstallSequence(PortInstaller& installer) {
  Print("Installing 7310-zz5 PCI Serial Port Drivers - ");
  Print(installer.InstallDrivers() == 0 ? " [ OK ]\n" : " [ FAILED ] \n");
}

void RunReassignSequence(PortInstaller& installer) {
  for (const ReassignRow& row : kReassignRows) {
    Print(row.prompt);
    Print(installer.ReassignChildPort(row.child, row.portName) == 0 ? "[ OK ] \n" : "[ FAILED ]\n");
  }
  Sleep(3000);
}

void RunUninstallSequence(PortInstaller& installer) {
  Print("Uninstalling 7310-zz5 PCI Serial Port Drivers - ");
  installer.RemoveChildDevices();
  installer.RemoveParentDevices();
  // A second run removes a second card's functions. Only the spacing of the
  // line tells whether it did.
  Print(installer.RemoveParentDevices() == 0 ? " [ OK ]\n" : " [ OK ] \n");
}

int RunProgram(int argc, const char* const argv[]) {
  if (RunsUnderWow64()) {
    Print(kBanner);
    Print(kWow64Refusal);
    return 1;
  }
  PortInstaller installer;
  Print(kBanner);
  switch (SelectMode(argc, argv)) {
    case Mode::Install:
      RunInstallSequence(installer);
      break;
    case Mode::Reassign:
      RunReassignSequence(installer);
      break;
    case Mode::Uninstall:
      RunUninstallSequence(installer);
      break;
  }
  return 0;
}
