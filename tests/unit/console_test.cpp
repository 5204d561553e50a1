// The console program as a whole: what it prints, which mode it runs, and
// its exit status: 0 in a plain run, the outcome in a strict one.
#include "frontend/console.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "tests/unit/card_machine.h"

namespace {

const std::string kBanner =
    "QRV 7310-zz5 PCI Serial Port Installer\n"
    "Version 1.00\n"
    "Do not turn off the computer or remove the card until this program has finished.\n\n";

const std::string kWow64Status =
    "Exit status 1633: refused; this is the 32-bit program on 64-bit Windows.\n";

struct Outcome {
  int exitCode;
  std::string output;
};

Outcome RunWith(std::vector<const char*> args) {
  args.insert(args.begin(), "qrvinst.exe");
  testing::internal::CaptureStdout();
  const int exitCode = RunProgram(static_cast<int>(args.size()), args.data());
  return {exitCode, testing::internal::GetCapturedStdout()};
}

TEST(Console, ASuccessfulInstallation) {
  card::MachineWithCard();
  const Outcome run = RunWith({});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.output, kBanner + "Installing 7310-zz5 PCI Serial Port Drivers -  [ OK ]\n");
}

TEST(Console, AFailedInstallationStillExitsWithZero) {
  sim::Machine& m = sim::Machine::Reset();  // the INF files, but no card
  card::AddInfs(m);
  const Outcome run = RunWith({});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.output, kBanner + "Installing 7310-zz5 PCI Serial Port Drivers -  [ FAILED ] \n");
  EXPECT_EQ(m.Calls("UpdateDriverForPlugAndPlayDevicesA").size(), 1u);
}

TEST(Console, OnlyTheExactKeysChooseAnotherModeThanInstalling) {
  const char* const none[] = {"qrvinst.exe"};
  EXPECT_EQ(SelectMode(1, none), Mode::Install);

  for (const char* arg : {"", "R", "U", "-r", "/u", "rr", "uninstall", "r ", " u"}) {
    const char* const argv[] = {"qrvinst.exe", arg};
    EXPECT_EQ(SelectMode(2, argv), Mode::Install) << '"' << arg << '"';
  }

  const char* const reassign[] = {"qrvinst.exe", "r", "u", "extra"};
  EXPECT_EQ(SelectMode(4, reassign), Mode::Reassign);
  const char* const uninstall[] = {"qrvinst.exe", "u", "r"};
  EXPECT_EQ(SelectMode(3, uninstall), Mode::Uninstall);
}

TEST(Console, AnArgumentThatIsNoKeyInstalls) {
  sim::Machine& m = card::MachineWithCard();
  const Outcome run = RunWith({"-r"});
  EXPECT_EQ(run.output, kBanner + "Installing 7310-zz5 PCI Serial Port Drivers -  [ OK ]\n");
  EXPECT_EQ(m.Calls("UpdateDriverForPlugAndPlayDevicesA").size(), 6u);
}

TEST(Console, TheOtherModesNeverInstall) {
  for (const char* key : {"r", "u"}) {
    sim::Machine& m = card::MachineWithCard();
    const Outcome run = RunWith({key});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(m.Calls("UpdateDriverForPlugAndPlayDevicesA").empty()) << key;
  }
}

}  // namespace

// The 32-bit program on 64-bit Windows, where Windows would refuse it every
// installation and removal: in every mode it says so, touches nothing and
// exits with 1. A strict run adds its status line and exits with 1633.
TEST(Console, UnderWow64EveryModeRefusesAndChangesNothing) {
  for (const std::string key : {"", "r", "u", "/strict"}) {
    sim::Machine& m = card::MachineWithCard();
    m.wow64 = true;
    const Outcome run = RunWith({key.c_str()});
    EXPECT_EQ(run.exitCode, key == "/strict" ? 1633 : 1) << key;
    EXPECT_EQ(run.output,
              kBanner +
                  "This is 64-bit Windows: run qrvinst64.exe instead. Nothing was changed.\n" +
                  (key == "/strict" ? kWow64Status : ""))
        << key;
    ASSERT_EQ(m.journal.size(), 1u) << key;  // the check, and nothing else
    EXPECT_EQ(m.journal[0].function, "IsWow64Process");
  }
}

