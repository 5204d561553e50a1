// The card as the installer knows it: its INF files, the hardware IDs they
// serve and its four child ports. Plain constant data, read by PortInstaller
// and the console sequences.
#pragma once

#include "platform/platform.h"

// The three INF files, in the order their classes are read at set-up. They
// are read from one folder: the folder inf beside the exe when it holds all
// three, otherwise the inf folder of the Windows directory.
enum InfFile { PortsInf, BaseInf, ProductInf, InfFileCount };

struct InfFileRow {
  const char* fileName;
};

inline constexpr InfFileRow InfFileTable[InfFileCount] = {
    {"qrvports.inf"},
    {"qrvbased.inf"},
    {"7310-zz5.inf"},
};

// The folder of INF files beside the exe, and the Windows directory's.
inline constexpr char kInfFolderName[] = "inf";

struct HardwareIdRow {
  const char* hardwareId;
  InfFile inf;
  DWORD installFlags;
  bool required;  // a failure ends the installation
};

// In installation order: the product function, the base function, the children.
enum { ProductFunctionRow, BaseFunctionRow, HardwareIdCount = 6 };

inline constexpr HardwareIdRow HardwareIdTable[HardwareIdCount] = {
    {"PCI\\VEN_7E21&DEV_0B63&SUBSYS_0B647E21&REV_10", ProductInf, 0, true},
    {"PCI\\VEN_7E21&DEV_0B61&SUBSYS_0B627E21&REV_10", BaseInf, INSTALLFLAG_FORCE, true},
    {"MF\\QRV7310_4z6_MSR", PortsInf, 0, false},
    {"MF\\QRV7310_4z6_VFD", PortsInf, 0, false},
    {"MF\\QRV7310_4z6_TOUCH", PortsInf, 0, false},
    {"MF\\QRV7310_4z6_SERIALC", PortsInf, 0, false},
};

enum ChildPort { MsrPort, VfdPort, TouchScreenPort, SerialPortC, ChildPortCount };

struct ChildPortRow {
  const char* tag;                 // found in the child's device instance ID
  const char* friendlyNameFormat;  // "%s" takes the port name
};

inline constexpr ChildPortRow ChildPortTable[ChildPortCount] = {
    {"CHILD0000", "QRV 7310-zz5 MSR Port (%s)"},
    {"CHILD0001", "QRV 7310-zz5 VFD Port (%s)"},
    {"CHILD0002", "QRV 7310-zz5 Touch Screen (%s)"},
    {"CHILD0003", "QRV 7310-zz5 Serial Port C (%s)"},
};
