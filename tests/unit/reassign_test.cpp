// Naming the child ports COM3 to COM6: what lands in the registry and on
// the console.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/port_installer.h"
#include "frontend/console.h"
#include "tests/unit/card_machine.h"

namespace {

const std::string kFriendlyNames[4] = {
    "QRV 7310-zz5 MSR Port (COM3)", "QRV 7310-zz5 VFD Port (COM4)",
    "QRV 7310-zz5 Touch Screen (COM5)", "QRV 7310-zz5 Serial Port C (COM6)"};
const std::string kPortNames[4] = {"COM3", "COM4", "COM5", "COM6"};

// The name a device was given, as "PortName|FriendlyName"; "-" for a value
// never written. Both must be written as texts with their terminator, as
// RegSetValueExA asks of a REG_SZ value.
std::string NamesOf(const sim::Machine& m, const std::string& id) {
  const sim::RegValue* port = m.FindValue(sim::DeviceParametersKey(id), "PortName");
  const sim::RegValue* friendly = m.FindValue(sim::EnumKey(id), "FriendlyName");
  for (const sim::RegValue* value : {port, friendly}) {
    if (value) {
      EXPECT_TRUE(value->type == REG_SZ && value->Terminated()) << id;
    }
  }
  return (port ? port->Text() : "-") + "|" + (friendly ? friendly->Text() : "-");
}

std::string Named(int child) { return kPortNames[child] + "|" + kFriendlyNames[child]; }

std::string RunReassign() {
  const char* const argv[] = {"qrvinst.exe", "r", "ignored"};
  testing::internal::CaptureStdout();
  EXPECT_EQ(RunProgram(3, argv), 0);
  return testing::internal::GetCapturedStdout();
}

TEST(Reassign, NamesTheFourChildrenAndPausesOnceAtTheEnd) {
  sim::Machine& m = card::MachineWithCard();

  EXPECT_EQ(RunReassign(),
            "QRV 7310-zz5 PCI Serial Port Installer\n"
            "Version 1.00\n"
            "Do not turn off the computer or remove the card until this program has finished.\n\n"
            "Reassigning MSR COM Port - [ OK ] \n"
            "Reassigning VFD COM Port - [ OK ] \n"
            "Reassigning Touch Screen COM Port - [ OK ] \n"
            "Reassigning Serial Port C COM Port - [ OK ] \n");

  for (int child = 0; child < 4; ++child) {
    EXPECT_EQ(NamesOf(m, card::ChildId(child)), Named(child));
  }
  EXPECT_EQ(NamesOf(m, card::kOnboardPort), "-|-");
  EXPECT_EQ(m.OpenKeyCount(), 0u);

  const std::vector<sim::Call> sleeps = m.Calls("Sleep");
  ASSERT_EQ(sleeps.size(), 1u);
  EXPECT_EQ(sleeps[0].args[0], "3000");
  // After the pause the run only lets go of its lock.
  std::vector<std::string> after;
  for (auto call = m.journal.rbegin(); call->function != "Sleep"; ++call) {
    after.insert(after.begin(), call->function);
  }
  EXPECT_EQ(after, (std::vector<std::string>{"ReleaseMutex", "CloseHandle"}));
}

// The port's hardware key is opened through the setup API, for what
// naming needs and no more; both texts are written with their terminator.
TEST(Reassign, StoresTheNamesWithTheirTerminatorThroughTheDevicesKey) {
  sim::Machine& m = card::MachineWithCard();
  {
    PortInstaller installer;
    EXPECT_EQ(installer.ReassignChildPort(MsrPort, "COM3"), 0);
  }

  const sim::RegValue* port = m.FindValue(sim::DeviceParametersKey(card::ChildId(0)), "PortName");
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(port->data, std::string("COM3", 5));
  const std::vector<sim::Call> friendly = m.Calls("SetupDiSetDeviceRegistryPropertyA");
  ASSERT_EQ(friendly.size(), 1u);
  EXPECT_EQ(friendly[0].args[2], "12");
  EXPECT_EQ(friendly[0].args[3], std::string("QRV 7310-zz5 MSR Port (COM3)", 29));
  EXPECT_EQ(friendly[0].args[4], "29");
  for (const sim::Call& open : m.Calls("RegOpenKeyExA")) {
    EXPECT_EQ(open.args[1].find("Enum"), std::string::npos) << open.args[1];
  }
  std::vector<std::string> accesses;
  for (const sim::Call& open : m.Calls("SetupDiOpenDevRegKey")) accesses.push_back(open.args[5]);
  // The names' reading of every device, then the write.
  EXPECT_EQ(accesses,
            (std::vector<std::string>{"0x1", "0x1", "0x1", "0x1", "0x1", "0x1", "0x1", "0x3"}));
  EXPECT_EQ(m.OpenKeyCount(), 0u);
}

TEST(Reassign, WithNoChildPresentEveryRowSucceedsAndNothingIsWritten) {
  sim::Machine& m = sim::Machine::Reset();
  card::AddInfs(m);
  m.AddDevice(card::kOnboardPort, "*PNP0501", card::kPortsClass);

  const std::string output = RunReassign();

  EXPECT_NE(output.find("MSR COM Port - [ OK ] \nReassigning VFD COM Port - [ OK ] \n"
                        "Reassigning Touch Screen COM Port - [ OK ] \n"
                        "Reassigning Serial Port C COM Port - [ OK ] \n"),
            std::string::npos);
  EXPECT_TRUE(m.Calls("RegSetValueExA").empty());
  EXPECT_TRUE(m.Calls("SetupDiSetDeviceRegistryPropertyA").empty());
}

TEST(Reassign, AFailingRowDoesNotStopTheRowsAfterIt) {
  const std::string expected =
      "Reassigning MSR COM Port - [ OK ] \n"
      "Reassigning VFD COM Port - [ FAILED ]\n"
      "Reassigning Touch Screen COM Port - [ OK ] \n"
      "Reassigning Serial Port C COM Port - [ OK ] \n";

  // The VFD port has no "Device Parameters" key; it is never created.
  sim::Machine& m = sim::Machine::Reset();
  card::AddInfs(m);
  for (int child = 0; child < 4; ++child) {
    m.AddDevice(card::ChildId(child), card::kChildHardwareIds[child], card::kPortsClass,
                child != VfdPort);
  }
  std::string output = RunReassign();
  EXPECT_EQ(output.substr(output.find("Reassigning")), expected);
  EXPECT_FALSE(m.KeyExists(sim::DeviceParametersKey(card::ChildId(VfdPort))));
  EXPECT_EQ(NamesOf(m, card::ChildId(VfdPort)), "-|-");
  for (int child : {0, 2, 3}) EXPECT_EQ(NamesOf(m, card::ChildId(child)), Named(child));

  // The VFD port's name cannot be written: the fourth write, as each
  // port's restart is first recorded as owed.
  sim::Machine& m2 = card::MachineWithCard();
  m2.FailCall("RegSetValueExA", 4, 5 /* access denied */);
  output = RunReassign();
  EXPECT_EQ(output.substr(output.find("Reassigning")), expected);
  EXPECT_EQ(NamesOf(m2, card::ChildId(VfdPort)), "-|-");
  for (int child : {0, 2, 3}) EXPECT_EQ(NamesOf(m2, card::ChildId(child)), Named(child));
}

TEST(Reassign, FindsTheTagAnywhereInTheIdAndNamesEveryDeviceCarryingIt) {
  sim::Machine& m = sim::Machine::Reset();
  card::AddInfs(m);
  const std::string middle = "MF\\QRV7310_4Z6_VFD\\CHILD0001&5&1F2E3D4C&0";
  const std::string first = card::ChildId(MsrPort, '0');
  const std::string second = card::ChildId(MsrPort, '1');
  m.AddDevice(first, card::kChildHardwareIds[0], card::kPortsClass);
  m.AddDevice(middle, card::kChildHardwareIds[1], card::kPortsClass);
  m.AddDevice(second, card::kChildHardwareIds[0], card::kPortsClass);
  // The tag is compared with its case.
  m.AddDevice("MF\\QRV7310_4Z6_MSR\\5&1F2E3D4C&2&child0000", card::kChildHardwareIds[0],
              card::kPortsClass);
  PortInstaller installer;

  EXPECT_EQ(installer.ReassignChildPort(MsrPort, "COM3"), 0);
  EXPECT_EQ(installer.ReassignChildPort(VfdPort, "COM4"), 0);

  EXPECT_EQ(NamesOf(m, first), Named(MsrPort));
  EXPECT_EQ(NamesOf(m, second), Named(MsrPort));
  EXPECT_EQ(NamesOf(m, middle), Named(VfdPort));
  EXPECT_EQ(NamesOf(m, "MF\\QRV7310_4Z6_MSR\\5&1F2E3D4C&2&child0000"), "-|-");
}

// Windows allows instance IDs of up to 199 characters. One that does not fit
// the 100-byte buffer must not be mistaken for whatever the buffer held
// before: the device read before it, or the last one of the previous walk.
TEST(Reassign, ADeviceWhoseIdDoesNotFitIsLeftAlone) {
  sim::Machine& m = sim::Machine::Reset();
  card::AddInfs(m);
  const std::string overlong[2] = {
      "BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_VID&000105D6_PID&000A\\"
      "8&2B1A3C4D&0&0123456789AB_C00000000&" +
          std::string(40, 'X'),
      "BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_VID&000105D6_PID&000A\\"
      "8&2B1A3C4D&0&0123456789AC_C00000000&" +
          std::string(40, 'Y')};
  ASSERT_GE(overlong[0].size(), 100u);
  const char* bluetooth = "BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}";
  m.AddDevice(overlong[0], bluetooth, card::kPortsClass);
  m.AddDevice(card::ChildId(MsrPort), card::kChildHardwareIds[0], card::kPortsClass);
  m.AddDevice(overlong[1], bluetooth, card::kPortsClass);
  for (int child = 1; child < 4; ++child) {
    m.AddDevice(card::ChildId(child), card::kChildHardwareIds[child], card::kPortsClass);
  }

  const std::string output = RunReassign();

  EXPECT_EQ(output.find("FAILED"), std::string::npos);
  for (int child = 0; child < 4; ++child) {
    EXPECT_EQ(NamesOf(m, card::ChildId(child)), Named(child));
  }
  EXPECT_EQ(NamesOf(m, overlong[0]), "-|-");
  EXPECT_EQ(NamesOf(m, overlong[1]), "-|-");
  std::size_t names = 0;
  for (const sim::Call& write : m.Calls("RegSetValueExA")) names += write.args[1] == "PortName";
  EXPECT_EQ(names, 4u);
  EXPECT_EQ(m.Calls("SetupDiSetDeviceRegistryPropertyA").size(), 4u);
}

TEST(Reassign, APortNameThatWouldNotFitFailsBeforeAnythingIsWritten) {
  sim::Machine& m = card::MachineWithCard();
  PortInstaller installer;

  EXPECT_EQ(installer.ReassignChildPort(MsrPort, std::string(80, 'P').c_str()), 1);
  EXPECT_TRUE(m.Calls("RegSetValueExA").empty());
  EXPECT_EQ(NamesOf(m, card::ChildId(MsrPort)), "-|-");
}

}  // namespace