// A process whose WOW64 check fails runs as on 32-bit Windows.
TEST(Console, AFailedWow64CheckRunsAsUsual) {
  sim::Machine& m = card::MachineWithCard();
  m.wow64 = true;
  m.FailCall("IsWow64Process", 1, ERROR_INVALID_PARAMETER);
  const Outcome run = RunWith({});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.output, kBanner + "Installing 7310-zz5 PCI Serial Port Drivers -  [ OK ]\n");
}

namespace {

// A machine with the card, changed by arrange, and how a strict run on it
// ends: its status and its last line.
struct StrictCase {
  const char* what;
  void (*arrange)(sim::Machine&);
  int status;
  std::string lastLine;
};

// Runs each case plain, then with the switch after args. The strict run
// prints the plain run's text and its status line.
void ExpectStrictStatuses(std::vector<const char*> args, const char* strictSwitch,
                          const std::vector<StrictCase>& cases) {
  for (const StrictCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::string plainOutput;
    for (const bool strict : {false, true}) {
      sim::Machine& m = card::MachineWithCard();
      c.arrange(m);
      std::vector<const char*> argv = args;
      if (strict) argv.push_back(strictSwitch);
      const Outcome run = RunWith(argv);
      EXPECT_EQ(run.exitCode, strict ? c.status : 0);
      if (strict) {
        EXPECT_EQ(run.output, plainOutput + c.lastLine);
      }
      plainOutput = run.output;
      // Every install asks for the restart answer, so that Windows never
      // prompts in the middle of it; a plain run that needs a restart lets
      // Windows prompt once, at the end. A strict run never waits on a
      // dialog: the base function is forced (1), and every row non-interactive (4).
      const std::vector<sim::Call> updates = m.Calls("UpdateDriverForPlugAndPlayDevicesA");
      for (std::size_t row = 0; row < updates.size(); ++row) {
        EXPECT_EQ(updates[row].args[3], std::to_string((row == 1 ? 1 : 0) | (strict ? 4 : 0)));
        EXPECT_EQ(updates[row].args[4], "ptr");
      }
      EXPECT_EQ(m.restartPromptsByNewdev, 0);
      const bool prompt = !strict && !m.restartIds.empty();
      EXPECT_EQ(m.Calls("SetupPromptReboot").size(), prompt ? 1u : 0u);
      if (prompt) {
        const auto last = std::find_if(m.journal.rbegin(), m.journal.rend(), [](const sim::Call& call) {
          return call.function == "UpdateDriverForPlugAndPlayDevicesA" ||
                 call.function == "SetupPromptReboot";
        });
        EXPECT_EQ(last->function, "SetupPromptReboot");
      }
    }
  }
}

void AsIs(sim::Machine&) {}

template <DWORD Error>
void FailProduct(sim::Machine& m) {
  m.FailCall("UpdateDriverForPlugAndPlayDevicesA", 1, Error);
}

// Takes their "Device Parameters" key from the given child ports.
template <int... Children>
void DropParams(sim::Machine& m) {
  (m.registry.erase(sim::DeviceParametersKey(card::ChildId(Children))), ...);
}

// The card as a finished install leaves it.
void Installed(sim::Machine& m) {
  for (sim::Device& device : m.devices) {
    if (device.instanceId != card::kOnboardPort) {
      device.driverInf = device.hardwareIds[0][0] == 'M'   ? card::PortsInf()
                         : device.instanceId == card::BaseId() ? card::BaseInf()
                                                             : card::ProductInf();
    }
  }
}

// "/strict" as the first argument installs, as any argument that is no key.
TEST(Strict, InstallGivesTheWindowsErrorOrTellsOfARestart) {
  ExpectStrictStatuses(
      {}, "/strict",
      {{"installed", AsIs, 0, "Exit status 0: installed.\n"},
       {"a child needs a restart",
        [](sim::Machine& m) { m.restartIds.insert(card::kChildHardwareIds[3]); }, 3010,
        "Exit status 3010: installed; restart Windows to finish.\n"},
       {"the product function needs a restart",
        [](sim::Machine& m) { m.restartIds.insert(card::kProductHardwareId); }, 3010,
        "Exit status 3010: installed; restart Windows to finish.\n"},
       // Windows answers ERROR_NO_MORE_ITEMS for a driver no better than the
       // device's own: that row is done.
       {"installed before", Installed, 0, "Exit status 0: installed; drivers already current.\n"},
       {"a newer driver on the product function",
        [](sim::Machine& m) { m.devices[1].newerDriver = true; }, 0, "Exit status 0: installed.\n"},
       {"a restart does not hide a failure",
        [](sim::Machine& m) {
          m.restartIds.insert(card::kProductHardwareId);
          m.FailCall("UpdateDriverForPlugAndPlayDevicesA", 2, 0xE0000203);
        },
        static_cast<int>(0xE0000203),
        "Exit status -536870397: install failed, Windows error 0xE0000203.\n"},
       {"no error code", FailProduct<ERROR_SUCCESS>, 1,
        "Exit status 1: install failed, Windows gave no error code.\n"},
       {"a Windows folder too long for the INF paths",
        [](sim::Machine& m) { m.windowsDirectory = "D:\\WINNT\\Systems_020"; }, 111,
        "Exit status 111: install failed, the path of the Windows folder is too long.\n"},
       // Windows gives the same answer for an INF without a driver for this
       // Windows as for a device whose driver is current: only the device
       // tells them apart.
       {"an INF without a driver for this Windows",
        [](sim::Machine& m) { m.infs[card::ProductInf()].noDriverForThisWindows = true; }, 259,
        "Exit status 259: install failed, Windows error 259; an INF file has no driver for the "
        "card's device on this Windows.\n"},
       {"an error code that reads as success", FailProduct<ERROR_SUCCESS_REBOOT_REQUIRED>, 1603,
        "Exit status 1603: install failed, Windows error 3010.\n"},
       // A missing INF file is named, with the folder it was looked for in.
       {"the product INF missing", [](sim::Machine& m) { m.infs.erase(card::ProductInf()); }, 2,
        "Exit status 2: install failed, Windows error 2; 7310-zz5.inf is not in C:\\Windows\\inf.\n"},
       {"the product INF missing, the INF files beside an exe of too long a path",
        [](sim::Machine& m) {
          m.exePath = "C:\\" + std::string(250, 'p') + "\\qrvinst.exe";
          card::AddInfs(m, "C:\\" + std::string(250, 'p'));
          m.infs.erase(card::ProductInf());
        },
        2,
        "Exit status 2: install failed, Windows error 2; 7310-zz5.inf is not in C:\\Windows\\inf, "
        "where the INF files were read from as the path of the inf folder beside the exe is too "
        "long.\n"},
       {"a file the INF names missing", FailProduct<ERROR_FILE_NOT_FOUND>, 2,
        "Exit status 2: install failed, Windows error 2.\n"},
       // A device that runs its driver is found by its hardware ID, whatever
       // INF classes could be read.
       {"every row current, the ports INF missing",
        [](sim::Machine& m) {
          Installed(m);
          m.infs.erase(card::PortsInf());
        },
        0, "Exit status 0: installed.\n"},
       {"every row current, the base INF missing",
        [](sim::Machine& m) {
          Installed(m);
          m.infs.erase(card::BaseInf());
        },
        2, "Exit status 2: install failed, Windows error 2; qrvbased.inf is not in C:\\Windows\\inf.\n"}});
  // Windows refuses a package whose signature this machine does not trust
  // with codes of the setup API's own.
  std::vector<StrictCase> untrusted;
  for (const auto& [code, arrange] :
       {std::pair{ERROR_AUTHENTICODE_TRUST_NOT_ESTABLISHED,
                  FailProduct<ERROR_AUTHENTICODE_TRUST_NOT_ESTABLISHED>},
        {ERROR_AUTHENTICODE_PUBLISHER_NOT_TRUSTED, FailProduct<ERROR_AUTHENTICODE_PUBLISHER_NOT_TRUSTED>},
        {ERROR_AUTHENTICODE_DISALLOWED, FailProduct<ERROR_AUTHENTICODE_DISALLOWED>},
        {ERROR_NO_CATALOG_FOR_OEM_INF, FailProduct<ERROR_NO_CATALOG_FOR_OEM_INF>},
        {ERROR_NO_AUTHENTICODE_CATALOG, FailProduct<ERROR_NO_AUTHENTICODE_CATALOG>}}) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(code));
    untrusted.push_back({"an untrusted signature", arrange, static_cast<int>(code),
                         "Exit status " + std::to_string(static_cast<int>(code)) +
                             ": install failed, Windows error " + hex +
                             "; the driver package's signature is not trusted on this machine.\n"});
  }
  ExpectStrictStatuses({}, "/strict", untrusted);
}

