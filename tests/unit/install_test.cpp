// Set-up and driver installation against the simulated machine.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/port_installer.h"
#include "tests/unit/card_machine.h"

namespace {

using Args = std::vector<std::string>;

std::vector<Args> InstallCalls(const sim::Machine& m) {
  std::vector<Args> calls;
  for (const sim::Call& call : m.Calls("UpdateDriverForPlugAndPlayDevicesA")) {
    calls.push_back(call.args);
  }
  return calls;
}

std::string DriverOf(const sim::Machine& m, const std::string& instanceId) {
  return m.FindDevice(instanceId)->driverInf;
}

TEST(SetUp, ReadsTheWindowsDirectoryTheThreeClassesAndThePortSnapshot) {
  sim::Machine& m = card::MachineWithCard();
  PortInstaller installer;

  // The stick has no inf folder beside the exe: the Windows directory's
  // is used.
  ASSERT_EQ(m.journal.size(), 7u);
  EXPECT_EQ(m.journal[0].function, "GetWindowsDirectoryA");
  EXPECT_EQ(m.journal[0].args[1], "20");
  EXPECT_EQ(m.journal[1].function, "GetModuleFileNameA");
  EXPECT_EQ(m.journal[1].args, (Args{"NULL", "ptr", "260"}));
  EXPECT_EQ(m.journal[2].args, (Args{card::PortsInf("E:")}));
  const std::string infs[] = {card::PortsInf(), card::BaseInf(), card::ProductInf()};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(m.journal[3 + i].function, "SetupDiGetINFClassA");
    EXPECT_EQ(m.journal[3 + i].args, (Args{infs[i], "ptr", "ptr", "50", "NULL"}));
  }
  EXPECT_EQ(m.journal[6].function, "SetupDiGetClassDevsA");
  EXPECT_EQ(m.journal[6].args, (Args{sim::ToString(card::kPortsClass), "NULL", "NULL", "2"}));
}

// The INF files come from the folder inf beside the exe when it holds all
// three, and then all from there; otherwise all three from the Windows
// directory's. Each case installs the card and names the folder used.
TEST(InfFolder, TheFilesBesideTheExeWhenAllThreeAreThere) {
  const std::string programFiles = "C:\\Program Files (x86)\\QRV 7310-zz5 (kit)";
  const std::string deep = programFiles + "\\" + std::string(60, 'd') + "\\" + std::string(60, 'e');
  const std::string tooDeep = "C:\\" + std::string(240, 'f');
  const struct {
    const char* what;
    std::string exeDir;  // the folder the exe runs from
    int beside;          // how many of the INF files lie in inf beside it
    std::string used;    // the folder all three are read from
  } cases[] = {
      {"all three on the stick", "E:", 3, "E:\\inf"},
      {"only two beside the exe", "E:", 2, "C:\\Windows\\inf"},
      {"a path with spaces and parentheses, longer than 100 bytes", deep, 3, deep + "\\inf"},
      {"an INF path longer than MAX_PATH", tooDeep, 3, "C:\\Windows\\inf"},
      {"an exe path longer than MAX_PATH", tooDeep + "\\" + std::string(30, 'g'), 3,
       "C:\\Windows\\inf"},
  };
  ASSERT_GT(deep.size(), 100u);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    sim::Machine& m = card::MachineWithCard();
    m.exePath = c.exeDir + "\\qrvinst.exe";
    card::AddInfs(m, c.exeDir);
    if (c.beside == 2) m.infs.erase(card::BaseInf(c.exeDir));
    PortInstaller installer;

    EXPECT_EQ(installer.InstallDrivers(), 0);
    // Every path handed to Windows lies in the folder used, the other one
    // is never read.
    int paths = 0;
    for (const sim::Call& call : m.journal) {
      if (call.function != "SetupDiGetINFClassA" &&
          call.function != "UpdateDriverForPlugAndPlayDevicesA") {
        continue;
      }
      const std::string& path = call.args[call.function == "SetupDiGetINFClassA" ? 0 : 2];
      EXPECT_EQ(path.substr(0, c.used.size() + 1), c.used + "\\") << path;
      ++paths;
    }
    EXPECT_EQ(paths, 9);
    // Windows stages each of the three packages in its driver store once.
    ASSERT_EQ(m.driverStore.size(), 3u);
    EXPECT_EQ(m.FindDevice(card::ChildId(SerialPortC))->storeInf, "oem2.inf");
  }
}

