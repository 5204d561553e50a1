// Runs that survive being killed: a run whose process ends right after any
// one of its platform calls, run again as a fresh process, leaves the
// machine as a run that was never cut off does, with the same status.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "frontend/console.h"
#include "tests/unit/card_machine.h"

namespace {

// A run's status; of a run whose process ended, nothing.
int RunMode(std::vector<const char*> args) {
  args.insert(args.begin(), "qrvinst.exe");
  testing::internal::CaptureStdout();
  const int status = RunProgram(static_cast<int>(args.size()), args.data());
  testing::internal::GetCapturedStdout();
  return status;
}

// What a run leaves that outlasts it: the devices, their drivers and
// whether they are present, removed or waiting for the restart; every
// registry value; the COM port database's claims. Also fails when a COM
// name is held twice.
std::string EndState(const sim::Machine& m) {
  std::string state;
  for (const sim::Device& device : m.devices) {
    const std::size_t slash = device.driverInf.find_last_of('\\');
    state += device.instanceId +
             (device.uninstalled ? " removed"
              : device.present   ? " present"
                                 : " absent") +
             (device.problem != 0 ? " pending" : "") + " driver " +
             (slash == std::string::npos ? device.driverInf : device.driverInf.substr(slash + 1)) +
             " " + device.driverVer + "\n";
  }
  std::map<std::string, std::string> holders;
  for (const auto& [path, key] : m.registry) {
    for (const auto& [name, value] : key) {
      state += path + "\\" + name + "=" + value.Text() + "\n";
      if (name != "PortName") continue;
      std::string number = value.Text();
      for (char& c : number) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      EXPECT_TRUE(holders.emplace(number, path).second)
          << number << " held by " << path << " and " << holders[number];
    }
  }
  state += "claims";
  for (const DWORD number : m.claimedComNumbers) state += " " + std::to_string(number);
  return state;
}

void Fresh(sim::Machine& m) {
  card::NamePort(m, card::kOnboardPort, "COM1");
  m.claimedComNumbers = {1};
}
void Finished(sim::Machine& m) {
  card::GiveDrivers(m);
  card::NamePorts(m, 3);
}
void OnCom7To10(sim::Machine& m) {
  card::GiveDrivers(m);
  card::NamePorts(m, 7);
}
// A Ports class installer that leaves the removed ports' numbers claimed:
// the program must give them back itself.
void OnCom7To10NumbersKept(sim::Machine& m) {
  OnCom7To10(m);
  m.portsClassInstallerReleases = false;
}
void PortHeldOpen(sim::Machine& m) {
  OnCom7To10(m);
  m.devices[3].inUse = true;  // the MSR port
}

TEST(KilledRuns, EndWhereAnUninterruptedRunEnds) {
  const struct {
    const char* what;
    void (*arrange)(sim::Machine&);
  } machines[] = {
      {"a fresh card", Fresh},
      {"a set-up card", Finished},
      {"ports on COM7 to COM10", OnCom7To10},
      {"ports on COM7 to COM10, numbers kept by the class installer", OnCom7To10NumbersKept},
      {"a port held open", PortHeldOpen}};
  const std::vector<std::vector<const char*>> modes = {
      {}, {"/strict"}, {"r"}, {"r", "/strict"}, {"u"}, {"u", "/strict"}};
  std::size_t points = 0;
  std::size_t failed = 0;
  for (const auto& machine : machines) {
    for (const auto& mode : modes) {
      std::string name = machine.what;
      for (const char* arg : mode) name += std::string(" ") + arg;
      SCOPED_TRACE(name);
      sim::Machine& reference = card::MachineWithCard();
      machine.arrange(reference);
      const int status = RunMode(mode);
      const std::string state = EndState(reference);
      const std::size_t calls = reference.callsMade;
      std::size_t reported = 0;
      for (std::size_t after = 1; after < calls; ++after) {
        sim::Machine& m = card::MachineWithCard();
        machine.arrange(m);
        m.endProcessAfter = after;
        RunMode(mode);
        ASSERT_TRUE(m.processEnded) << after;
        const std::string cut = m.journal.back().function;
        m.EndOfProcess();
        const int again = RunMode(mode);
        ++points;
        if (again == status && EndState(m) == state) continue;
        ++failed;
        if (reported++ < 3) {
          ADD_FAILURE() << "killed after call " << after << " (" << cut << "): status " << again
                        << ", not " << status << "; the state:\n"
                        << EndState(m) << "\nnot:\n"
                        << state;
        }
      }
      if (reported != 0)
        std::printf("%s: %zu of %zu kill points end elsewhere\n", name.c_str(), reported,
                    calls - 1);
    }
  }
  std::printf("kill points: %zu, of which %zu end elsewhere\n", points, failed);
}

// A port renamed while an application holds it open answers to its new
// name only when it restarts: every later run tries again and says 3010,
// until Windows has restarted.
TEST(KilledRuns, ARestartIsOwedUntilWindowsRestarts) {
  sim::Machine& m = card::MachineWithCard();
  PortHeldOpen(m);
  for (const int status : {3010, 3010}) {
    EXPECT_EQ(RunMode({"r", "/strict"}), status);
    m.EndOfProcess();
  }
  m.RestartWindows();
  EXPECT_EQ(RunMode({"r", "/strict"}), 0);
  EXPECT_EQ(m.FindDevice(card::ChildId(MsrPort))->startedAs, "COM3");
  EXPECT_EQ(m.Calls("SetupDiSetClassInstallParamsA").size(),
            4u + 1u);  // the four, then the MSR port again
}

}  // namespace