// A driver package whose publisher the machine does not trust puts up a
// dialog. A technician answers it; a strict run, a deployment tool's that
// nobody watches, has Windows refuse the step instead of waiting on it.
TEST(Strict, InstallNeverWaitsOnADialog) {
  for (const bool strict : {false, true}) {
    sim::Machine& m = card::MachineWithCard();
    m.infs[card::ProductInf()].untrustedPublisher = true;
    const Outcome run =
        RunWith(strict ? std::vector<const char*>{"/strict"} : std::vector<const char*>{});
    EXPECT_EQ(m.driverDialogs, strict ? 0 : 1);
    EXPECT_EQ(run.exitCode, strict ? 1459 : 0);
    EXPECT_EQ(run.output,
              kBanner + (strict ? "Installing 7310-zz5 PCI Serial Port Drivers -  [ FAILED ] \n"
                                  "Exit status 1459: install failed, Windows error 1459; the "
                                  "driver package needs a dialog, usually because its publisher "
                                  "is not trusted on this machine.\n"
                                : "Installing 7310-zz5 PCI Serial Port Drivers -  [ OK ]\n"));
  }
}

// Takes the given child ports off the machine.
template <int... Children>
void Absent(sim::Machine& m) {
  for (sim::Device& device : m.devices) {
    if (((device.instanceId == card::ChildId(Children)) || ...)) device.present = false;
  }
}

