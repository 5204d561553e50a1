#include "engine/port_installer.h"

#include <cstdio>
#include <cstring>

namespace {

// Formats a text with one string argument into a fixed buffer. A text that
// would not fit whole is never handed on: the buffer is emptied and the
// result is false.
template <std::size_t N>
bool FormatInto(char (&buffer)[N], const char* format, const char* argument) {
  const int length = std::snprintf(buffer, N, format, argument);
  if (length < 0 || static_cast<std::size_t>(length) >= N) {
    buffer[0] = '\0';
    return false;
  }
  return true;
}

}  // namespace

static_assert(sizeof(SP_DEVINFO_DATA) == 28, "device record as on 32-bit Windows");

PortInstaller::PortInstaller()
    : portDevices(nullptr),
      portsClass(),
      productClass(),
      baseClass(),
      deviceRecord(),
      windowsDir(),
      className(),
      classNameSize(kClassNameSize),
      instanceId(),
      instanceIdSize(kInstanceIdSize),
      classRead() {
  deviceRecord.cbSize = kDeviceRecordSize;

  // A directory that does not fit is left empty rather than cut short: no
  // INF path is ever built from part of it.
  const UINT length = GetWindowsDirectoryA(windowsDir, kWindowsDirSize);
  if (length == 0 || length >= kWindowsDirSize) {
    std::memset(windowsDir, 0, sizeof windowsDir);
  }

  ResolveInfClasses();
  OpenPortDeviceSet();
}

// Device information sets stay open until the process ends.
PortInstaller::~PortInstaller() = default;

GUID* PortInstaller::ClassOf(InfFile inf) {
  switch (inf) {
    case PortsInf:
      return &portsClass;
    case BaseInf:
      return &baseClass;
    case ProductInf:
    case InfFileCount:
      break;
  }
  return &productClass;
}

bool PortInstaller::FormatInfPath(InfFile inf, char (&path)[kPathSize]) const {
  if (windowsDir[0] == '\0') {
    path[0] = '\0';
    return false;
  }
  return FormatInto(path, InfFileTable[inf].pathFormat, windowsDir);
}

int PortInstaller::ResolveInfClasses() {
  for (int i = 0; i < InfFileCount; ++i) {
    const InfFile inf = static_cast<InfFile>(i);
    char path[kPathSize];
    if (!FormatInfPath(inf, path) ||
        SetupDiGetINFClassA(path, ClassOf(inf), className, classNameSize, nullptr) != TRUE) {
      return 1;
    }
    classRead[inf] = true;
  }
  return 0;
}

int PortInstaller::OpenPortDeviceSet() {
  // Without the ports class the snapshot stays empty: an unread class could
  // name unrelated devices.
  if (classRead[PortsInf]) {
    portDevices = SetupDiGetClassDevsA(&portsClass, nullptr, nullptr, DIGCF_PRESENT);
  }
  return 0;
}

int PortInstaller::InstallDrivers() {
  for (const HardwareIdRow& row : HardwareIdTable) {
    char path[kPathSize];
    if (!FormatInfPath(row.inf, path)) {
      if (row.required) return ERROR_BUFFER_OVERFLOW;
      continue;
    }
    if (UpdateDriverForPlugAndPlayDevicesA(nullptr, row.hardwareId, path, row.installFlags,
                                           nullptr) != TRUE &&
        row.required) {
      // A failure is never reported as success, even if the platform left
      // no error code.
      const DWORD error = GetLastError();
      return error != ERROR_SUCCESS ? static_cast<int>(error) : 1;
    }
  }
  return 0;
}
