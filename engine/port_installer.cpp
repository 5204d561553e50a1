#include "engine/port_installer.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "engine/fixed_text.h"

namespace {

const BYTE* AsBytes(const char* text) { return reinterpret_cast<const BYTE*>(text); }

// The rest of a text that begins with a prefix in any letter case, or null.
// Windows compares device IDs and device names without regard to case.
const char* AfterPrefix(const char* text, const char* prefix) {
  const auto upper = [](char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  };
  for (; *prefix != '\0'; ++prefix, ++text) {
    if (upper(*text) != upper(*prefix)) return nullptr;
  }
  return text;
}

// Whether an instance ID names a device of the given device ID: the ID, then
// a backslash and the instance part.
bool IsInstanceOf(const char* id, const char* deviceId) {
  const char* rest = AfterPrefix(id, deviceId);
  return rest != nullptr && *rest == '\\';
}

// The size of a text with its terminating NUL, which a REG_SZ value's
// size must include ("RegSetValueExA").
DWORD SizeWithTerminator(const char* text) { return static_cast<DWORD>(std::strlen(text)) + 1; }

// Whether two device instance IDs name the same device: Windows compares
// them without regard to case.
bool SameId(const char* a, const char* b) {
  const char* rest = AfterPrefix(a, b);
  return rest != nullptr && *rest == '\0';
}

// Where a run keeps what it owes the next one should it be cut off, below
// HKEY_LOCAL_MACHINE\SOFTWARE, where only administrators and SYSTEM write:
// the COM numbers of ports being removed, given back once they are gone;
// and, in a volatile key, which Windows forgets when it restarts
// ("RegCreateKeyExA": REG_OPTION_VOLATILE), the ports named but not yet
// restarted under their new names.
const char kRecordKey[] = "SOFTWARE\\qrvinst";
const char kReleasesOwed[] = "Releases owed";
const char kRestartsKey[] = "SOFTWARE\\qrvinst\\Restarts owed";

// The COM number of a port name: n for "COM<n>" in any letter case, with n
// from 1 to 4096 written without leading zeros; 0 for any other name.
DWORD ComNumberOf(const char* name) {
  const char* digits = AfterPrefix(name, "COM");
  if (digits == nullptr || *digits < '1' || *digits > '9') return 0;
  DWORD number = 0;
  for (; *digits != '\0'; ++digits) {
    if (*digits < '0' || *digits > '9') return 0;
    number = number * 10 + static_cast<DWORD>(*digits - '0');
    if (number > COMDB_MAX_PORTS_ARBITRATED) return 0;
  }
  return number;
}

// Reads the PortName value in an open key: an empty text when there is
// none or it is no text, "(too long)" (or nothing, where that does not fit
// either) for one that does not fit. False when
// it could not be read.
template <std::size_t N>
bool PortNameIn(HKEY key, char (&name)[N]) {
  name[0] = '\0';
  DWORD type = 0;
  DWORD size = N - 1;  // room for a terminator of our own
  const LONG result =
      RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
  if (result == ERROR_MORE_DATA) {
    FormatInto(name, "%s", "(too long)");  // where that fits; no COM number either way
    return true;
  }
  if (result != ERROR_SUCCESS || type != REG_SZ) {
    name[0] = '\0';
    return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
  }
  name[size] = '\0';  // a text stored without its terminator
  return true;
}

}  // namespace

// The setup API checks the record's size against its own layout, which
// differs between 32-bit and 64-bit programs.
static_assert(sizeof(void*) != 4 || sizeof(SP_DEVINFO_DATA) == 28,
              "device record as on 32-bit Windows");
static_assert(sizeof(void*) != 4 || sizeof(SP_DEVINSTALL_PARAMS_A) == 296,
              "install parameters as on 32-bit Windows");

PortInstaller::PortInstaller()
    : portDevices(nullptr),
      portsClass(),
      productClass(),
      baseClass(),
      deviceRecord(),
      windowsDir(),
      infFolder(),
      infSource(InfSource::None),
      exeFolderTooLong(false),
      className(),
      classNameSize(kClassNameSize),
      instanceId(),
      instanceIdSize(kInstanceIdSize),
      classRead(),
      portNamesRead(false),
      portNamesUnknown(false),
      comNumberHolders(),
      otherHolder(),
      census(nullptr),
      cardPortNames(),
      cardPortCount(0),
      releasesKey(nullptr),
      restartsKey(nullptr),
      releasesOwed(),
      comDatabase(HCOMDB_INVALID_HANDLE_VALUE),
      comDatabaseMisses(0),
      driversAlreadyCurrent(false),
      installFault(InstallFault::None),
      missingInf(PortsInf),
      removalNeedsRestart(false) {
  deviceRecord.cbSize = sizeof(SP_DEVINFO_DATA);

  // A directory that does not fit is left empty rather than cut short: no
  // INF path is ever built from part of it.
  const UINT length = GetWindowsDirectoryA(windowsDir, kWindowsDirSize);
  if (length == 0 || length >= kWindowsDirSize) {
    std::memset(windowsDir, 0, sizeof windowsDir);
  }

  ChooseInfFolder();
  ResolveInfClasses();
  OpenPortDeviceSet();
}