// A port that is not present is not named: its line reads OK, as in a plain
// run, but a strict run counts it with the failures.
TEST(Strict, ReassignGivesABitPerPortNotNamed) {
  ExpectStrictStatuses(
      {"r"}, "/STRICT",
      {{"all named", AsIs, 0, "Exit status 0: all four ports reassigned.\n"},
       {"MSR, Touch Screen", DropParams<0, 2>, 5,
        "Exit status 5: reassign failed for MSR, Touch Screen.\n"},
       {"VFD, Serial Port C", DropParams<1, 3>, 10,
        "Exit status 10: reassign failed for VFD, Serial Port C.\n"},
       {"no port present", Absent<0, 1, 2, 3>, 15,
        "Exit status 15: no port of the card is present; nothing was named.\n"},
       {"two of four present", Absent<1, 3>, 10,
        "Exit status 10: reassign failed: VFD, Serial Port C not present.\n"},
       {"one failed, one not present",
        [](sim::Machine& m) {
          DropParams<0>(m);
          Absent<1>(m);
        },
        3, "Exit status 3: reassign failed for MSR; VFD not present.\n"}});
}

TEST(Strict, UninstallGivesOneWhenAnyOfTheCardIsLeft) {
  ExpectStrictStatuses(
      {"u"}, "/Strict",
      {{"one card", AsIs, 0, "Exit status 0: uninstalled; 6 devices of the card removed.\n"},
       {"no card", [](sim::Machine& m) { m.devices.clear(); }, 0,
        "Exit status 0: no card found; nothing to uninstall.\n"},
       {"three cards, of which two runs remove two",
        [](sim::Machine& m) {
          card::AddCard(m, '1');
          card::AddCard(m, '2');
        },
        1, "Exit status 1: uninstall incomplete; 2 devices of the card still present.\n"},
       // The port, and the base function it hangs from, stay listed as
       // present until the restart removes them.
       {"a port in use: removed at the restart", [](sim::Machine& m) { m.devices[3].inUse = true; },
        3010, "Exit status 3010: uninstalled; restart Windows to finish.\n"},
       {"removed by a run before, the restart still to come",
        [](sim::Machine& m) {
          for (sim::Device& device : m.devices) device.problem = CM_PROB_WILL_BE_REMOVED;
          m.devices[0].problem = 0;  // the onboard port
        },
        3010, "Exit status 3010: uninstalled; restart Windows to finish.\n"},
       {"a class that cannot be searched", [](sim::Machine& m) { m.infs.erase(card::BaseInf()); },
        1,
        "Exit status 1: uninstall not confirmed; could not look for the card (INF files "
        "missing?).\n"}});
}

