// Removing the card: which devices go, which stay, and the one line printed.
#include <gtest/gtest.h>

#include <string>

#include "engine/port_installer.h"
#include "frontend/console.h"
#include "tests/unit/card_machine.h"

namespace {

const std::string kPrompt = "Uninstalling 7310-zz5 PCI Serial Port Drivers - ";

std::string RunUninstall() {
  const char* const argv[] = {"qrvinst.exe", "u"};
  testing::internal::CaptureStdout();
  EXPECT_EQ(RunProgram(2, argv), 0);
  const std::string output = testing::internal::GetCapturedStdout();
  const std::size_t prompt = output.find(kPrompt);
  return prompt == std::string::npos ? output : output.substr(prompt + kPrompt.size());
}

// How many removals the run asked for: each goes through the class
// installer, DIF_REMOVE.
std::size_t Removals(const sim::Machine& m) {
  std::size_t removals = 0;
  for (const sim::Call& call : m.Calls("SetupDiCallClassInstaller"))
    removals += call.args[0] == "5";
  return removals;
}

bool Present(const sim::Machine& m, const std::string& id) {
  const sim::Device* device = m.FindDevice(id);
  return device && device->present && m.KeyExists(sim::EnumKey(id));
}

void ExpectCardGone(const sim::Machine& m, char slot = '0') {
  EXPECT_FALSE(Present(m, card::ProductId(slot))) << slot;
  EXPECT_FALSE(Present(m, card::BaseId(slot))) << slot;
  for (int child = 0; child < 4; ++child) EXPECT_FALSE(Present(m, card::ChildId(child, slot)));
}

// Devices of other products in the card's classes, enumerated before it.
const std::string kOtherMultifunction =
    "PCI\\VEN_1000&DEV_0012&SUBSYS_00000000&REV_01\\3&11583659&0&08";
const std::string kOtherMultiportSerial =
    "PCI\\VEN_135A&DEV_0A61&SUBSYS_0A61135A&REV_00\\3&11583659&0&10";

TEST(Uninstall, RemovesOneCardAndLeavesEverythingElse) {
  sim::Machine& m = sim::Machine::Reset();
  card::AddInfs(m);
  m.AddDevice(kOtherMultifunction, "PCI\\VEN_1000&DEV_0012", card::kMultifunctionClass);
  m.AddDevice(kOtherMultiportSerial, "PCI\\VEN_135A&DEV_0A61", card::kMultiportSerialClass);
  m.AddDevice(card::kOnboardPort, "*PNP0501", card::kPortsClass);
  card::AddCard(m);

  // The second parent run finds nothing left to remove.
  EXPECT_EQ(RunUninstall(), " [ OK ] \n");

  ExpectCardGone(m);
  EXPECT_TRUE(Present(m, card::kOnboardPort));
  EXPECT_TRUE(Present(m, kOtherMultifunction));
  EXPECT_TRUE(Present(m, kOtherMultiportSerial));
}

// Removing the base function, the multifunction device, takes its child
// ports off the present list without uninstalling them: their keys would
// stay behind for good, and the ports could no longer be removed.
TEST(Uninstall, TheChildPortsGoBeforeTheFunctionThatEnumeratesThem) {
  sim::Machine& m = card::MachineWithCard();
  RunUninstall();
  for (int child = 0; child < 4; ++child) {
    EXPECT_FALSE(m.KeyExists(sim::EnumKey(card::ChildId(child)))) << child;
  }

  // The other way round leaves them behind.
  sim::Machine& m2 = card::MachineWithCard();
  PortInstaller installer;
  installer.RemoveParentDevices();
  installer.RemoveChildDevices();
  EXPECT_TRUE(m2.KeyExists(sim::EnumKey(card::ChildId(0))));
  EXPECT_FALSE(m2.FindDevice(card::ChildId(0))->present);
}

TEST(Uninstall, RemovesTwoCards) {
  sim::Machine& m = card::MachineWithCard();
  card::AddCard(m, '1');

  EXPECT_EQ(RunUninstall(), " [ OK ]\n");

  ExpectCardGone(m, '0');
  ExpectCardGone(m, '1');
  EXPECT_TRUE(Present(m, card::kOnboardPort));
}

// A device whose removal waits for the restart is still listed until then;
// the second removal run leaves it alone, as it is no second card.
TEST(Uninstall, ADeviceLeftForTheRestartIsRemovedOnce) {
  sim::Machine& m = card::MachineWithCard();
  m.devices[1].inUse = true;  // the product function

  EXPECT_EQ(RunUninstall(), " [ OK ] \n");
  EXPECT_TRUE(Present(m, card::ProductId()));
  EXPECT_EQ(m.FindDevice(card::ProductId())->problem, CM_PROB_WILL_BE_REMOVED);
  EXPECT_EQ(Removals(m), 6u);
}

TEST(Uninstall, WithNothingPresentRemovesNothing) {
  sim::Machine& m = sim::Machine::Reset();
  card::AddInfs(m);

  EXPECT_EQ(RunUninstall(), " [ OK ] \n");
  EXPECT_TRUE(Removals(m) == 0);
}

TEST(Uninstall, AnIdHoldingTwoTagsIsRemovedOncePerTag) {
  sim::Machine& m = sim::Machine::Reset();
  card::AddInfs(m);
  const std::string both = "MF\\QRV7310_4Z6_MSR\\CHILD0000&CHILD0002";
  m.AddDevice(both, card::kChildHardwareIds[0], card::kPortsClass);
  PortInstaller installer;

  EXPECT_EQ(installer.RemoveChildDevices(), 0);
  EXPECT_EQ(Removals(m), 2u);
  EXPECT_FALSE(Present(m, both));
}

// The base function goes after the product function, and also where that
// is gone already, as a run cut off between the two removals leaves it.
TEST(Uninstall, TheBaseFunctionGoesAfterTheProductFunctionOrWithoutIt) {
  sim::Machine& m = card::MachineWithCard();
  m.devices[1].present = false;  // the product function is gone already
  PortInstaller installer;

  EXPECT_EQ(installer.RemoveParentDevices(), 1);
  EXPECT_FALSE(Present(m, card::BaseId()));

  // A removal that fails leaves the base function alone.
  sim::Machine& m2 = card::MachineWithCard();
  m2.FailCall("SetupDiCallClassInstaller", 1, 5 /* access denied */);
  PortInstaller failing;
  EXPECT_EQ(failing.RemoveParentDevices(), 1);
  EXPECT_TRUE(Present(m2, card::ProductId()));
  EXPECT_TRUE(Present(m2, card::BaseId()));
}

// Only an instance of the card's own device ID counts: the hardware ID, then a
// backslash, in any letter case.
TEST(Uninstall, ParentFunctionsAreKnownByTheirDeviceId) {
  sim::Machine& m = sim::Machine::Reset();
  card::AddInfs(m);
  const std::string longerId = card::kBaseHardwareId + "1\\3&1";
  const std::string lowerCase = "pci\\ven_7e21&dev_0b61&subsys_0b627e21&rev_10\\4&2a7b3c1d&0&01e0";
  m.AddDevice(card::ProductId(), card::kProductHardwareId, card::kMultiportSerialClass);
  m.AddDevice(longerId, card::kBaseHardwareId + "1", card::kMultifunctionClass);
  m.AddDevice(lowerCase, card::kBaseHardwareId, card::kMultifunctionClass);
  PortInstaller installer;

  EXPECT_EQ(installer.RemoveParentDevices(), 0);
  EXPECT_FALSE(Present(m, card::ProductId()));
  EXPECT_TRUE(Present(m, longerId));
  EXPECT_FALSE(Present(m, lowerCase));
}

TEST(Uninstall, NoSetIsOpenedForAClassThatWasNotRead) {
  // The base INF missing: the children go, the parents stay.
  sim::Machine& m = card::MachineWithCard();
  m.infs.erase(card::BaseInf());
  EXPECT_EQ(RunUninstall(), " [ OK ] \n");
  // The ports snapshot, and the ports that Windows keeps, for their names.
  EXPECT_EQ(m.Calls("SetupDiGetClassDevsA").size(), 2u);
  for (int child = 0; child < 4; ++child) EXPECT_FALSE(Present(m, card::ChildId(child)));
  EXPECT_TRUE(Present(m, card::ProductId()));
  EXPECT_TRUE(Present(m, card::BaseId()));

  // The ports INF missing: nothing at all is removed.
  sim::Machine& m2 = card::MachineWithCard();
  m2.infs.erase(card::PortsInf());
  EXPECT_EQ(RunUninstall(), " [ OK ] \n");
  EXPECT_TRUE(m2.Calls("SetupDiGetClassDevsA").empty());
  EXPECT_TRUE(Removals(m2) == 0);
}

// A device whose instance ID does not fit the buffer is never taken for the
// device read before it.
TEST(Uninstall, DevicesWhoseIdDoesNotFitSurvive) {
  sim::Machine& m = sim::Machine::Reset();
  card::AddInfs(m);
  const std::string overlongPort =
      "BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_VID&000105D6_PID&000A\\"
      "8&2B1A3C4D&0&0123456789AB_C00000000&" +
      std::string(40, 'X');
  const std::string overlongFunction = card::kBaseHardwareId + "\\" + std::string(80, '7');
  m.AddDevice(card::ProductId(), card::kProductHardwareId, card::kMultiportSerialClass);
  m.AddDevice(overlongFunction, card::kBaseHardwareId, card::kMultifunctionClass);
  m.AddDevice(card::BaseId(), card::kBaseHardwareId, card::kMultifunctionClass);
  for (int child = 0; child < 4; ++child) {
    m.AddDevice(card::ChildId(child), card::kChildHardwareIds[child], card::kPortsClass);
    if (child == 0) m.AddDevice(overlongPort, "BTHENUM\\{00001101}", card::kPortsClass);
  }

  EXPECT_EQ(RunUninstall(), " [ OK ] \n");

  ExpectCardGone(m);
  EXPECT_TRUE(Present(m, overlongPort));
  EXPECT_TRUE(Present(m, overlongFunction));
}

}  // namespace