// Device information sets stay open until the process ends; the COM port
// database, shared by the whole system, and the records' keys do not.
PortInstaller::~PortInstaller() {
  CloseComDatabase();
  CloseRecordKeys();
}

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

// The INF files come from the folder inf beside the running exe when it
// holds all three, all from there; otherwise all three from the Windows
// directory's. The exe's folder is the one Windows started it from, never
// the current folder.
void PortInstaller::ChooseInfFolder() {
  char exe[kPathSize] = "";
  // A path that does not fit is cut short, and its length is then the
  // buffer's ("GetModuleFileNameA").
  const DWORD length = GetModuleFileNameA(nullptr, exe, kPathSize);
  char* slash = length > 0 && length < kPathSize ? std::strrchr(exe, '\\') : nullptr;
  if (length >= kPathSize) exeFolderTooLong = true;
  if (slash != nullptr) {
    slash[1] = '\0';
    if (!FormatInto(infFolder, "%s%s", exe, kInfFolderName)) {
      exeFolderTooLong = true;
    } else if (HoldsInfFiles()) {
      infSource = InfSource::BesideExe;
      return;
    }
  }
  // A Windows directory that did not fit is empty: no INF path is ever
  // built from part of it.
  if (windowsDir[0] != '\0' && FormatInto(infFolder, "%s\\%s", windowsDir, kInfFolderName)) {
    infSource = InfSource::Windows;
  } else {
    infFolder[0] = '\0';
    infSource = InfSource::None;
  }
}

// Whether infFolder holds the three INF files, each as a file.
bool PortInstaller::HoldsInfFiles() {
  for (int i = 0; i < InfFileCount; ++i) {
    char path[kPathSize];
    if (!FormatInfPath(static_cast<InfFile>(i), path)) {
      exeFolderTooLong = true;
      return false;
    }
    if (!IsFile(path)) return false;
  }
  return true;
}