// A system DLL that could not be loaded from System32 fails the calls into
// it with the loader's error, and nothing else: install fails with that
// error, and uninstall cannot look for the card without setupapi but needs
// no newdev to remove it. (Without advapi32 no run takes its lock: see
// RunGuard.)
TEST(Strict, ADllThatCouldNotBeLoadedFailsOnlyTheCallsIntoIt) {
  ExpectStrictStatuses(
      {}, "/strict",
      {{"no newdev", [](sim::Machine& m) { m.MakeDllUnavailable("newdev.dll"); }, 126,
        "Exit status 126: install failed, Windows error 126.\n"},
       {"a newdev without the function",
        [](sim::Machine& m) { m.MakeDllUnavailable("newdev.dll", ERROR_PROC_NOT_FOUND); }, 127,
        "Exit status 127: install failed, Windows error 127.\n"}});
  ExpectStrictStatuses(
      {"u"}, "/strict",
      {{"no setupapi", [](sim::Machine& m) { m.MakeDllUnavailable("setupapi.dll"); }, 1,
        "Exit status 1: uninstall not confirmed; could not look for the card (INF files "
        "missing?).\n"},
       {"no newdev", [](sim::Machine& m) { m.MakeDllUnavailable("newdev.dll"); }, 0,
        "Exit status 0: uninstalled; 6 devices of the card removed.\n"}});
}

}  // namespace