TEST(SetUp, StopsReadingClassesAtTheFirstUnreadableInf) {
  // The ports INF missing: no class is read and no device set is opened.
  sim::Machine& m = card::MachineWithCard();
  m.infs.erase(card::PortsInf());
  {
    PortInstaller installer;
    EXPECT_EQ(installer.ResolveInfClasses(), 1);
  }
  EXPECT_EQ(m.Calls("SetupDiGetINFClassA").size(), 2u);  // set-up once, the call above once
  EXPECT_TRUE(m.Calls("SetupDiGetClassDevsA").empty());

  // The base INF missing, or the product INF unreadable: the classes before
  // it are read and the ports snapshot is taken.
  for (int broken : {BaseInf, ProductInf}) {
    sim::Machine& m2 = card::MachineWithCard();
    if (broken == BaseInf) {
      m2.infs.erase(card::BaseInf());
    } else {
      m2.AddUnreadableInf(card::ProductInf());
    }
    PortInstaller installer;
    EXPECT_EQ(installer.ResolveInfClasses(), 1);
    EXPECT_EQ(m2.Calls("SetupDiGetINFClassA").size(), 2u * (broken + 1)) << broken;
    ASSERT_EQ(m2.Calls("SetupDiGetClassDevsA").size(), 1u);
    EXPECT_EQ(m2.Calls("SetupDiGetClassDevsA")[0].args[0], sim::ToString(card::kPortsClass));
  }
}

TEST(Install, InstallsBothFunctionsThenTheFourChildrenForcingOnlyTheBase) {
  sim::Machine& m = card::MachineWithCard();
  PortInstaller installer;

  EXPECT_EQ(installer.InstallDrivers(), 0);

  const std::vector<Args> expected = {
      {"NULL", card::kProductHardwareId, card::ProductInf(), "0", "NULL"},
      {"NULL", card::kBaseHardwareId, card::BaseInf(), "1", "NULL"},
      {"NULL", card::kChildHardwareIds[0], card::PortsInf(), "0", "NULL"},
      {"NULL", card::kChildHardwareIds[1], card::PortsInf(), "0", "NULL"},
      {"NULL", card::kChildHardwareIds[2], card::PortsInf(), "0", "NULL"},
      {"NULL", card::kChildHardwareIds[3], card::PortsInf(), "0", "NULL"},
  };
  EXPECT_EQ(InstallCalls(m), expected);
  EXPECT_EQ(DriverOf(m, card::ProductId()), card::ProductInf());
  EXPECT_EQ(DriverOf(m, card::BaseId()), card::BaseInf());
  for (int child = 0; child < 4; ++child) {
    EXPECT_EQ(DriverOf(m, card::ChildId(child)), card::PortsInf());
  }
  EXPECT_EQ(DriverOf(m, card::kOnboardPort), "");
}

TEST(Install, AFailingProductFunctionEndsTheInstallationWithItsError) {
  sim::Machine& m = card::MachineWithCard();
  m.FailCall("UpdateDriverForPlugAndPlayDevicesA", 1, 0xE0000203);
  PortInstaller installer;

  EXPECT_EQ(installer.InstallDrivers(), static_cast<int>(0xE0000203));
  EXPECT_EQ(InstallCalls(m).size(), 1u);
  EXPECT_EQ(DriverOf(m, card::BaseId()), "");
}

TEST(Install, AFailingBaseFunctionLeavesTheChildrenAlone) {
  sim::Machine& m = card::MachineWithCard();
  m.FailCall("UpdateDriverForPlugAndPlayDevicesA", 2, 0xE0000203);
  PortInstaller installer;

  EXPECT_EQ(installer.InstallDrivers(), static_cast<int>(0xE0000203));
  EXPECT_EQ(InstallCalls(m).size(), 2u);
  EXPECT_EQ(DriverOf(m, card::ProductId()), card::ProductInf());
  for (int child = 0; child < 4; ++child) EXPECT_EQ(DriverOf(m, card::ChildId(child)), "");
}

