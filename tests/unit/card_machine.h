// Simulated machines holding the QRV 7310-zz5 card, for the unit tests.
#pragma once

#include <string>

#include "platform/host/sim_machine.h"

namespace card {

inline constexpr GUID kPortsClass = {
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
inline constexpr GUID kMultifunctionClass = {
    0x4D36E971, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
inline constexpr GUID kMultiportSerialClass = {
    0x50906CB8, 0xBA12, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};

inline const std::string kWindowsDir = "C:\\Windows";
inline std::string PortsInf(const std::string& dir = kWindowsDir) {
  return dir + "\\inf\\qrvports.inf";
}
inline std::string BaseInf(const std::string& dir = kWindowsDir) {
  return dir + "\\inf\\qrvbased.inf";
}
inline std::string ProductInf(const std::string& dir = kWindowsDir) {
  return dir + "\\inf\\7310-zz5.inf";
}

inline const std::string kProductHardwareId = "PCI\\VEN_7E21&DEV_0B63&SUBSYS_0B647E21&REV_10";
inline const std::string kBaseHardwareId = "PCI\\VEN_7E21&DEV_0B61&SUBSYS_0B627E21&REV_10";
inline const std::string kChildHardwareIds[4] = {"MF\\QRV7310_4z6_MSR", "MF\\QRV7310_4z6_VFD",
                                                 "MF\\QRV7310_4z6_TOUCH",
                                                 "MF\\QRV7310_4z6_SERIALC"};
inline const std::string kOnboardPort = "ACPI\\PNP0501\\1";

// The instance IDs of one card's devices; `slot` tells cards apart.
inline std::string ProductId(char slot = '0') {
  return kProductHardwareId + "\\4&2A7B3C1D&0&" + slot + "0E0";
}
inline std::string BaseId(char slot = '0') {
  return kBaseHardwareId + "\\4&2A7B3C1D&0&" + slot + "1E0";
}
inline std::string ChildId(int child, char slot = '0') {
  static const char* const kNames[4] = {"MSR", "VFD", "TOUCH", "SERIALC"};
  return std::string("MF\\QRV7310_4Z6_") + kNames[child] + "\\5&1F2E3D4C&" + slot + "&CHILD000" +
         static_cast<char>('0' + child);
}

// The three INF files in the inf folder of a folder: by default the
// machine's Windows directory.
inline void AddInfs(sim::Machine& m, std::string dir = "") {
  if (dir.empty()) dir = m.windowsDirectory;
  m.AddInf(PortsInf(dir), kPortsClass, "Ports");
  m.AddInf(BaseInf(dir), kMultifunctionClass, "MultiFunction");
  m.AddInf(ProductInf(dir), kMultiportSerialClass, "MultiPortSerial");
}

// The child ports are enumerated by the base function, the multifunction
// device.
inline void AddCard(sim::Machine& m, char slot = '0') {
  m.AddDevice(ProductId(slot), kProductHardwareId, kMultiportSerialClass);
  m.AddDevice(BaseId(slot), kBaseHardwareId, kMultifunctionClass);
  for (int child = 0; child < 4; ++child) {
    m.AddDevice(ChildId(child, slot), kChildHardwareIds[child], kPortsClass).parent = BaseId(slot);
  }
}

// Gives a device the PortName value of a port of that name.
inline void NamePort(sim::Machine& m, const std::string& id, const std::string& name) {
  m.registry[sim::DeviceParametersKey(id)]["PortName"] = sim::RegValue{REG_SZ, name, true};
}

// The card's devices run the drivers of its INF files, as an install leaves
// them.
inline void GiveDrivers(sim::Machine& m) {
  for (sim::Device& device : m.devices) {
    if (device.instanceId == kOnboardPort) continue;
    device.driverInf = device.hardwareIds[0][0] == 'M' ? PortsInf(m.windowsDirectory)
                       : device.instanceId == BaseId() ? BaseInf(m.windowsDirectory)
                                                       : ProductInf(m.windowsDirectory);
  }
}

// The onboard port named COM1 and the card's ports COM<first> to
// COM<first + 3>, all claimed in the COM port database.
inline void NamePorts(sim::Machine& m, int first) {
  NamePort(m, kOnboardPort, "COM1");
  m.claimedComNumbers = {1};
  for (int child = 0; child < 4; ++child) {
    NamePort(m, ChildId(child), "COM" + std::to_string(first + child));
    m.claimedComNumbers.insert(static_cast<DWORD>(first + child));
  }
}

// A fresh machine with the three INF files, an onboard COM1 and the card.
inline sim::Machine& MachineWithCard(const std::string& windowsDir = kWindowsDir) {
  sim::Machine& m = sim::Machine::Reset();
  m.windowsDirectory = windowsDir;
  AddInfs(m);
  m.AddDevice(kOnboardPort, "*PNP0501", kPortsClass);
  AddCard(m);
  return m;
}

}  // namespace card