namespace {

// Before it looks at the machine, a run waits for another run of qrvinst
// and for the device installations Windows has pending. Each wait prints a
// line only when there is something to wait for; a run that another one
// keeps waiting too long changes nothing. Windows may also still be
// installing devices when install ends.
struct GuardCase {
  const char* what;
  void (*arrange)(sim::Machine&);
  std::vector<const char*> args;
  int status;
  std::string output;  // after the banner
};

using Pending = sim::Machine::Pending;
using OtherRun = sim::Machine::OtherRun;

const std::string kWaitForRun = "Waiting for another qrvinst run to finish...\n";
const std::string kWaitForInstalls = "Waiting for Windows to finish installing devices...\n";
const std::string kRefusal = "Another qrvinst run has not finished. Nothing was changed.\n";
const std::string kInstalled = "Installing 7310-zz5 PCI Serial Port Drivers -  [ OK ]\n";
const std::string kUninstalled = "Uninstalling 7310-zz5 PCI Serial Port Drivers -  [ OK ] \n";
// What a run may call before it holds the lock.
const std::set<std::string> kLockCalls = {
    "IsWow64Process", "ConvertStringSecurityDescriptorToSecurityDescriptorA",
    "CreateMutexExA", "LocalFree",
    "GetLastError",   "WaitForSingleObject",
    "ReleaseMutex",   "CloseHandle"};

template <OtherRun Run>
void Other(sim::Machine& m) {
  m.otherRun = Run;
}
// Another run's mutex, made with another security than the program's own.
template <OtherRun Run, sim::Machine::MutexSecurity Security>
void OtherWith(sim::Machine& m) {
  m.otherRun = Run;
  m.otherRunSecurity = Security;
}
using Security = sim::Machine::MutexSecurity;
std::string LockRefusal(const char* error) {
  return std::string("Could not take the lock that keeps qrvinst runs apart (") + error +
         "). Nothing was changed.\n";
}
const std::string kLockRefusalStatus =
    "Exit status 1618: refused; could not take the lock that keeps qrvinst runs apart.\n";
template <Pending State>
void Installing(sim::Machine& m) {
  m.pendingInstalls = State;
}
// The base function's driver sets off installations that outlast any wait.
void InstallSetsOffMore(sim::Machine& m) {
  m.beforeCall = [&m](const std::string& function, int occurrence) {
    if (function == "UpdateDriverForPlugAndPlayDevicesA" && occurrence == 2) {
      m.pendingInstalls = Pending::OutlastAnyWait;
    }
  };
}

TEST(RunGuard, WaitsForAnotherRunAndForWindowsInstallingDevices) {
  const std::string reassigned = "Reassigning MSR COM Port - [ OK ] \n"
                                 "Reassigning VFD COM Port - [ OK ] \n"
                                 "Reassigning Touch Screen COM Port - [ OK ] \n"
                                 "Reassigning Serial Port C COM Port - [ OK ] \n";
  const std::vector<GuardCase> cases = {
      {"nothing to wait for",
       AsIs,
       {"r", "/strict"},
       0,
       reassigned + "Exit status 0: all four ports reassigned.\n"},
      {"another run ends meanwhile",
       Other<OtherRun::EndsWhileWaited>,
       {"u", "/strict"},
       0,
       kWaitForRun + kUninstalled + "Exit status 0: uninstalled; 6 devices of the card removed.\n"},
      {"another run outlasts the wait",
       Other<OtherRun::OutlastsAnyWait>,
       {"r"},
       1,
       kWaitForRun + kRefusal},
      {"another run outlasts the wait, strict",
       Other<OtherRun::OutlastsAnyWait>,
       {"/strict"},
       1618,
       kWaitForRun + kRefusal +
           "Exit status 1618: refused; another qrvinst run has not "
           "finished.\n"},
      {"a run that crashed left the mutex",
       Other<OtherRun::Crashed>,
       {"/strict"},
       0,
       kInstalled + "Exit status 0: installed.\n"},
      // A run as SYSTEM made the mutex with that account's default security:
      // administrators may wait on it, no more.
      {"a run as SYSTEM ends meanwhile",
       OtherWith<OtherRun::EndsWhileWaited, Security::SystemDefault>,
       {"r", "/strict"},
       0,
       kWaitForRun + reassigned + "Exit status 0: all four ports reassigned.\n"},
      {"a run as SYSTEM outlasts the wait",
       OtherWith<OtherRun::OutlastsAnyWait, Security::SystemDefault>,
       {"r"},
       1,
       kWaitForRun + kRefusal},
      {"a mutex this run may not even wait on",
       OtherWith<OtherRun::OutlastsAnyWait, Security::NoAccess>,
       {"u", "/strict"},
       1618,
       LockRefusal("Windows error 5") + kLockRefusalStatus},
      {"no mutex to be had",
       [](sim::Machine& m) { m.FailCall("CreateMutexExA", 1, 1450); },
       {"r"},
       1,
       LockRefusal("Windows error 1450")},
      {"no advapi32 for the mutex's security",
       [](sim::Machine& m) { m.MakeDllUnavailable("advapi32.dll"); },
       {"r", "/strict"},
       1618,
       LockRefusal("Windows error 126") + kLockRefusalStatus},
      {"a wait that fails",
       [](sim::Machine& m) {
         m.otherRun = OtherRun::OutlastsAnyWait;
         m.FailCall("WaitForSingleObject", 2, ERROR_INVALID_HANDLE);
       },
       {"/strict"},
       1618,
       kWaitForRun + LockRefusal("Windows error 6") + kLockRefusalStatus},
      {"installations end meanwhile",
       Installing<Pending::EndWhileWaited>,
       {"r", "/strict"},
       0,
       kWaitForInstalls + reassigned + "Exit status 0: all four ports reassigned.\n"},
      {"installations outlast the wait",
       Installing<Pending::OutlastAnyWait>,
       {"/strict"},
       0,
       kWaitForInstalls + kInstalled +
           "Exit status 0: installed; Windows was still installing "
           "devices.\n"},
      {"the install sets off more",
       InstallSetsOffMore,
       {"/strict"},
       0,
       kInstalled + "Exit status 0: installed; Windows was still installing devices.\n"},
      {"no way to ask Windows",
       [](sim::Machine& m) { m.MakeFunctionUnavailable("CMP_WaitNoPendingInstallEvents"); },
       {"/strict"},
       0,
       kInstalled + "Exit status 0: installed.\n"},
  };
  for (const GuardCase& c : cases) {
    SCOPED_TRACE(c.what);
    sim::Machine& m = card::MachineWithCard();
    c.arrange(m);
    const bool otherRun = m.otherRun != OtherRun::None;
    const Outcome run = RunWith(c.args);
    EXPECT_EQ(run.exitCode, c.status);
    EXPECT_EQ(run.output, kBanner + c.output);
    EXPECT_FALSE(m.mutexOwned);
    EXPECT_TRUE(m.openMutexes.empty());
    EXPECT_TRUE(m.securityDescriptors.empty());
    // A mutex that a run makes has the program's own security.
    const bool refused = run.output.find("Nothing was changed.") != std::string::npos;
    EXPECT_EQ(m.createdMutexSecurity, otherRun || refused ? "" : "D:P(A;;GA;;;SY)(A;;GA;;;BA)");
    // Nothing is looked at or changed before the run holds the lock, and a
    // refused run looks at nothing at all.
    std::size_t locked = 0;
    for (std::size_t i = 0; i < m.journal.size(); ++i) {
      if (m.journal[i].function == "WaitForSingleObject") locked = i;
    }
    for (std::size_t i = 0; i < (refused ? m.journal.size() : locked); ++i) {
      EXPECT_TRUE(kLockCalls.count(m.journal[i].function) != 0) << m.journal[i].function;
    }
  }
}

}  // namespace