// Windows' answer when the device already has this driver or a better one.
TEST(Install, AProductFunctionWithItsDriverAlreadyGoesOn) {
  sim::Machine& m = card::MachineWithCard();
  m.devices[1].newerDriver = true;
  PortInstaller installer;

  EXPECT_EQ(installer.InstallDrivers(), 0);
  ASSERT_EQ(InstallCalls(m).size(), 6u);
  EXPECT_EQ(InstallCalls(m)[1][3], "1");  // the base function, forced
  for (int child = 0; child < 4; ++child) {
    EXPECT_EQ(DriverOf(m, card::ChildId(child)), card::PortsInf());
  }
}

TEST(Install, FailingChildrenDoNotFailTheInstallation) {
  sim::Machine& m = card::MachineWithCard();
  for (int call = 3; call <= 6; ++call) {
    m.FailCall("UpdateDriverForPlugAndPlayDevicesA", call, ERROR_FILE_NOT_FOUND);
  }
  PortInstaller installer;

  EXPECT_EQ(installer.InstallDrivers(), 0);
  EXPECT_EQ(InstallCalls(m).size(), 6u);
}

TEST(Install, ReportsWhatWindowsReportsWhenTheCardOrItsInfIsMissing) {
  sim::Machine& m = sim::Machine::Reset();  // the INF files, but no card
  card::AddInfs(m);
  PortInstaller noCard;
  EXPECT_EQ(noCard.InstallDrivers(), static_cast<int>(ERROR_NO_SUCH_DEVINST));

  sim::Machine& m2 = card::MachineWithCard();
  m2.infs.erase(card::ProductInf());
  PortInstaller noInf;
  EXPECT_EQ(noInf.InstallDrivers(), static_cast<int>(ERROR_FILE_NOT_FOUND));
}

TEST(Install, AFailureWithoutAnErrorCodeIsStillAFailure) {
  sim::Machine& m = card::MachineWithCard();
  m.FailCall("UpdateDriverForPlugAndPlayDevicesA", 2, ERROR_SUCCESS);
  PortInstaller installer;

  EXPECT_NE(installer.InstallDrivers(), 0);
}

TEST(WindowsDirectory, OfNineteenCharactersIsUsedWhole) {
  const std::string dir = "D:\\WINNT\\Systems_19";
  ASSERT_EQ(dir.size(), 19u);
  sim::Machine& m = card::MachineWithCard(dir);
  PortInstaller installer;

  EXPECT_EQ(installer.InstallDrivers(), 0);
  EXPECT_EQ(m.Calls("SetupDiGetINFClassA")[0].args[0], card::PortsInf(dir));
  EXPECT_EQ(InstallCalls(m)[0][2], card::ProductInf(dir));
  EXPECT_EQ(m.Calls("SetupDiGetClassDevsA").size(), 1u);
}

// A directory that does not fit must never become part of an INF path:
// "\inf\..." alone would name a file at the root of the current drive.
TEST(WindowsDirectory, ThatDoesNotFitLeavesEverythingUninstalled) {
  for (const std::string& dir :
       {std::string("D:\\WINNT\\Systems_020"), "C:\\" + std::string(150, 'w')}) {
    SCOPED_TRACE(dir);
    sim::Machine& m = card::MachineWithCard(dir);
    m.AddInf("\\inf\\7310-zz5.inf", card::kMultiportSerialClass, "MultiPortSerial");
    PortInstaller installer;

    EXPECT_EQ(installer.InstallDrivers(), static_cast<int>(ERROR_BUFFER_OVERFLOW));
    EXPECT_TRUE(m.Calls("SetupDiGetINFClassA").empty());
    EXPECT_TRUE(m.Calls("SetupDiGetClassDevsA").empty());
    EXPECT_TRUE(InstallCalls(m).empty());
  }
}

TEST(WindowsDirectory, ThatCannotBeReadLeavesEverythingUninstalled) {
  sim::Machine& m = card::MachineWithCard();
  m.FailCall("GetWindowsDirectoryA", 1, ERROR_INVALID_PARAMETER);
  PortInstaller installer;

  EXPECT_EQ(installer.InstallDrivers(), static_cast<int>(ERROR_BUFFER_OVERFLOW));
  EXPECT_TRUE(m.Calls("SetupDiGetINFClassA").empty());
  EXPECT_TRUE(InstallCalls(m).empty());
}

}  // namespace