bool PortInstaller::IsFile(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool PortInstaller::FormatInfPath(InfFile inf, char (&path)[kPathSize]) const {
  if (infFolder[0] == '\0') {
    path[0] = '\0';
    return false;
  }
  return FormatInto(path, "%s\\%s", infFolder, InfFileTable[inf].fileName);
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
  portDevices = OpenClassSet(PortsInf);
  return 0;
}

// The present devices of an INF's class. Without the class there is no set
// (null): an unread class could name unrelated devices.
HDEVINFO PortInstaller::OpenClassSet(InfFile inf) {
  if (!classRead[inf]) return nullptr;
  return SetupDiGetClassDevsA(ClassOf(inf), nullptr, nullptr, DIGCF_PRESENT);
}

int PortInstaller::InstallDrivers(BOOL* rebootRequired, bool interactive) {
  if (rebootRequired != nullptr) *rebootRequired = FALSE;
  driversAlreadyCurrent = true;
  installFault = InstallFault::None;
  for (const HardwareIdRow& row : HardwareIdTable) {
    const bool forced = (row.installFlags & INSTALLFLAG_FORCE) != 0;
    char path[kPathSize];
    if (!FormatInfPath(row.inf, path)) {
      driversAlreadyCurrent = false;
      if (!row.required) continue;
      installFault = InstallFault::WindowsDirectoryLong;
      return ERROR_BUFFER_OVERFLOW;
    }
    const DWORD flags = row.installFlags | (interactive ? 0 : INSTALLFLAG_NONINTERACTIVE);
    BOOL restart = FALSE;
    if (UpdateDriverForPlugAndPlayDevicesA(nullptr, row.hardwareId, path, flags,
                                           rebootRequired != nullptr ? &restart : nullptr) ==
        TRUE) {
      // Only a call that worked says anything about a restart.
      if (rebootRequired != nullptr && restart != FALSE) *rebootRequired = TRUE;
      if (!forced) driversAlreadyCurrent = false;
      continue;
    }
    const DWORD error = GetLastError();
    InstallFault fault =
        error != ERROR_SUCCESS ? InstallFault::WindowsError : InstallFault::NoErrorCode;
    // Windows' answer when the INF's driver is no better than the one the
    // devices have: this one already, or a newer one, which stays. It is
    // the same when the INF has no driver for them at all, so it counts
    // only for devices that run a driver.
    if (error == ERROR_NO_MORE_ITEMS && !forced) {
      if (RowHasDriver(row)) continue;
      fault = InstallFault::NoDriverInInf;
    }
    driversAlreadyCurrent = false;
    if (!row.required) continue;
    // Windows' "file not found" may be of a file the INF names; only the
    // INF itself missing is told as such.
    if ((error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) && !IsFile(path)) {
      fault = InstallFault::InfMissing;
      missingInf = row.inf;
    }
    installFault = fault;
    // A failure is never reported as success, even if the platform left no
    // error code.
    return error != ERROR_SUCCESS ? static_cast<int>(error) : 1;
  }
  return 0;
}

// Whether some present device has the row's hardware ID, and each such
// device runs a driver. The devices are found among those of every class,
// by their hardware IDs: whatever INF classes set-up could read.
bool PortInstaller::RowHasDriver(const HardwareIdRow& row) {
  HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
  bool found = false;
  for (DWORD index = 0; NextDevice(set, index); ++index) {
    if (!HasHardwareId(set, row.hardwareId)) continue;
    found = true;
    if (!RunsDriver(set)) return false;
  }
  return found;
}

// Whether the device in deviceRecord has the hardware ID among its own, a
// REG_MULTI_SZ list ("SetupDiGetDeviceRegistryProperty"); a list too long to
// read is taken for none.
bool PortInstaller::HasHardwareId(HDEVINFO set, const char* hardwareId) {
  char ids[1024] = {};
  if (SetupDiGetDeviceRegistryPropertyA(set, &deviceRecord, SPDRP_HARDWAREID, nullptr,
                                        reinterpret_cast<BYTE*>(ids), sizeof ids - 2,
                                        nullptr) != TRUE) {
    return false;
  }
  for (const char* id = ids; *id != '\0'; id += std::strlen(id) + 1) {
    if (SameId(id, hardwareId)) return true;
  }
  return false;
}

// Whether the device in deviceRecord runs a driver: its driver key is set.
bool PortInstaller::RunsDriver(HDEVINFO set) {
  char key[64];  // "{class GUID}\\nnnn" has 43 characters
  return SetupDiGetDeviceRegistryPropertyA(set, &deviceRecord, SPDRP_DRIVER, nullptr,
                                           reinterpret_cast<BYTE*>(key), sizeof key,
                                           nullptr) == TRUE ||
         GetLastError() == ERROR_INSUFFICIENT_BUFFER;
}

bool PortInstaller::NextDevice(HDEVINFO set, DWORD index) {
  return set != nullptr && set != INVALID_HANDLE_VALUE &&
         SetupDiEnumDeviceInfo(set, index, &deviceRecord) == TRUE;
}

// An ID that cannot be read whole leaves instanceId empty, so the device is
// never matched: neither the previous device's ID nor a cut-off text is
// ever taken for its own.
bool PortInstaller::ReadInstanceId(HDEVINFO set) {
  if (SetupDiGetDeviceInstanceIdA(set, &deviceRecord, instanceId, instanceIdSize, nullptr) ==
      TRUE) {
    return true;
  }
  std::memset(instanceId, 0, sizeof instanceId);
  return false;
}

int PortInstaller::ReassignChildPort(ChildPort child, const char* portName, ChildPorts* ports) {
  const ChildPortRow& row = ChildPortTable[child];
  ChildPorts none{};
  if (ports == nullptr) ports = &none;
  *ports = {};
  // Both names are built in instanceId. One that would not fit fails the
  // step before anything is written; the friendly name is the longer.
  if (!FormatInto(instanceId, row.friendlyNameFormat, portName)) return 1;
  ReadPortNames();
  const DWORD number = ComNumberOf(portName);

  for (DWORD index = 0; NextDevice(portDevices, index); ++index) {
    if (!ReadInstanceId(portDevices) || !IsChildPort(row.tag)) continue;
    ++ports->found;
    // Only one of two ports of the same name can have it when they start.
    // The card's own present ports may trade names.
    if (otherHolder[number] != 0) {
      DescribeHolder(number, *ports);
      return 1;
    }
    CardPortName* walked = FindCardPort();
    // The ID outlasts instanceId, which takes the names.
    char id[kInstanceIdSize];
    FormatInto(id, "%s", instanceId);

    // The port's hardware key, opened the way Windows documents, for what
    // naming needs and no more ("Opening a device's hardware key": never
    // directly, and never with KEY_ALL_ACCESS).
    const HKEY key = SetupDiOpenDevRegKey(portDevices, &deviceRecord, DICS_FLAG_GLOBAL, 0,
                                          DIREG_DEV, KEY_QUERY_VALUE | KEY_SET_VALUE);
    if (key == static_cast<HKEY>(INVALID_HANDLE_VALUE)) return 1;
    // The numbers before the name: a run cut off in between leaves the
    // port with its old name, and the next run renames it again, finding
    // the new number claimed already (as a claim wants it) and the old one
    // released already. The name written first would leave the old number
    // claimed by nobody, for good.
    const NumberChange change = BeginNumberChange(walked, number);
    // Until the renamed port has restarted under its new name, the next run
    // is to restart it: a run cut off after the name is written, or whose
    // port could not be restarted, leaves that owed, until Windows restarts.
    const bool restartOwed = change.changed || RestartOwed(id);
    if (change.changed) OweRestart(id, portName);
    FormatInto(instanceId, "%s", portName);
    const LONG written = RegSetValueExA(key, "PortName", 0, REG_SZ, AsBytes(instanceId),
                                        SizeWithTerminator(instanceId));
    RegCloseKey(key);
    if (written != ERROR_SUCCESS) {
      UndoNumberChange(change);
      if (change.changed) OweRestart(id, nullptr);
      return 1;
    }
    FormatInto(instanceId, row.friendlyNameFormat, portName);
    SetupDiSetDeviceRegistryPropertyA(portDevices, &deviceRecord, SPDRP_FRIENDLYNAME,
                                      AsBytes(instanceId), SizeWithTerminator(instanceId));
    FinishNumberChange(walked, change);
    if (change.changed) ++ports->renamed;
    // A port that kept its name, and owes no restart, is left running.
    if (restartOwed) {
      if (RestartPort()) {
        OweRestart(id, nullptr);
      } else {
        ++ports->notRestarted;
      }
    }
  }
  return 0;
}

// Restarts the port in deviceRecord the documented way, as Device Manager
// does when a port's number changes: the serial driver reads PortName when
// it starts the port. False when the new name takes effect only when
// Windows restarts: the restart failed, or the port could not be stopped
// (an application holds it open), which Windows tells in the install
// parameters of the element or of the set.
bool PortInstaller::RestartPort() {
  SP_PROPCHANGE_PARAMS change{};
  change.ClassInstallHeader.cbSize = sizeof change.ClassInstallHeader;
  change.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
  change.StateChange = DICS_PROPCHANGE;
  change.Scope = DICS_FLAG_CONFIGSPECIFIC;
  change.HwProfile = 0;  // the current hardware profile
  // The set's flags stay set once a port asked for the restart.
  const bool setAskedBefore = NeedsRestart(portDevices, nullptr);
  return SetupDiSetClassInstallParamsA(portDevices, &deviceRecord, &change.ClassInstallHeader,
                                       sizeof change) == TRUE &&
         SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, portDevices, &deviceRecord) == TRUE &&
         !NeedsRestart(portDevices, &deviceRecord) &&
         (setAskedBefore || !NeedsRestart(portDevices, nullptr));
}

