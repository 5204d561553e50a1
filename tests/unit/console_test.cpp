// The console program as a whole: what it prints, which mode it runs, and
// that it always exits with 0.
#include "frontend/console.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/unit/card_machine.h"

namespace {

const std::string kBanner =
    "QRV 7310-zz5 PCI Serial Port Installer\n"
    "Version 1.00\n"
    "Do not turn off the computer or remove the card until this program has finished.\n\n";

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
// exits with 1.
TEST(Console, UnderWow64EveryModeRefusesAndChangesNothing) {
  for (const char* key : {"", "r", "u"}) {
    sim::Machine& m = card::MachineWithCard();
    m.wow64 = true;
    const Outcome run = RunWith({key});
    EXPECT_EQ(run.exitCode, 1) << key;
    EXPECT_EQ(run.output,
              kBanner + "This is 64-bit Windows: run qrvinst64.exe instead. Nothing was changed.\n")
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