namespace {

// A check looks at the card's two functions and four ports and changes
// nothing: the machine is the same afterwards, whatever the check found,
// and the run makes none of the calls that change a machine. Its status
// has a bit for each kind of device that is not as it should be.
const char* const kChangingCalls[] = {"UpdateDriverForPlugAndPlayDevicesA",
                                      "RegSetValueExA",
                                      "SetupDiSetDeviceRegistryPropertyA",
                                      "SetupDiSetClassInstallParamsA",
                                      "SetupDiCallClassInstaller",
                                      "ComDBOpen",
                                      "ComDBClaimPort",
                                      "ComDBReleasePort",
                                      "SetupPromptReboot"};

// The card as install and r leave it: drivers, and the ports named.
void Finished(sim::Machine& m) {
  Installed(m);
  for (int child = 0; child < 4; ++child) {
    card::NamePort(m, card::ChildId(child), "COM" + std::to_string(3 + child));
  }
}

std::string MachineState(const sim::Machine& m) {
  std::string state;
  for (const sim::Device& device : m.devices) {
    state += device.instanceId + (device.present ? " present " : " absent ") + device.driverInf +
             " " + std::to_string(device.restarts) + "\n";
  }
  for (const auto& [path, key] : m.registry) {
    for (const auto& [name, value] : key) state += path + "\\" + name + "=" + value.data + "\n";
  }
  for (const DWORD number : m.claimedComNumbers) state += "COM" + std::to_string(number) + " ";
  return state;
}

TEST(Check, TellsWhetherTheCardIsSetUpAndChangesNothing) {
  const std::string windowsInf = "Using the INF files in C:\\Windows\\inf\n";
  const std::string setUp =
      "Checking product function - present, driver installed [ OK ]\n"
      "Checking base function - present, driver installed [ OK ]\n"
      "Checking MSR COM Port - present, driver installed, named COM3 [ OK ]\n"
      "Checking VFD COM Port - present, driver installed, named COM4 [ OK ]\n"
      "Checking Touch Screen COM Port - present, driver installed, named COM5 [ OK ]\n"
      "Checking Serial Port C COM Port - present, driver installed, named COM6 [ OK ]\n";
  const struct {
    const char* what;
    void (*arrange)(sim::Machine&);
    std::vector<const char*> args;
    int status;
    std::string output;  // after the banner
  } cases[] = {
      {"set up", Finished, {"/check"}, 0, windowsInf + setUp + "Exit status 0: the card is set up.\n"},
      {"beside a mode key, in any letter case",
       Finished,
       {"r", "/CHECK", "/strict"},
       0,
       windowsInf + setUp + "Exit status 0: the card is set up.\n"},
      {"the INF files beside the exe",
       [](sim::Machine& m) {
         Finished(m);
         card::AddInfs(m, "E:");
       },
       {"/check"},
       0,
       "Using the INF files in E:\\inf\n" + setUp + "Exit status 0: the card is set up.\n"},
      {"the INF files beside an exe of too long a path",
       [](sim::Machine& m) {
         Finished(m);
         m.exePath = "E:\\" + std::string(255, 'p') + "\\qrvinst.exe";
       },
       {"/check"},
       0,
       "Using the INF files in C:\\Windows\\inf: the path of the inf folder beside the exe is too "
       "long.\n" +
           setUp + "Exit status 0: the card is set up.\n"},
      {"fresh",
       AsIs,
       {"/Check"},
       63,
       windowsInf +
       "Checking product function - present, no driver [ FAILED ]\n"
       "Checking base function - present, no driver [ FAILED ]\n"
       "Checking MSR COM Port - present, no driver, named (none) [ FAILED ]\n"
       "Checking VFD COM Port - present, no driver, named (none) [ FAILED ]\n"
       "Checking Touch Screen COM Port - present, no driver, named (none) [ FAILED ]\n"
       "Checking Serial Port C COM Port - present, no driver, named (none) [ FAILED ]\n"
       "Exit status 63: the card is not set up: product function has no driver; base function "
       "has no driver; MSR port has no driver; VFD port has no driver; Touch Screen port has no "
       "driver; Serial Port C port has no driver.\n"},
      {"a port renamed by hand, another not present",
       [](sim::Machine& m) {
         Finished(m);
         card::NamePort(m, card::ChildId(VfdPort), "COM9");
         Absent<3>(m);
       },
       {"/check"},
       10,
       windowsInf +
       "Checking product function - present, driver installed [ OK ]\n"
       "Checking base function - present, driver installed [ OK ]\n"
       "Checking MSR COM Port - present, driver installed, named COM3 [ OK ]\n"
       "Checking VFD COM Port - present, driver installed, named COM9 [ FAILED ]\n"
       "Checking Touch Screen COM Port - present, driver installed, named COM5 [ OK ]\n"
       "Checking Serial Port C COM Port - not present [ FAILED ]\n"
       "Exit status 10: the card is not set up: VFD port is not named COM4; Serial Port C port "
       "not present.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    sim::Machine& m = card::MachineWithCard();
    c.arrange(m);
    const std::string before = MachineState(m);
    const Outcome run = RunWith(c.args);
    EXPECT_EQ(run.exitCode, c.status);
    EXPECT_EQ(run.output, kBanner + c.output);
    EXPECT_EQ(MachineState(m), before);
    for (const char* call : kChangingCalls) EXPECT_TRUE(m.Calls(call).empty()) << call;
  }
}

}  // namespace