// Names the device that holds a number, other than a present port of the
// card, its setup class and whether it is plugged in.
void PortInstaller::DescribeHolder(DWORD number, ChildPorts& ports) {
  const DWORD holder = otherHolder[number];
  ports.holderPresence = (holder & kHolderUnplugged) != 0         ? Presence::Unplugged
                         : (holder & kHolderPresenceUnknown) != 0 ? Presence::Unknown
                                                                  : Presence::Plugged;
  if (!NextDevice(census, (holder & kHolderIndex) - 1)) return;
  if (ReadInstanceId(census)) FormatInto(ports.holder, "%s", instanceId);
  if (SetupDiGetDeviceRegistryPropertyA(census, &deviceRecord, SPDRP_CLASS, nullptr,
                                        reinterpret_cast<BYTE*>(ports.holderClass),
                                        sizeof ports.holderClass - 1, nullptr) != TRUE) {
    ports.holderClass[0] = '\0';
  }
}

int PortInstaller::RemoveChildDevices() {
  // Read before any removal takes a port's key with it.
  ReadPortNames();
  for (DWORD index = 0; NextDevice(portDevices, index); ++index) {
    if (!ReadInstanceId(portDevices)) continue;
    CardPortName* walked = FindCardPort();
    const DWORD number = walked != nullptr && walked->known ? walked->number : 0;
    for (const ChildPortRow& row : ChildPortTable) {
      if (!IsChildPort(row.tag)) continue;
      // Owed before the removal: a run cut off after it leaves the port
      // gone, and only this record tells the next run to give its number
      // back. Settled once the number is given back, or kept by another
      // device.
      OweRelease(number, true);
      const DWORD misses = comDatabaseMisses;
      if (RemoveDevice(portDevices)) FinishNumberChange(walked, BeginNumberChange(walked, 0));
      if (comDatabaseMisses == misses) OweRelease(number, false);
    }
  }
  ForgetRecords();
  return 0;
}

int PortInstaller::RemoveParentDevices() {
  const Removal product = RemoveCardFunction(ProductInf);
  if (product == Removal::Failed) return 1;
  // The base function goes also where the product function is gone: a run
  // cut off between the two removals left it, and it is the card's by its
  // hardware ID alone.
  return RemoveCardFunction(BaseInf) == Removal::Done && product == Removal::Done ? 0 : 1;
}

// Whether instanceId names one of the card's child ports that carries the
// tag: an instance of one of the card's four child device IDs, with the tag
// anywhere in it. The ports of other multifunction cards carry the same
// tags, which their bus driver gives every child.
bool PortInstaller::IsChildPort(const char* tag) const {
  return std::strstr(instanceId, tag) != nullptr &&
         std::any_of(std::begin(HardwareIdTable), std::end(HardwareIdTable),
                     [this](const HardwareIdRow& row) {
                       return row.inf == PortsInf && IsInstanceOf(instanceId, row.hardwareId);
                     });
}

