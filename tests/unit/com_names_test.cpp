// COM names that hold: a reassign never gives a child port a name another
// device holds, and naming and removing the ports keep Windows' COM name
// database true.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/tables.h"
#include "frontend/console.h"
#include "tests/unit/card_machine.h"

namespace {

const std::string kUsbPort = "USB\\VID_067B&PID_2303\\5&2A3B4C5D&0&2";
const std::string kBluetoothPort = "BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}\\7&1&0";
const std::string kFtdiPort = "FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000";

// The card as install leaves it: its ports named COM7 to COM10 and claimed,
// beside the onboard COM1.
void AfterInstall(sim::Machine& m) {
  card::NamePort(m, card::kOnboardPort, "COM1");
  for (int child = 0; child < 4; ++child) {
    card::NamePort(m, card::ChildId(child), "COM" + std::to_string(7 + child));
  }
  m.claimedComNumbers = {1, 7, 8, 9, 10};
}

// The ports' PortName values: MSR, VFD, Touch Screen, Serial Port C and the
// onboard port, "-" where there is none.
std::string PortNames(const sim::Machine& m) {
  std::string names;
  for (int child = 0; child <= 4; ++child) {
    const std::string id = child < 4 ? card::ChildId(child) : card::kOnboardPort;
    const sim::RegValue* name = m.FindValue(sim::DeviceParametersKey(id), "PortName");
    names += (child ? " " : "") + (name ? name->Text() : "-");
  }
  return names;
}

// The database afterwards and the ports' names, as "<claimed numbers> |
// <PortNames>", e.g. "1 3 4 5 6 | COM3 COM4 COM5 COM6 COM1".
std::string After(const sim::Machine& m) {
  std::string after;
  for (const DWORD number : m.claimedComNumbers) after += std::to_string(number) + " ";
  return after + "| " + PortNames(m);
}

struct ComCase {
  const char* what;
  void (*arrange)(sim::Machine&);
  const char* mode;
  std::string last;   // the strict run's last line after "Exit status ": "<status>: <words>"
  std::string after;  // as After gives it
};

// Runs a mode, plain or strict, on the card as install left it and then
// arranged: a plain run exits with 0, a strict one with the status of its
// last line, "<status>: <words>". Gives the machine it ran on.
sim::Machine& RunOnInstalledCard(void (*arrange)(sim::Machine&), const char* mode, bool strict,
                                 const std::string& last) {
  sim::Machine& m = card::MachineWithCard();
  AfterInstall(m);
  arrange(m);
  std::vector<const char*> argv = {"qrvinst.exe", mode};
  if (strict) argv.push_back("/strict");
  testing::internal::CaptureStdout();
  const int status = RunProgram(static_cast<int>(argv.size()), argv.data());
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_EQ(status, strict ? std::stoi(last) : 0);
  if (strict) {
    EXPECT_EQ(output.substr(output.rfind("Exit status")), "Exit status " + last + "\n");
  }
  return m;
}

// Runs each case plain and strict: both leave the same names and database
// behind, and the database closed.
void ExpectComCases(const std::vector<ComCase>& cases) {
  for (const ComCase& c : cases) {
    SCOPED_TRACE(c.what);
    for (const bool strict : {false, true}) {
      const sim::Machine& m = RunOnInstalledCard(c.arrange, c.mode, strict, c.last);
      EXPECT_EQ(After(m), c.after);
      EXPECT_EQ(m.OpenComDatabaseCount(), 0u);
    }
  }
}

void AsInstalled(sim::Machine&) {}

void OnboardHoldsCom3(sim::Machine& m) {
  card::NamePort(m, card::kOnboardPort, "COM3");
  m.claimedComNumbers = {3, 7, 8, 9, 10};
}

// Other devices named COM30, com4, COM3x, COM03, and names beyond COM4096.
void LookAlikes(sim::Machine& m) {
  card::NamePort(m, card::kOnboardPort, "COM30");
  for (const auto& [id, name] :
       {std::pair{kUsbPort, "com4"}, {kBluetoothPort, "COM3x"}, {kFtdiPort, "COM03"},
        {kUsbPort + "1", "COM4097"}, {kUsbPort + "2", "COM99999999999"}}) {
    m.AddDevice(id, "*PORT", card::kPortsClass);
    card::NamePort(m, id, name);
  }
  m.claimedComNumbers = {4, 7, 8, 9, 10, 30};
}

void OwnPortsSwapped(sim::Machine& m) {
  card::NamePort(m, card::ChildId(MsrPort), "COM4");
  card::NamePort(m, card::ChildId(VfdPort), "COM3");
  m.claimedComNumbers = {1, 3, 4, 9, 10};
}

void MsrSharesCom1(sim::Machine& m) {
  card::NamePort(m, card::ChildId(MsrPort), "COM1");
  m.claimedComNumbers = {1, 8, 9, 10};
}

void MsrHoldsCom4096(sim::Machine& m) {
  card::NamePort(m, card::ChildId(MsrPort), "COM4096");
  m.claimedComNumbers = {1, 4096, 8, 9, 10, 12};
}

void OnboardSharesCom7(sim::Machine& m) { card::NamePort(m, card::kOnboardPort, "COM7"); }

// A USB serial adapter that is not plugged in, named COM<n> and claimed.
template <int N>
void UnpluggedHolds(sim::Machine& m) {
  m.AddDevice(kUsbPort, "USB\\VID_067B&PID_2303", card::kPortsClass).present = false;
  card::NamePort(m, kUsbPort, "COM" + std::to_string(N));
  m.claimedComNumbers.insert(N);
}
// The card sat in slot 1 before: Windows keeps that card's VFD port.
void LeftBehindHoldsCom4(sim::Machine& m) {
  const std::string id = card::ChildId(VfdPort, '1');
  m.AddDevice(id, card::kChildHardwareIds[VfdPort], card::kPortsClass).present = false;
  card::NamePort(m, id, "COM4");
  m.claimedComNumbers.insert(4);
}
template <DWORD N>
void StaleClaim(sim::Machine& m) {
  m.claimedComNumbers.insert(N);
}

// Devices of other classes hold COM names too: a USB modem, present or not,
// and a device Windows keeps whose status read gives CR_NO_SUCH_VALUE.
const GUID kModemClass = {
    0x4D36E96D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const std::string kModem = "USB\\VID_0572&PID_1329\\12345678";
template <int N, bool Present>
void ModemHolds(sim::Machine& m) {
  m.classNames[sim::ToString(kModemClass)] = "Modem";
  m.AddDevice(kModem, "USB\\VID_0572&PID_1329", kModemClass).present = Present;
  card::NamePort(m, kModem, "COM" + std::to_string(N));
  m.claimedComNumbers.insert(N);
}
const GUID kVirtualPortsClass = {
    0x7E4F1C2A, 0x51B0, 0x4C3E, {0x9A, 0x11, 0x20, 0x31, 0x42, 0x53, 0x64, 0x75}};
const std::string kVirtualPort = "ROOT\\VCOMPORT\\0000";
void NoStatusHoldsCom4(sim::Machine& m) {
  m.classNames[sim::ToString(kVirtualPortsClass)] = "VirtualComPorts";
  sim::Device& port = m.AddDevice(kVirtualPort, "VCOMPORT", kVirtualPortsClass);
  port.present = false;
  port.absentStatus = CR_NO_SUCH_VALUE;
  card::NamePort(m, kVirtualPort, "COM4");
  m.claimedComNumbers.insert(4);
}
// The ports' hardware keys grant an administrator what naming needs, and
// not every right.
void KeysRefuseAllAccess(sim::Machine& m) {
  for (int child = 0; child < 4; ++child) {
    for (sim::Device& device : m.devices) {
      if (device.instanceId == card::ChildId(child)) device.keyAccess = KEY_QUERY_VALUE | KEY_SET_VALUE;
    }
  }
}

// Without the database the Ports class installer gives no number back
// either.
// The VFD port's name cannot be written (the fourth write: each port's
// restart is first recorded as owed).
void VfdNameRefused(sim::Machine& m) { m.FailCall("RegSetValueExA", 4, ERROR_ACCESS_DENIED); }

void DatabaseClosed(sim::Machine& m) {
  m.FailCall("ComDBOpen", 1, ERROR_ACCESS_DENIED);
  m.portsClassInstallerReleases = false;
}
void NoMsports(sim::Machine& m) {
  m.MakeDllUnavailable("msports.dll");
  m.portsClassInstallerReleases = false;
}
void SecondClaimRefused(sim::Machine& m) { m.FailCall("ComDBClaimPort", 2, ERROR_CANTWRITE); }

// A run after one that named the ports: the claims find the numbers in
// use already, which is what they want.
void NamedBefore(sim::Machine& m) {
  for (int child = 0; child < 4; ++child) {
    card::NamePort(m, card::ChildId(child), "COM" + std::to_string(3 + child));
  }
  m.claimedComNumbers = {1, 3, 4, 5, 6};
}

TEST(ComNames, ReassignSkipsANameAnotherDeviceHolds) {
  ExpectComCases({
      {"the names after an install", AsInstalled, "r", "0: all four ports reassigned.",
       "1 3 4 5 6 | COM3 COM4 COM5 COM6 COM1"},
      {"named before", NamedBefore, "r", "0: all four ports already had their names.",
       "1 3 4 5 6 | COM3 COM4 COM5 COM6 COM1"},
      {"the onboard port holds COM3: the MSR port keeps COM7", OnboardHoldsCom3, "r",
       "1: reassign failed for MSR; COM3 is held by the Ports device ACPI\\PNP0501\\1, plugged in.",
       "3 4 5 6 7 | COM7 COM4 COM5 COM6 COM3"},
      {"names are compared without case; look-alikes are other names", LookAlikes, "r",
       "2: reassign failed for VFD; COM4 is held by the Ports device " + kUsbPort + ", plugged in.",
       "3 4 5 6 8 30 | COM3 COM8 COM5 COM6 COM30"},
      // Windows keeps a device that is not plugged in, with its name and
      // its claim: the name is still its, and so is the number.
      {"an unplugged adapter holds COM3", UnpluggedHolds<3>, "r",
       "1: reassign failed for MSR; COM3 is held by the Ports device " + kUsbPort +
           ", not plugged in.",
       "1 3 4 5 6 7 | COM7 COM4 COM5 COM6 COM1"},
      {"a modem holds COM3", ModemHolds<3, true>, "r",
       "1: reassign failed for MSR; COM3 is held by the Modem device " + kModem + ", plugged in.",
       "1 3 4 5 6 7 | COM7 COM4 COM5 COM6 COM1"},
      {"an unplugged modem holds COM3", ModemHolds<3, false>, "r",
       "1: reassign failed for MSR; COM3 is held by the Modem device " + kModem +
           ", not plugged in.",
       "1 3 4 5 6 7 | COM7 COM4 COM5 COM6 COM1"},
      {"a device whose status read gives CR_NO_SUCH_VALUE holds COM4", NoStatusHoldsCom4, "r",
       "2: reassign failed for VFD; COM4 is held by the VirtualComPorts device " + kVirtualPort +
           ", not plugged in.",
       "1 3 4 5 6 8 | COM3 COM8 COM5 COM6 COM1"},
      // The numbers are claimed and released before the name is written:
      // a name that is refused puts them back.
      {"a name that cannot be written leaves the numbers as they were", VfdNameRefused, "r",
       "2: reassign failed for VFD.", "1 3 5 6 8 | COM3 COM8 COM5 COM6 COM1"},
      {"the ports' keys refuse KEY_ALL_ACCESS", KeysRefuseAllAccess, "r",
       "0: all four ports reassigned.", "1 3 4 5 6 | COM3 COM4 COM5 COM6 COM1"},
      {"the card's own port, left in another slot, holds COM4", LeftBehindHoldsCom4, "r",
       "2: reassign failed for VFD; COM4 is held by the Ports device " +
           card::ChildId(VfdPort, '1') + ", not plugged in.",
       "1 3 4 5 6 8 | COM3 COM8 COM5 COM6 COM1"},
      {"an unplugged adapter shares COM8 with the VFD port", UnpluggedHolds<8>, "r",
       "0: all four ports reassigned.", "1 3 4 5 6 8 | COM3 COM4 COM5 COM6 COM1"},
      // Device Manager allows such a number with a warning.
      {"a stale claim of COM5, which no device holds", StaleClaim<5>, "r",
       "0: all four ports reassigned.", "1 3 4 5 6 | COM3 COM4 COM5 COM6 COM1"},
      {"the card's own ports trade names", OwnPortsSwapped, "r", "0: all four ports reassigned.",
       "1 3 4 5 6 | COM3 COM4 COM5 COM6 COM1"},
      {"a number another port still holds stays claimed", MsrSharesCom1, "r",
       "0: all four ports reassigned.", "1 3 4 5 6 | COM3 COM4 COM5 COM6 COM1"},
  });
}

// Each device goes through the class installer (DIF_REMOVE), never past it
// with SetupDiRemoveDevice. The Ports class installer may give a removed
// port's number back itself: a number is then given back once, and never
// after another device claimed it.
TEST(ComNames, UninstallRemovesThroughTheClassInstaller) {
  for (const bool releases : {true, false}) {
    SCOPED_TRACE(releases ? "the class installer gives numbers back" : "it does not");
    const sim::Machine& m = RunOnInstalledCard(
        releases ? AsInstalled : [](sim::Machine& machine) { machine.portsClassInstallerReleases = false; },
        "u", true, "0: uninstalled; 6 devices of the card removed.");
    EXPECT_EQ(After(m), "1 | - - - - COM1");
    std::vector<std::string> removals;
    for (const sim::Call& call : m.Calls("SetupDiCallClassInstaller")) removals.push_back(call.args[0]);
    EXPECT_EQ(removals, std::vector<std::string>(6, "5"));
    std::string released;
    for (const sim::Call& call : m.Calls("ComDBReleasePort")) released += call.args[1] + " ";
    EXPECT_EQ(released, releases ? "" : "7 8 9 10 ");
  }
}

TEST(ComNames, UninstallGivesTheNumbersBack) {
  ExpectComCases({
      {"named ports, one with the highest number", MsrHoldsCom4096, "u",
       "0: uninstalled; 6 devices of the card removed.", "1 12 | - - - - COM1"},
      {"a number the onboard port also holds", OnboardSharesCom7, "u",
       "0: uninstalled; 6 devices of the card removed.", "1 7 | - - - - COM7"},
      {"a number an unplugged adapter also holds", UnpluggedHolds<8>, "u",
       "0: uninstalled; 6 devices of the card removed.", "1 8 | - - - - COM1"},
  });
}

// A port answers to a new name once it has restarted. Each renamed port is
// restarted, as Device Manager does; one that cannot be, being in use, or
// whose restart fails takes its name when Windows restarts: a plain run
// then lets Windows ask once, at the end, a strict one says 3010. A port
// that kept its name is left running.
void MsrInUse(sim::Machine& m) { m.devices[3].inUse = true; }
void FirstRestartFails(sim::Machine& m) {
  m.FailCall("SetupDiCallClassInstaller", 1, ERROR_INVALID_PARAMETER);
}
void MsrInUseVfdWithoutKey(sim::Machine& m) {
  MsrInUse(m);
  m.registry.erase(sim::DeviceParametersKey(card::ChildId(VfdPort)));
}

TEST(ComNames, RenamedPortsAreRestartedToAnswerToTheirNames) {
  const std::string later =
      "3010: ports named; restart Windows so that they answer to their new names.";
  const struct {
    const char* what;
    void (*arrange)(sim::Machine&);
    std::string last;
    std::string answers;  // what each port answers to: the name it read when restarted, "-" if not
    bool restartNeeded;
  } cases[] = {
      {"all four restarted", AsInstalled, "0: all four ports reassigned.", "COM3 COM4 COM5 COM6",
       false},
      {"the MSR port in use", MsrInUse, later, "- COM4 COM5 COM6", true},
      {"a restart that fails", FirstRestartFails, later, "- COM4 COM5 COM6", true},
      {"named before", NamedBefore, "0: all four ports already had their names.", "- - - -", false},
      {"a row that failed wins", MsrInUseVfdWithoutKey, "2: reassign failed for VFD.",
       "- - COM5 COM6", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (const bool strict : {false, true}) {
      const sim::Machine& m = RunOnInstalledCard(c.arrange, "r", strict, c.last);
      std::string answers;
      for (int child = 0; child < 4; ++child) {
        const sim::Device& port = *m.FindDevice(card::ChildId(child));
        answers += (child ? " " : "") + (port.startedAs.empty() ? "-" : port.startedAs);
      }
      EXPECT_EQ(answers, c.answers);
      // The prompt comes at the end, after the pause; only the lock is let
      // go after it.
      const bool prompt = !strict && c.restartNeeded;
      EXPECT_EQ(m.Calls("SetupPromptReboot").size(), prompt ? 1u : 0u);
      if (prompt) {
        auto last = m.journal.rbegin();
        while (last->function == "ReleaseMutex" || last->function == "CloseHandle") ++last;
        EXPECT_EQ(last->function, "SetupPromptReboot");
        EXPECT_EQ((last + 1)->function, "Sleep");
      }
    }
  }
}

// Each device's name is read once, in one walk before anything changes, and
// every claim and release follows that reading: a later read that fails,
// or a name another program changes meanwhile, decides nothing. A name
// that cannot be read at all may be any number: nothing is released then.
// The walk reads the onboard port, the two functions, then the four ports.
constexpr int kWalkReads = 7;
void SecondReadFails(sim::Machine& m) {
  m.FailCall("RegQueryValueExA", kWalkReads + 1, ERROR_ACCESS_DENIED);
}
void OnboardUnreadable(sim::Machine& m) {
  m.FailCall("RegQueryValueExA", 1, ERROR_ACCESS_DENIED);
}
void MsrUnreadable(sim::Machine& m) {
  for (const int read : {4, kWalkReads + 1}) m.FailCall("RegQueryValueExA", read, ERROR_ACCESS_DENIED);
}
// The walk breaks off after the product function: the ports are unread.
void WalkBreaksOff(sim::Machine& m) { m.FailCall("SetupDiEnumDeviceInfo", 3, ERROR_INVALID_DATA); }
// Another program names the MSR port COM1, the onboard port's number, once
// the walk has read the names: before reassign writes its first name, or
// before uninstall's first removal. (The class installer, which would give
// back whatever the port holds by then, is left out: this is about the
// program's own decisions.)
void MsrRenamedMeanwhile(sim::Machine& m) {
  m.portsClassInstallerReleases = false;
  m.beforeCall = [&m, renamed = false](const std::string& function, int) mutable {
    const bool removal =
        function == "SetupDiCallClassInstaller" && m.journal.back().args[0] == "5";
    if (!renamed && (function == "RegSetValueExA" || removal)) {
      card::NamePort(m, card::ChildId(MsrPort), "COM1");
      renamed = true;
    }
  };
}

TEST(ComNames, EveryDecisionFollowsTheOneReadingOfTheNames) {
  const std::string note = " The COM name database was not updated.";
  const std::string named = "COM3 COM4 COM5 COM6 COM1";
  ExpectComCases({
      {"reassign, a second read would fail", SecondReadFails, "r",
       "0: all four ports reassigned.", "1 3 4 5 6 | " + named},
      {"reassign, renamed meanwhile", MsrRenamedMeanwhile, "r", "0: all four ports reassigned.",
       "1 3 4 5 6 | " + named},
      {"reassign, the onboard port's name unreadable", OnboardUnreadable, "r",
       "0: all four ports reassigned." + note, "1 3 4 5 6 7 8 9 10 | " + named},
      {"reassign, the MSR port's name unreadable", MsrUnreadable, "r",
       "0: all four ports reassigned." + note, "1 3 4 5 6 7 8 9 10 | " + named},
      {"reassign, the walk broke off", WalkBreaksOff, "r", "0: all four ports reassigned." + note,
       "1 3 4 5 6 7 8 9 10 | " + named},
      {"uninstall, a second read would fail", SecondReadFails, "u",
       "0: uninstalled; 6 devices of the card removed.", "1 | - - - - COM1"},
      {"uninstall, renamed meanwhile", MsrRenamedMeanwhile, "u",
       "0: uninstalled; 6 devices of the card removed.", "1 | - - - - COM1"},
      // The program gives nothing back, but the class installer gives back
      // the numbers of the ports it removes.
      {"uninstall, the onboard port's name unreadable", OnboardUnreadable, "u",
       "0: uninstalled; 6 devices of the card removed." + note, "1 | - - - - COM1"},
  });
}

// Without the database the ports are named and removed all the same; only
// a strict run's last line tells.
TEST(ComNames, WithoutTheDatabaseThePortsAreStillNamedAndRemoved) {
  const std::string note = " The COM name database was not updated.";
  ExpectComCases({
      {"reassign, no database", DatabaseClosed, "r", "0: all four ports reassigned." + note,
       "1 7 8 9 10 | COM3 COM4 COM5 COM6 COM1"},
      {"reassign, no msports.dll", NoMsports, "r", "0: all four ports reassigned." + note,
       "1 7 8 9 10 | COM3 COM4 COM5 COM6 COM1"},
      {"reassign, a claim refused", SecondClaimRefused, "r", "0: all four ports reassigned." + note,
       "1 3 5 6 | COM3 COM4 COM5 COM6 COM1"},
      {"uninstall, no database", DatabaseClosed, "u",
       "0: uninstalled; 6 devices of the card removed." + note, "1 7 8 9 10 | - - - - COM1"},
  });
}

// The database is shared by the whole system: one open per run, closed
// before the pause. Each port's name is read once, not once per row.
TEST(ComNames, TheDatabaseIsHeldOnlyWhileThePortsAreNamed) {
  sim::Machine& m = card::MachineWithCard();
  AfterInstall(m);
  const char* const argv[] = {"qrvinst.exe", "r"};
  testing::internal::CaptureStdout();
  RunProgram(2, argv);
  testing::internal::GetCapturedStdout();

  std::vector<std::string> order;
  for (const sim::Call& call : m.journal) {
    if (call.function == "ComDBOpen" || call.function == "ComDBClose" || call.function == "Sleep") {
      order.push_back(call.function);
    }
  }
  EXPECT_EQ(order, (std::vector<std::string>{"ComDBOpen", "ComDBClose", "Sleep"}));
  // ForceClaim and Forced are reserved for Windows' own use.
  for (const sim::Call& claim : m.Calls("ComDBClaimPort")) {
    EXPECT_EQ(claim.args[2] + " " + claim.args[3], "0 NULL");
  }
  // Every device's key read once, and the four ports' opened for the writes.
  EXPECT_EQ(m.Calls("SetupDiOpenDevRegKey").size(), kWalkReads + 4u);
}

}  // namespace

namespace {

// Another multifunction card's ports carry the same tags as the card's own:
// such a port is never named, claimed for or removed, and its name counts
// as another device's.
TEST(ComNames, AnotherCardsPortIsLeftAlone) {
  const std::string other = "MF\\ACME_DUALSERIAL_COM\\5&99AA&0&CHILD0000";
  sim::Machine& m = card::MachineWithCard();
  AfterInstall(m);
  m.AddDevice(other, "MF\\ACME_DUALSERIAL_COM", card::kPortsClass);
  card::NamePort(m, other, "COM3");
  m.claimedComNumbers.insert(3);
  const auto run = [](const char* mode) {
    const char* const argv[] = {"qrvinst.exe", mode, "/strict"};
    testing::internal::CaptureStdout();
    const int status = RunProgram(3, argv);
    const std::string output = testing::internal::GetCapturedStdout();
    return std::to_string(status) + output.substr(output.rfind(':'));
  };

  EXPECT_EQ(run("r"),
            "1: reassign failed for MSR; COM3 is held by the Ports device " + other + ", plugged in.\n");
  EXPECT_EQ(run("u"), "0: uninstalled; 6 devices of the card removed.\n");
  ASSERT_TRUE(m.FindDevice(other)->present);
  EXPECT_EQ(m.FindValue(sim::DeviceParametersKey(other), "PortName")->data, "COM3");
  EXPECT_EQ(m.FindValue(sim::EnumKey(other), "FriendlyName"), nullptr);
  EXPECT_EQ(After(m), "1 3 | - - - - COM1");
}

}  // namespace