// Whether instanceId names one of the card's devices in the INF's class: a
// child port as IsChildPort finds it, a function by its device ID. The
// classes may be shared with other products' devices.
bool PortInstaller::IsCardDevice(InfFile inf) const {
  if (inf == PortsInf) {
    return std::any_of(std::begin(ChildPortTable), std::end(ChildPortTable),
                       [this](const ChildPortRow& row) { return IsChildPort(row.tag); });
  }
  const int function = inf == ProductInf ? ProductFunctionRow : BaseFunctionRow;
  return IsInstanceOf(instanceId, HardwareIdTable[function].hardwareId);
}

// Removes the first present device of the INF's class that is this card's
// function, and not one already waiting for the restart to go; other
// products' devices are left alone.
PortInstaller::Removal PortInstaller::RemoveCardFunction(InfFile inf) {
  HDEVINFO set = OpenClassSet(inf);
  for (DWORD index = 0; NextDevice(set, index); ++index) {
    if (ReadInstanceId(set) && IsCardDevice(inf) && !RemovalPending()) {
      return RemoveDevice(set) ? Removal::Done : Removal::Failed;
    }
  }
  return Removal::NoneFound;
}

// Removes the device in deviceRecord: true when it was. One that Windows
// can only stop at the next restart counts as removed, and notes that the
// restart is needed. The removal goes through the class installer, as an
// application's must ("SetupDiRemoveDevice": only a class installer should
// call it; "Using SetupAPI to uninstall devices and driver packages"):
// DIF_REMOVE without class install parameters removes the device from the
// system as a whole ("DIF_REMOVE"), after the class installer and any
// co-installers have done their part.
bool PortInstaller::RemoveDevice(HDEVINFO set) {
  if (SetupDiCallClassInstaller(DIF_REMOVE, set, &deviceRecord) != TRUE) return false;
  // Windows asks for the restart in the install parameters of the set, and
  // may do so in those of the element.
  if (NeedsRestart(set, &deviceRecord) || NeedsRestart(set, nullptr)) removalNeedsRestart = true;
  return true;
}

// Whether the install parameters of an element, or of the whole set when
// there is no record, ask for a restart.
bool PortInstaller::NeedsRestart(HDEVINFO set, PSP_DEVINFO_DATA record) {
  SP_DEVINSTALL_PARAMS_A params{};
  params.cbSize = sizeof params;
  return SetupDiGetDeviceInstallParamsA(set, record, &params) == TRUE &&
         (params.Flags & (DI_NEEDREBOOT | DI_NEEDRESTART)) != 0;
}

// Whether the device in deviceRecord waits for the restart to be removed:
// Windows lists it until then, with the problem CM_PROB_WILL_BE_REMOVED.
bool PortInstaller::RemovalPending() const {
  ULONG status = 0;
  ULONG problem = 0;
  return CM_Get_DevNode_Status(&status, &problem, deviceRecord.DevInst, 0) == CR_SUCCESS &&
         (status & DN_HAS_PROBLEM) != 0 && problem == CM_PROB_WILL_BE_REMOVED;
}

int PortInstaller::CountCardDevices(DWORD& count, DWORD* pending) {
  count = 0;
  if (pending != nullptr) *pending = 0;
  int result = 0;
  for (int i = 0; i < InfFileCount; ++i) {
    const InfFile inf = static_cast<InfFile>(i);
    HDEVINFO set = OpenClassSet(inf);
    if (set == nullptr || set == INVALID_HANDLE_VALUE) {
      result = 1;
      continue;
    }
    for (DWORD index = 0; NextDevice(set, index); ++index) {
      if (!ReadInstanceId(set) || !IsCardDevice(inf)) continue;
      ++count;
      if (pending != nullptr && RemovalPending()) ++*pending;
    }
  }
  return result;
}

int PortInstaller::CheckFunction(InfFile inf, DeviceCheck& check) {
  return CheckDevices(inf, nullptr, nullptr, check);
}

int PortInstaller::CheckChildPort(ChildPort child, const char* portName, DeviceCheck& check) {
  return CheckDevices(PortsInf, &ChildPortTable[child], portName, check);
}

// Looks at the card's present devices of the INF's class, all of them or
// the ports with a child's tag, in a fresh set, as CountCardDevices finds
// them; reads and changes nothing else.
int PortInstaller::CheckDevices(InfFile inf, const ChildPortRow* port, const char* portName,
                                DeviceCheck& check) {
  check = {};
  HDEVINFO set = OpenClassSet(inf);
  if (set == nullptr || set == INVALID_HANDLE_VALUE) return 1;
  for (DWORD index = 0; NextDevice(set, index); ++index) {
    if (!ReadInstanceId(set) || !(port != nullptr ? IsChildPort(port->tag) : IsCardDevice(inf))) {
      continue;
    }
    ++check.present;
    if (RunsDriver(set)) ++check.withDriver;
    if (port == nullptr) continue;
    char name[sizeof check.otherName];
    if (!ReadPortName(set, name)) FormatInto(name, "%s", "(unreadable)");
    // Windows compares device names without regard to case.
    if (name[0] != '\0' && ComNumberOf(name) == ComNumberOf(portName)) {
      ++check.named;
    } else if (check.otherName[0] == '\0') {
      FormatInto(check.otherName, "%s", name[0] != '\0' ? name : "(none)");
    }
  }
  return 0;
}

// Reads the PortName the device in deviceRecord holds in its hardware key:
// empty when it has none. False when its name could not be read.
template <std::size_t N>
bool PortInstaller::ReadPortName(HDEVINFO set, char (&name)[N]) {
  name[0] = '\0';
  const HKEY key =
      SetupDiOpenDevRegKey(set, &deviceRecord, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
  if (key == static_cast<HKEY>(INVALID_HANDLE_VALUE)) {
    // A port without the key has no name yet.
    const DWORD error = GetLastError();
    return error == ERROR_KEY_DOES_NOT_EXIST || error == ERROR_FILE_NOT_FOUND;
  }
  const bool read = PortNameIn(key, name);
  RegCloseKey(key);
  return read;
}

// Reads the COM number the device in deviceRecord holds: 0 when it has
// none, or its name is no COM number. False when its name could not be read.
bool PortInstaller::ReadComNumber(HDEVINFO set, DWORD& number) {
  char name[9];  // "COM4096", its terminator, and room for one of our own
  const bool read = ReadPortName(set, name);
  number = ComNumberOf(name);
  return read;
}

// Reads the name of every device once, before any is changed: the cost is
// one read per device, however many rows run. COM names are held by
// devices of every class: ports, modems, a virtual COM port driver's ports,
// Bluetooth serial links ("Configuration of COM ports"). Windows keeps a
// device that is not plugged in, with its name and its claim in the COM
// port database: a USB serial adapter that is unplugged, or the card's own
// ports left behind when the card moved to another slot. Such a device
// holds its name as much as a present one does.
void PortInstaller::ReadPortNames() {
  if (portNamesRead) return;
  portNamesRead = true;
  // Without the snapshot no port of the card is named or removed.
  if (portDevices == nullptr || portDevices == INVALID_HANDLE_VALUE) return;
  census = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
  for (DWORD index = 0; NextDevice(census, index); ++index) {
    const Presence presence = PresenceOfDevice();
    if (presence == Presence::Unknown) portNamesUnknown = true;
    // A device whose ID cannot be read is not known to be the card's.
    const bool cardPort =
        presence == Presence::Plugged && ReadInstanceId(census) && IsCardDevice(PortsInf);
    DWORD number = 0;
    const bool known = ReadComNumber(census, number);
    if (!known) portNamesUnknown = true;
    if (cardPort) {
      if (cardPortCount < kMaxCardPorts) {
        CardPortName& entry = cardPortNames[cardPortCount++];
        FormatInto(entry.instanceId, "%s", instanceId);
        entry.number = number;
        entry.known = known;
      } else {
        portNamesUnknown = true;
      }
    }
    if (number == 0) continue;
    ++comNumberHolders[number];
    if (!cardPort && otherHolder[number] == 0) {
      otherHolder[number] = (index + 1) | (presence == Presence::Unplugged ? kHolderUnplugged
                                           : presence == Presence::Unknown ? kHolderPresenceUnknown
                                                                           : 0);
    }
  }
  // A walk that broke off has not seen every device.
  if (census == nullptr || census == INVALID_HANDLE_VALUE ||
      GetLastError() != ERROR_NO_MORE_ITEMS) {
    portNamesUnknown = true;
  }
  SettleOwedReleases();
}

// Opens the key of the releases owed, or of the restarts owed, making it
// where asked to; null when it cannot be had.
HKEY PortInstaller::RecordKey(bool restarts, bool create) {
  HKEY& key = restarts ? restartsKey : releasesKey;
  if (key != nullptr) return key;
  const char* path = restarts ? kRestartsKey : kRecordKey;
  HKEY opened = nullptr;
  LONG result =
      RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &opened);
  if (result == ERROR_FILE_NOT_FOUND && create) {
    // The restarts' key lies below the releases', which outlasts a restart:
    // made first, or it would be made volatile too.
    HKEY parent = nullptr;
    if (restarts &&
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, kRecordKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_QUERY_VALUE, nullptr, &parent, nullptr) == ERROR_SUCCESS) {
      RegCloseKey(parent);
    }
    result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr,
                             restarts ? REG_OPTION_VOLATILE : REG_OPTION_NON_VOLATILE,
                             KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &opened, nullptr);
  }
  if (result != ERROR_SUCCESS) return nullptr;
  key = opened;
  return key;
}

void PortInstaller::CloseRecordKeys() {
  for (HKEY* key : {&releasesKey, &restartsKey}) {
    if (*key != nullptr) RegCloseKey(*key);
    *key = nullptr;
  }
}

// Records that a port, by its instance ID, is named portName but has not
// restarted under it, or with null that it has.
void PortInstaller::OweRestart(const char* id, const char* portName) {
  const HKEY key = RecordKey(true, portName != nullptr);
  if (key == nullptr) return;
  if (portName != nullptr) {
    RegSetValueExA(key, id, 0, REG_SZ, AsBytes(portName), SizeWithTerminator(portName));
  } else {
    RegDeleteValueA(key, id);
  }
}

bool PortInstaller::RestartOwed(const char* id) {
  const HKEY key = RecordKey(true, false);
  return key != nullptr &&
         RegQueryValueExA(key, id, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

// Records, or settles, that a number is to be given back once its port is
// gone: a bit each, from bit 0 of the first byte for COM1.
void PortInstaller::OweRelease(DWORD number, bool owed) {
  if (number == 0) return;
  BYTE& bits = releasesOwed[(number - 1) / 8];
  const BYTE bit = static_cast<BYTE>(1U << ((number - 1) % 8));
  if (((bits & bit) != 0) == owed) return;
  bits = static_cast<BYTE>(owed ? bits | bit : bits & ~bit);
  WriteOwedReleases();
}

void PortInstaller::WriteOwedReleases() {
  DWORD size = sizeof releasesOwed;
  while (size > 0 && releasesOwed[size - 1] == 0) --size;
  const HKEY key = RecordKey(false, size != 0);
  if (key == nullptr) return;
  if (size == 0) {
    RegDeleteValueA(key, kReleasesOwed);
  } else {
    RegSetValueExA(key, kReleasesOwed, 0, REG_BINARY, releasesOwed, size);
  }
}

// Gives back what a run that was cut off owed: each number of a port it
// removed that no device holds now, if it is still claimed. A number that
// some device holds is not the program's to give back.
void PortInstaller::SettleOwedReleases() {
  const HKEY key = RecordKey(false, false);
  if (key == nullptr) return;
  DWORD type = 0;
  DWORD size = sizeof releasesOwed;
  if (RegQueryValueExA(key, kReleasesOwed, nullptr, &type, releasesOwed, &size) != ERROR_SUCCESS ||
      type != REG_BINARY) {
    std::memset(releasesOwed, 0, sizeof releasesOwed);
    return;
  }
  bool changed = false;
  for (DWORD number = 1; number <= kComNumberCount; ++number) {
    BYTE& bits = releasesOwed[(number - 1) / 8];
    const BYTE bit = static_cast<BYTE>(1U << ((number - 1) % 8));
    if ((bits & bit) == 0) continue;
    const DWORD misses = comDatabaseMisses;
    if (comNumberHolders[number] == 0) ReleaseComNumber(number);
    // One that could not be given back yet stays owed.
    if (comDatabaseMisses != misses) continue;
    bits = static_cast<BYTE>(bits & ~bit);
    changed = true;
  }
  if (changed) WriteOwedReleases();
}

// Once the card's ports are removed and nothing is owed, no record is left.
void PortInstaller::ForgetRecords() {
  if (std::any_of(std::begin(releasesOwed), std::end(releasesOwed),
                  [](BYTE bits) { return bits != 0; })) {
    return;
  }
  CloseRecordKeys();
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, kRestartsKey);
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, kRecordKey);
}

// Whether the device in deviceRecord is plugged in. Windows knows no device
// node of a device that is not present: its status read gives
// CR_NO_SUCH_DEVINST, or CR_NO_SUCH_VALUE, which Microsoft's own device
// console counts as not present too.
PortInstaller::Presence PortInstaller::PresenceOfDevice() const {
  ULONG status = 0;
  ULONG problem = 0;
  switch (CM_Get_DevNode_Status(&status, &problem, deviceRecord.DevInst, 0)) {
    case CR_SUCCESS:
      return Presence::Plugged;
    case CR_NO_SUCH_DEVINST:
    case CR_NO_SUCH_VALUE:
      return Presence::Unplugged;
    default:
      return Presence::Unknown;
  }
}

// What the walk read of the card's present port whose instance ID is in
// instanceId; null for one it did not read.
PortInstaller::CardPortName* PortInstaller::FindCardPort() {
  for (DWORD i = 0; i < cardPortCount; ++i) {
    if (SameId(cardPortNames[i].instanceId, instanceId)) return &cardPortNames[i];
  }
  return nullptr;
}

// A port of the card, as the walk read it, goes from the number the walk
// read to another (0 for none, as when it was removed): the new number is
// claimed and the old one released once no device holds it. Nothing is
// released while some device's name is unknown, and a number that stays
// claimed for that reason counts as a miss. A removed port's number that
// another device still holds stays claimed. The change tells whether the
// port held another number, or one that could not be read.
PortInstaller::NumberChange PortInstaller::BeginNumberChange(const CardPortName* walked, DWORD to) {
  NumberChange change{};
  change.to = to;
  change.from = walked != nullptr && walked->known ? walked->number : 0;
  change.changed = walked == nullptr || !walked->known || change.from != to;
  if (to != 0) {
    if (change.from != to) ++comNumberHolders[to];
    // A number in use already, by this port or another of the same name,
    // is as a claim wants it.
    const LONG claim = comDatabase == HCOMDB_INVALID_HANDLE_VALUE
                           ? static_cast<LONG>(ERROR_INVALID_HANDLE)
                           : ComDBClaimPort(comDatabase, to, FALSE, nullptr);
    change.claimed = claim == ERROR_SUCCESS;
    if (claim != ERROR_SUCCESS && claim != static_cast<LONG>(ERROR_SHARING_VIOLATION)) {
      ++comDatabaseMisses;
    }
  }
  if (walked == nullptr || !walked->known) {
    // Whatever the port held may now be held by nobody.
    ++comDatabaseMisses;
  } else if (change.from != 0 && change.from != to) {
    if (comNumberHolders[change.from] > 0) --comNumberHolders[change.from];
    if (comNumberHolders[change.from] == 0) {
      change.released = ReleaseComNumber(change.from);
    } else if (to == 0) {
      KeepClaimed(change.from);
    }
  }
  return change;
}

// Puts the numbers back as they were before a change whose name could not
// be written.
void PortInstaller::UndoNumberChange(const NumberChange& change) {
  if (change.from == change.to) return;
  if (change.to != 0) {
    if (comNumberHolders[change.to] > 0) --comNumberHolders[change.to];
    if (change.claimed && ComDBReleasePort(comDatabase, change.to) != ERROR_SUCCESS) {
      ++comDatabaseMisses;
    }
  }
  if (change.from != 0) {
    ++comNumberHolders[change.from];
    if (change.released &&
        ComDBClaimPort(comDatabase, change.from, FALSE, nullptr) != ERROR_SUCCESS) {
      ++comDatabaseMisses;
    }
  }
}

// The walk's reading of the port follows the change once it is done.
void PortInstaller::FinishNumberChange(CardPortName* walked, const NumberChange& change) {
  if (walked == nullptr) return;
  walked->number = change.to;
  walked->known = true;
}

// Whether the database holds a claim of the number; false when it could not
// be read ("ComDBGetCurrentPortUsage": a bit each, from bit 0 of the first
// byte for COM1, for as many numbers as it reports).
bool PortInstaller::ReadClaim(DWORD number, bool& claimed) {
  BYTE usage[kComNumberCount / 8] = {};
  DWORD reported = 0;
  if (portNamesUnknown || comDatabase == HCOMDB_INVALID_HANDLE_VALUE ||
      ComDBGetCurrentPortUsage(comDatabase, usage, sizeof usage, CDB_REPORT_BITS, &reported) !=
          ERROR_SUCCESS) {
    ++comDatabaseMisses;
    return false;
  }
  // A number beyond the database's size is claimed by nobody.
  claimed = number <= reported && (usage[(number - 1) / 8] & (1U << ((number - 1) % 8))) != 0;
  return true;
}

// A removed port's number that another device still holds stays claimed:
// the class installer, which knows only the port it removes, may have given
// it back.
void PortInstaller::KeepClaimed(DWORD number) {
  bool claimed = false;
  if (ReadClaim(number, claimed) && !claimed &&
      ComDBClaimPort(comDatabase, number, FALSE, nullptr) != ERROR_SUCCESS) {
    ++comDatabaseMisses;
  }
}

// Releases a number that no device holds any more, if it is still claimed:
// the Ports class installer gives a removed port's number back itself (a
// removal through it "unregisters" the port's COM number: "COM Ports Are
// Not Released When You Remove a Multi-Port Serial Controller", KB 271523),
// and a number is released once, never after another device claimed it.
// The database says which numbers are claimed ("ComDBGetCurrentPortUsage").
// True when this call released it.
bool PortInstaller::ReleaseComNumber(DWORD number) {
  bool claimed = false;
  if (!ReadClaim(number, claimed) || !claimed) return false;
  if (ComDBReleasePort(comDatabase, number) == ERROR_SUCCESS) return true;
  ++comDatabaseMisses;
  return false;
}

int PortInstaller::OpenComDatabase() {
  if (comDatabase != HCOMDB_INVALID_HANDLE_VALUE) return 0;
  if (ComDBOpen(&comDatabase) == ERROR_SUCCESS) return 0;
  comDatabase = HCOMDB_INVALID_HANDLE_VALUE;
  return 1;
}

void PortInstaller::CloseComDatabase() {
  if (comDatabase == HCOMDB_INVALID_HANDLE_VALUE) return;
  ComDBClose(comDatabase);
  comDatabase = HCOMDB_INVALID_HANDLE_VALUE;
}
