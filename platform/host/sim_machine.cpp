#include "platform/host/sim_machine.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>

namespace sim {
namespace {

std::unique_ptr<Machine>& Instance() {
  static std::unique_ptr<Machine> machine = std::make_unique<Machine>();
  return machine;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The Ports (COM & LPT) setup class, GUID_DEVCLASS_PORTS.
constexpr GUID kPortsClass = {
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

// The text snprintf wrote into a buffer sized for the longest it can give;
// one that did not fit is a fault of the simulation itself.
std::string Formatted(const char* buffer, std::size_t size, int length) {
  if (length < 0 || static_cast<std::size_t>(length) >= size) std::abort();
  return std::string(buffer, static_cast<std::size_t>(length));
}

std::string Text(const char* text) { return text ? text : "NULL"; }
std::string Number(unsigned long long n) { return std::to_string(n); }
std::string Hex(DWORD n) {
  char buffer[16];
  return Formatted(buffer, sizeof buffer,
                   std::snprintf(buffer, sizeof buffer, "0x%X", static_cast<unsigned>(n)));
}
std::string Pointer(const void* p) { return p ? "ptr" : "NULL"; }

// Set handles and key handles are small numbers dressed as pointers.
constexpr std::uintptr_t kSetBase = 0x10000;
constexpr std::uintptr_t kKeyBase = 0x20000;
constexpr std::uintptr_t kComDatabaseBase = 0x30000;
constexpr std::uintptr_t kHandleBase = 0x40000;
constexpr std::uintptr_t kDescriptorBase = 0x50000;

HDEVINFO SetHandle(std::size_t index) { return reinterpret_cast<HDEVINFO>(kSetBase + index); }
std::string SetName(HDEVINFO set) {
  const auto value = reinterpret_cast<std::uintptr_t>(set);
  if (set == INVALID_HANDLE_VALUE) return "INVALID_HANDLE_VALUE";
  if (value >= kSetBase && value < kKeyBase) return "set" + Number(value - kSetBase + 1);
  return Pointer(set);
}
std::string KeyName(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE) return "HKEY_LOCAL_MACHINE";
  const auto value = reinterpret_cast<std::uintptr_t>(key);
  if (value >= kKeyBase) return "key" + Number(value - kKeyBase);
  return Pointer(key);
}
std::string ComDatabaseName(HCOMDB database) {
  const auto value = reinterpret_cast<std::uintptr_t>(database);
  if (database == HCOMDB_INVALID_HANDLE_VALUE) return "HCOMDB_INVALID_HANDLE_VALUE";
  if (value >= kComDatabaseBase) return "comdb" + Number(value - kComDatabaseBase);
  return Pointer(database);
}

Machine& M() { return Machine::Current(); }

// The system DLL a platform call is taken from.
std::string DllOf(const std::string& function) {
  if (function.rfind("Setup", 0) == 0) return "setupapi.dll";
  if (function.rfind("UpdateDriver", 0) == 0) return "newdev.dll";
  if (function.rfind("Reg", 0) == 0 || function.rfind("Convert", 0) == 0) return "advapi32.dll";
  if (function.rfind("ComDB", 0) == 0) return "msports.dll";
  if (function.rfind("CM", 0) == 0) return "setupapi.dll";
  return "kernel32.dll";
}

// Records a call and gives the error it is to fail with: its DLL's loader
// error when the DLL could not be had, or that of a fault armed for this
// occurrence of it.
std::optional<DWORD> Enter(const char* function, std::vector<std::string> args) {
  Machine& m = M();
  // A process that ended makes no more calls: whatever the program would
  // still call does nothing, and fails.
  if (++m.callsMade > m.endProcessAfter && m.endProcessAfter != 0) m.processEnded = true;
  if (m.processEnded) return ERROR_PROCESS_ABORTED;
  m.journal.push_back({function, std::move(args)});
  const auto dll = m.unavailableDlls.find(DllOf(function));
  if (dll != m.unavailableDlls.end()) return dll->second;
  if (m.unavailableFunctions.count(function) != 0) return ERROR_PROC_NOT_FOUND;
  const int occurrence = ++m.callCounts[function];
  if (m.beforeCall) m.beforeCall(function, occurrence);
  const auto fault =
      std::find_if(m.faults.begin(), m.faults.end(), [&](const Machine::Fault& armed) {
        return armed.function == function && armed.occurrence == occurrence;
      });
  if (fault == m.faults.end()) return std::nullopt;
  return fault->error;
}

BOOL Fail(DWORD error) {
  M().lastError = error;
  return FALSE;
}

BOOL Succeed() {
  M().lastError = ERROR_SUCCESS;
  return TRUE;
}

// The set behind a handle, or null.
std::vector<std::size_t>* FindSet(HDEVINFO set) {
  const auto value = reinterpret_cast<std::uintptr_t>(set);
  if (value < kSetBase || value >= kSetBase + M().sets.size()) return nullptr;
  return &M().sets[value - kSetBase];
}

// The device a record names within a set, or null (with the last error set).
Device* RecordDevice(HDEVINFO set, PSP_DEVINFO_DATA record) {
  const std::vector<std::size_t>* members = FindSet(set);
  if (!members) {
    Fail(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (!record || record->cbSize != sizeof(SP_DEVINFO_DATA) || record->DevInst == 0 ||
      record->Reserved != reinterpret_cast<std::uintptr_t>(set) - kSetBase) {
    Fail(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const std::size_t index = record->DevInst - 1;
  if (std::find(members->begin(), members->end(), index) != members->end()) {
    return &M().devices[index];
  }
  Fail(ERROR_INVALID_PARAMETER);
  return nullptr;
}

// The install parameters' flags of the element a record names in a set,
// or of the set itself when there is no record.
DWORD& InstallFlags(HDEVINFO set, PSP_DEVINFO_DATA record) {
  const std::size_t index = reinterpret_cast<std::uintptr_t>(set) - kSetBase;
  if (record == nullptr) return M().setInstallFlags[index];
  return M().installFlags[{index, record->DevInst - 1}];
}

// The default handler of DIF_REMOVE, which SetupDiRemoveDevice is. A device
// that cannot be stopped, because it or one that hangs from it is in use, is
// left as it is until the restart: still listed as present, with
// CM_PROB_WILL_BE_REMOVED, and flags in the install parameters of the device
// information set ask for the restart ("SetupDiRemoveDevice"). Otherwise the
// device and its keys go and Windows forgets it; the element stays in the
// set. Its children leave the present list, their keys stay. True when the
// device was removed or left for the restart; false with the last error set.
bool InUse(const Device& device);
bool RemoveDevice(HDEVINFO set, Device& device) {
  if (!device.present) {
    Fail(ERROR_NO_SUCH_DEVINST);
    return false;
  }
  if (InUse(device)) {
    device.problem = CM_PROB_WILL_BE_REMOVED;
    InstallFlags(set, nullptr) |= DI_NEEDREBOOT;
    return true;
  }
  device.present = false;
  device.uninstalled = true;
  for (Device& child : M().devices) {
    if (!child.parent.empty() && Lower(child.parent) == Lower(device.instanceId)) {
      child.present = false;
    }
  }
  const std::string prefix = Lower(EnumKey(device.instanceId));
  auto& registry = M().registry;
  for (auto key = registry.begin(); key != registry.end();) {
    const std::string path = Lower(key->first);
    if (path == prefix || path.rfind(prefix + "\\", 0) == 0) {
      key = registry.erase(key);
    } else {
      ++key;
    }
  }
  return true;
}

// Whether a device, or one that hangs from it, is in use: then it cannot be
// stopped.
bool InUse(const Device& device) {
  if (device.inUse) return true;
  return std::any_of(M().devices.begin(), M().devices.end(), [&](const Device& child) {
    return child.present && !child.parent.empty() &&
           Lower(child.parent) == Lower(device.instanceId) && InUse(child);
  });
}

// A new handle to an existing key.
HKEY OpenKey(const std::string& path) {
  const std::size_t handle = M().nextKey++;
  M().openKeys[handle] = M().registry.find(path)->first;
  return reinterpret_cast<HKEY>(kKeyBase + handle);
}

// An open key's path, or null.
const std::string* OpenKeyPath(HKEY key) {
  const auto open = M().openKeys.find(reinterpret_cast<std::uintptr_t>(key) - kKeyBase);
  return open == M().openKeys.end() ? nullptr : &open->second;
}

// Whether a handle is one ComDBOpen gave and ComDBClose has not taken back.
bool IsOpenComDatabase(HCOMDB database) {
  return M().openComDatabases.count(reinterpret_cast<std::uintptr_t>(database) -
                                    kComDatabaseBase) != 0;
}

// Whether a claim or release names an open database and a number it holds.
bool Arbitrates(HCOMDB database, DWORD comNumber) {
  return IsOpenComDatabase(database) && comNumber != 0 && comNumber <= COMDB_MAX_PORTS_ARBITRATED;
}

// A path's last part, in lower case: the names of files compare without
// regard to case.
std::string FileName(const std::string& path) {
  const std::size_t slash = path.find_last_of('\\');
  return Lower(slash == std::string::npos ? path : path.substr(slash + 1));
}

// A driver installed from an INF is first staged in the driver store,
// which keeps the package and puts a copy of its INF into %WINDIR%\inf
// under a name of its own, oem<n>.inf ("UpdateDriverForPlugAndPlayDevicesA":
// it "copies driver files to the appropriate system locations if the
// installation is successful"; "Driver Store"). A package staged already,
// the same INF name and DriverVer, is not staged again. Gives the copy's name.
std::string Stage(const std::string& source, const std::string& driverVer) {
  auto& store = M().driverStore;
  std::size_t n = 0;
  while (n < store.size() &&
         !(FileName(store[n].source) == FileName(source) && store[n].driverVer == driverVer)) {
    ++n;
  }
  if (n == store.size()) store.push_back({source, driverVer});
  return "oem" + std::to_string(n) + ".inf";
}

bool HasHardwareId(const Device& device, const char* hardwareId) {
  const std::string wanted = Lower(hardwareId);
  return std::any_of(device.hardwareIds.begin(), device.hardwareIds.end(),
                     [&](const std::string& id) { return Lower(id) == wanted; });
}

}  // namespace

bool NoCase::operator()(const std::string& a, const std::string& b) const {
  return Lower(a) < Lower(b);
}

std::string EnumKey(const std::string& instanceId) {
  return "SYSTEM\\CurrentControlSet\\Enum\\" + instanceId;
}

std::string DeviceParametersKey(const std::string& instanceId) {
  return EnumKey(instanceId) + "\\Device Parameters";
}

std::string ToString(const GUID& g) {
  char buffer[40];
  return Formatted(
      buffer, sizeof buffer,
      std::snprintf(buffer, sizeof buffer, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                    static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                    g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]));
}

Machine& Machine::Current() { return *Instance(); }

Machine& Machine::Reset() {
  Instance() = std::make_unique<Machine>();
  return *Instance();
}

void Machine::AddInf(const std::string& path, const GUID& classGuid, const std::string& className) {
  infs[path] = Inf{true, classGuid, className};
  classNames[ToString(classGuid)] = className;
}

void Machine::AddUnreadableInf(const std::string& path) { infs[path] = Inf{false, {}, {}}; }

Device& Machine::AddDevice(const std::string& instanceId, const std::string& hardwareId,
                           const GUID& classGuid, bool deviceParameters) {
  registry[EnumKey(instanceId)];
  if (deviceParameters) registry[DeviceParametersKey(instanceId)];
  Device device;
  device.instanceId = instanceId;
  device.hardwareIds = {hardwareId};
  device.classGuid = classGuid;
  devices.push_back(device);
  return devices.back();
}

void Machine::EndOfProcess() {
  sets.clear();
  installFlags.clear();
  setInstallFlags.clear();
  classInstallParams.clear();
  openKeys.clear();
  openComDatabases.clear();
  openMutexes.clear();
  mutexOwned = false;
  securityDescriptors.clear();
  callCounts.clear();
  lastError = ERROR_SUCCESS;
  processEnded = false;
  endProcessAfter = 0;
  callsMade = 0;
}

void Machine::RestartWindows() {
  EndOfProcess();
  for (auto key = registry.begin(); key != registry.end();) {
    key = volatileKeys.count(key->first) != 0 ? registry.erase(key) : std::next(key);
  }
  volatileKeys.clear();
  for (Device& device : devices) {
    if (device.problem == CM_PROB_WILL_BE_REMOVED) {
      device.problem = 0;
      device.inUse = false;
      RemoveDevice(nullptr, device);
    }
    if (!device.present) continue;
    device.inUse = false;
    const RegValue* name = FindValue(DeviceParametersKey(device.instanceId), "PortName");
    if (name != nullptr) device.startedAs = name->Text();
  }
}

void Machine::FailCall(const std::string& function, int occurrence, DWORD error) {
  faults.push_back({function, occurrence, error});
}

void Machine::MakeFunctionUnavailable(const std::string& function) {
  unavailableFunctions.insert(function);
}

void Machine::MakeDllUnavailable(const std::string& dll, DWORD error) {
  unavailableDlls[dll] = error;
}

std::vector<Call> Machine::Calls(const std::string& function) const {
  std::vector<Call> calls;
  std::copy_if(journal.begin(), journal.end(), std::back_inserter(calls),
               [&](const Call& call) { return call.function == function; });
  return calls;
}

const Device* Machine::FindDevice(const std::string& instanceId) const {
  const auto device = std::find_if(devices.begin(), devices.end(), [&](const Device& candidate) {
    return candidate.instanceId == instanceId;
  });
  return device == devices.end() ? nullptr : &*device;
}

const RegValue* Machine::FindValue(const std::string& keyPath, const std::string& name) const {
  const auto key = registry.find(keyPath);
  if (key == registry.end()) return nullptr;
  const auto value = key->second.find(name);
  return value == key->second.end() ? nullptr : &value->second;
}

}  // namespace sim

using sim::Enter;
using sim::Fail;
using sim::M;
using sim::Succeed;

// kernel32

UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) {
  if (const auto fault = Enter("GetWindowsDirectoryA", {sim::Pointer(buffer), sim::Number(size)})) {
    Fail(*fault);
    return 0;
  }
  const std::string& dir = M().windowsDirectory;
  // A buffer too small is left untouched; the result is the size needed.
  if (!buffer || dir.size() + 1 > size) return static_cast<UINT>(dir.size() + 1);
  std::memcpy(buffer, dir.c_str(), dir.size() + 1);
  return static_cast<UINT>(dir.size());
}

// The path of the exe for a null module; a buffer too small gets the path
// cut to its size, terminated, with ERROR_INSUFFICIENT_BUFFER, and the
// result is the buffer's size ("GetModuleFileNameA").
DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size) {
  if (const auto fault = Enter("GetModuleFileNameA",
                               {sim::Pointer(module), sim::Pointer(buffer), sim::Number(size)})) {
    Fail(*fault);
    return 0;
  }
  if (module != nullptr || !buffer || size == 0) {
    Fail(ERROR_INVALID_PARAMETER);  // beyond what the simulation models
    return 0;
  }
  const std::string& path = M().exePath;
  if (path.size() >= size) {
    std::memcpy(buffer, path.data(), size - 1);
    buffer[size - 1] = '\0';
    Fail(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  std::memcpy(buffer, path.c_str(), path.size() + 1);
  Succeed();
  return static_cast<DWORD>(path.size());
}

// A file's attributes; INVALID_FILE_ATTRIBUTES with ERROR_FILE_NOT_FOUND for
// one that is not there ("GetFileAttributesA").
DWORD GetFileAttributesA(LPCSTR path) {
  if (const auto fault = Enter("GetFileAttributesA", {sim::Text(path)})) {
    Fail(*fault);
    return INVALID_FILE_ATTRIBUTES;
  }
  if (path && (M().infs.count(path) != 0 || M().files.count(path) != 0)) {
    Succeed();
    return FILE_ATTRIBUTE_ARCHIVE;
  }
  Fail(ERROR_FILE_NOT_FOUND);
  return INVALID_FILE_ATTRIBUTES;
}

DWORD GetLastError() {
  sim::Machine& m = M();
  m.journal.push_back({"GetLastError", {}});
  return m.lastError;
}

void SetLastError(DWORD error) { M().lastError = error; }

void Sleep(DWORD milliseconds) { Enter("Sleep", {sim::Number(milliseconds)}); }

// The pseudo-handle Windows gives for the calling process.
HANDLE GetCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)); }

// cppcheck-suppress constParameter ; the signature is Windows' own, as windows_api.h declares it
BOOL IsWow64Process(HANDLE process, PBOOL wow64) {
  if (const auto fault = Enter(
          "IsWow64Process",
          {process == GetCurrentProcess() ? "current process" : "other", sim::Pointer(wow64)})) {
    return Fail(*fault);
  }
  if (process != GetCurrentProcess() || !wow64) return Fail(ERROR_INVALID_PARAMETER);
  *wow64 = M().wow64 ? TRUE : FALSE;
  return Succeed();
}

// A named mutex, as the program uses one: to keep its runs apart. A mutex
// that exists already is opened, for the access asked, which its DACL must
// grant ("Synchronization Object Security and Access Rights"): the default
// DACL of a SYSTEM process's token gives administrators read and execute
// only, which for a mutex means waiting on it, not MUTEX_ALL_ACCESS
// (Microsoft's KB 318825). A new one takes the security descriptor given.
HANDLE CreateMutexExA(LPSECURITY_ATTRIBUTES attributes, LPCSTR name, DWORD flags, DWORD access) {
  using Security = sim::Machine::MutexSecurity;
  if (const auto fault = Enter("CreateMutexExA", {sim::Pointer(attributes), sim::Text(name),
                                                  sim::Number(flags), sim::Hex(access)})) {
    Fail(*fault);
    return nullptr;
  }
  sim::Machine& m = M();
  if (!name || flags != 0) {
    Fail(ERROR_INVALID_PARAMETER);  // beyond what the simulation models
    return nullptr;
  }
  const bool exists = m.otherRun != sim::Machine::OtherRun::None;
  if (exists) {
    const DWORD granted = m.otherRunSecurity == Security::Ours ? MUTEX_ALL_ACCESS
                          : m.otherRunSecurity == Security::SystemDefault
                              ? SYNCHRONIZE | READ_CONTROL
                              : 0;
    if ((access & ~granted) != 0) {
      Fail(ERROR_ACCESS_DENIED);
      return nullptr;
    }
  } else {
    const auto descriptor = m.securityDescriptors.find(
        attributes != nullptr ? attributes->lpSecurityDescriptor : nullptr);
    m.createdMutexSecurity =
        descriptor != m.securityDescriptors.end() ? descriptor->second : "default";
  }
  const std::size_t handle = m.nextHandle++;
  m.openMutexes[handle] = {name, access};
  // As Windows does, a mutex that exists already is opened and says so.
  m.lastError = exists ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS;
  return reinterpret_cast<HANDLE>(sim::kHandleBase + handle);
}

// Waiting needs SYNCHRONIZE access ("WaitForSingleObject": "The handle must
// have the SYNCHRONIZE access right").
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  using OtherRun = sim::Machine::OtherRun;
  if (const auto fault =
          Enter("WaitForSingleObject", {sim::Pointer(handle), sim::Number(milliseconds)})) {
    Fail(*fault);
    return WAIT_FAILED;
  }
  sim::Machine& m = M();
  const auto open = m.openMutexes.find(reinterpret_cast<std::uintptr_t>(handle) - sim::kHandleBase);
  if (open == m.openMutexes.end()) {
    Fail(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  if ((open->second.access & SYNCHRONIZE) == 0) {
    Fail(ERROR_ACCESS_DENIED);
    return WAIT_FAILED;
  }
  const OtherRun other = m.otherRun;
  if (other == OtherRun::OutlastsAnyWait ||
      (other == OtherRun::EndsWhileWaited && milliseconds == 0)) {
    return WAIT_TIMEOUT;
  }
  m.otherRun = OtherRun::None;
  m.mutexOwned = true;
  return other == OtherRun::Crashed ? WAIT_ABANDONED : WAIT_OBJECT_0;
}

// Only the owner may release a mutex ("ReleaseMutex"); its handle needs no
// particular access for that: MUTEX_MODIFY_STATE is "reserved for future
// use" ("Synchronization Object Security and Access Rights").
BOOL ReleaseMutex(HANDLE mutex) {
  if (const auto fault = Enter("ReleaseMutex", {sim::Pointer(mutex)})) return Fail(*fault);
  if (M().openMutexes.count(reinterpret_cast<std::uintptr_t>(mutex) - sim::kHandleBase) == 0) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  if (!M().mutexOwned) return Fail(ERROR_NOT_OWNER);
  M().mutexOwned = false;
  return Succeed();
}

BOOL CloseHandle(HANDLE handle) {
  if (const auto fault = Enter("CloseHandle", {sim::Pointer(handle)})) return Fail(*fault);
  return M().openMutexes.erase(reinterpret_cast<std::uintptr_t>(handle) - sim::kHandleBase) != 0
             ? Succeed()
             : Fail(ERROR_INVALID_HANDLE);
}

// Frees what ConvertStringSecurityDescriptorToSecurityDescriptorA made,
// which its page says to free with LocalFree: null when it did ("LocalFree").
HLOCAL LocalFree(HLOCAL memory) {
  if (const auto fault = Enter("LocalFree", {sim::Pointer(memory)})) {
    Fail(*fault);
    return memory;
  }
  if (memory != nullptr && M().securityDescriptors.erase(memory) == 0) {
    Fail(ERROR_INVALID_HANDLE);
    return memory;
  }
  return nullptr;
}

// setupapi

BOOL SetupDiGetINFClassA(PCSTR infName, LPGUID classGuid, PSTR className, DWORD classNameSize,
                         PDWORD requiredSize) {
  if (const auto fault =
          Enter("SetupDiGetINFClassA",
                {sim::Text(infName), sim::Pointer(classGuid), sim::Pointer(className),
                 sim::Number(classNameSize), sim::Pointer(requiredSize)})) {
    return Fail(*fault);
  }
  if (!infName || !classGuid || !className) return Fail(ERROR_INVALID_PARAMETER);
  const auto inf = M().infs.find(infName);
  if (inf == M().infs.end()) return Fail(ERROR_FILE_NOT_FOUND);
  if (!inf->second.readable) return Fail(ERROR_INVALID_DATA);
  const std::string& name = inf->second.className;
  if (requiredSize) *requiredSize = static_cast<DWORD>(name.size() + 1);
  if (name.size() + 1 > classNameSize) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(className, name.c_str(), name.size() + 1);
  *classGuid = inf->second.classGuid;
  return Succeed();
}

// The devices of a class, or with DIGCF_ALLCLASSES of every class: with
// DIGCF_PRESENT those present, without it also those that Windows keeps
// while they are not ("SetupDiGetClassDevs"). A device uninstalled is gone.
HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND parent, DWORD flags) {
  if (const auto fault = Enter("SetupDiGetClassDevsA",
                               {classGuid ? sim::ToString(*classGuid) : "NULL",
                                sim::Text(enumerator), sim::Pointer(parent), sim::Number(flags)})) {
    Fail(*fault);
    return INVALID_HANDLE_VALUE;
  }
  const bool allClasses = (flags & DIGCF_ALLCLASSES) != 0;
  if (!classGuid && !allClasses) {
    Fail(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::vector<std::size_t> members;
  for (std::size_t i = 0; i < M().devices.size(); ++i) {
    const sim::Device& device = M().devices[i];
    if (!device.uninstalled && (allClasses || sim::SameGuid(device.classGuid, *classGuid)) &&
        (device.present || !(flags & DIGCF_PRESENT))) {
      members.push_back(i);
    }
  }
  M().sets.push_back(members);
  Succeed();
  return sim::SetHandle(M().sets.size() - 1);
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA record) {
  if (const auto fault = Enter("SetupDiEnumDeviceInfo",
                               {sim::SetName(set), sim::Number(index), sim::Pointer(record)})) {
    return Fail(*fault);
  }
  const std::vector<std::size_t>* members = sim::FindSet(set);
  if (!members) return Fail(ERROR_INVALID_HANDLE);
  if (!record || record->cbSize != sizeof(SP_DEVINFO_DATA)) {
    return Fail(ERROR_INVALID_USER_BUFFER);
  }
  if (index >= members->size()) return Fail(ERROR_NO_MORE_ITEMS);
  const std::size_t device = (*members)[index];
  record->ClassGuid = M().devices[device].classGuid;
  record->DevInst = static_cast<DWORD>(device + 1);
  record->Reserved = reinterpret_cast<std::uintptr_t>(set) - sim::kSetBase;
  return Succeed();
}

BOOL SetupDiGetDeviceInstanceIdA(HDEVINFO set, PSP_DEVINFO_DATA record, PSTR buffer,
                                 DWORD bufferSize, PDWORD requiredSize) {
  if (const auto fault = Enter("SetupDiGetDeviceInstanceIdA",
                               {sim::SetName(set), sim::Pointer(record), sim::Pointer(buffer),
                                sim::Number(bufferSize), sim::Pointer(requiredSize)})) {
    return Fail(*fault);
  }
  const sim::Device* device = sim::RecordDevice(set, record);
  if (!device) return FALSE;
  const std::string& id = device->instanceId;
  if (requiredSize) *requiredSize = static_cast<DWORD>(id.size() + 1);
  // An ID that does not fit whole leaves the caller's buffer as it was.
  if (!buffer || id.size() + 1 > bufferSize) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(buffer, id.c_str(), id.size() + 1);
  return Succeed();
}

// The driver key, the class name and the hardware IDs are modelled: a
// device that has a driver has a driver key, and one without a driver lacks
// the property, which fails with ERROR_INVALID_DATA; the hardware IDs are a
// REG_MULTI_SZ list ("SetupDiGetDeviceRegistryProperty").
BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, PSP_DEVINFO_DATA record, DWORD property,
                                       PDWORD type, LPBYTE buffer, DWORD bufferSize,
                                       PDWORD requiredSize) {
  if (const auto fault =
          Enter("SetupDiGetDeviceRegistryPropertyA",
                {sim::SetName(set), sim::Pointer(record), sim::Number(property), sim::Pointer(type),
                 sim::Pointer(buffer), sim::Number(bufferSize), sim::Pointer(requiredSize)})) {
    return Fail(*fault);
  }
  const sim::Device* device = sim::RecordDevice(set, record);
  if (!device) return FALSE;
  std::string key;
  DWORD valueType = REG_SZ;
  if (property == SPDRP_DRIVER) {
    if (device->driverInf.empty() && !device->newerDriver) return Fail(ERROR_INVALID_DATA);
    key = sim::Lower(sim::ToString(device->classGuid)) + "\\0000";
  } else if (property == SPDRP_CLASS) {
    const auto name = M().classNames.find(sim::ToString(device->classGuid));
    if (name == M().classNames.end()) return Fail(ERROR_INVALID_DATA);
    key = name->second;
  } else if (property == SPDRP_HARDWAREID) {
    for (const std::string& id : device->hardwareIds) key += id + '\0';
    valueType = REG_MULTI_SZ;
  } else {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (type) *type = valueType;
  if (requiredSize) *requiredSize = static_cast<DWORD>(key.size() + 1);
  if (!buffer || key.size() + 1 > bufferSize) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(buffer, key.c_str(), key.size() + 1);
  return Succeed();
}

BOOL SetupDiSetDeviceRegistryPropertyA(HDEVINFO set, PSP_DEVINFO_DATA record, DWORD property,
                                       const BYTE* buffer, DWORD bufferSize) {
  const char* bytes = reinterpret_cast<const char*>(buffer);
  if (const auto fault =
          Enter("SetupDiSetDeviceRegistryPropertyA",
                {sim::SetName(set), sim::Pointer(record), sim::Number(property),
                 buffer ? std::string(bytes, bufferSize) : "NULL", sim::Number(bufferSize)})) {
    return Fail(*fault);
  }
  const sim::Device* device = sim::RecordDevice(set, record);
  if (!device) return FALSE;
  if (property != SPDRP_FRIENDLYNAME || !buffer) return Fail(ERROR_INVALID_PARAMETER);
  if (!device->present) return Fail(ERROR_NO_SUCH_DEVINST);
  // Like the registry, a text without its terminator takes it from the
  // byte after it.
  const bool unterminated = bufferSize == 0 || bytes[bufferSize - 1] != '\0';
  M().registry[sim::EnumKey(device->instanceId)]["FriendlyName"] = sim::RegValue{
      REG_SZ, std::string(bytes, bufferSize), unterminated && bytes[bufferSize] == '\0'};
  return Succeed();
}

// The device's hardware key, its "Device Parameters"; opened, never created.
HKEY SetupDiOpenDevRegKey(HDEVINFO set, PSP_DEVINFO_DATA record, DWORD scope, DWORD hwProfile,
                          DWORD keyType, REGSAM access) {
  const HKEY invalid = reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
  if (const auto fault = Enter("SetupDiOpenDevRegKey",
                               {sim::SetName(set), sim::Pointer(record), sim::Number(scope),
                                sim::Number(hwProfile), sim::Number(keyType), sim::Hex(access)})) {
    Fail(*fault);
    return invalid;
  }
  const sim::Device* device = sim::RecordDevice(set, record);
  if (!device) return invalid;
  if (scope != DICS_FLAG_GLOBAL || keyType != DIREG_DEV) {
    Fail(ERROR_INVALID_FLAGS);
    return invalid;
  }
  const std::string path = sim::DeviceParametersKey(device->instanceId);
  if (!M().KeyExists(path)) {
    Fail(ERROR_KEY_DOES_NOT_EXIST);
    return invalid;
  }
  // The key's security must grant every right asked for ("Registry Key
  // Security and Access Rights").
  if ((access & ~device->keyAccess) != 0) {
    Fail(ERROR_ACCESS_DENIED);
    return invalid;
  }
  Succeed();
  return sim::OpenKey(path);
}

// The parameters of an element, or, without a record, those of the whole
// set ("SetupDiGetDeviceInstallParams": DeviceInfoData is optional).
BOOL SetupDiGetDeviceInstallParamsA(HDEVINFO set, PSP_DEVINFO_DATA record,
                                    PSP_DEVINSTALL_PARAMS_A params) {
  if (const auto fault = Enter("SetupDiGetDeviceInstallParamsA",
                               {sim::SetName(set), sim::Pointer(record), sim::Pointer(params)})) {
    return Fail(*fault);
  }
  // Without a record, those of the set itself.
  if (record ? !sim::RecordDevice(set, record) : !sim::FindSet(set)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (!params || params->cbSize != sizeof(SP_DEVINSTALL_PARAMS_A)) {
    return Fail(ERROR_INVALID_USER_BUFFER);
  }
  *params = SP_DEVINSTALL_PARAMS_A{};
  params->cbSize = sizeof(SP_DEVINSTALL_PARAMS_A);
  params->Flags = sim::InstallFlags(set, record);
  return Succeed();
}

// Asks the user to restart Windows; the user here always says later.
int SetupPromptReboot(HSPFILEQ fileQueue, HWND owner, BOOL scanOnly) {
  if (const auto fault = Enter("SetupPromptReboot", {sim::Pointer(fileQueue), sim::Pointer(owner),
                                                     sim::Number(static_cast<DWORD>(scanOnly))})) {
    Fail(*fault);
    return -1;
  }
  return SPFILEQ_REBOOT_RECOMMENDED;
}

// Only the parameters of a property change are modelled: a header of
// sizeof(SP_CLASSINSTALL_HEADER) naming DIF_PROPERTYCHANGE, and the size of
// SP_PROPCHANGE_PARAMS ("SetupDiSetClassInstallParams").
BOOL SetupDiSetClassInstallParamsA(HDEVINFO set, PSP_DEVINFO_DATA record,
                                   PSP_CLASSINSTALL_HEADER params, DWORD size) {
  if (const auto fault =
          Enter("SetupDiSetClassInstallParamsA",
                {sim::SetName(set), sim::Pointer(record),
                 params ? sim::Number(params->InstallFunction) : "NULL", sim::Number(size)})) {
    return Fail(*fault);
  }
  if (!sim::RecordDevice(set, record)) return FALSE;
  if (!params || params->cbSize != sizeof(SP_CLASSINSTALL_HEADER) ||
      params->InstallFunction != DIF_PROPERTYCHANGE || size != sizeof(SP_PROPCHANGE_PARAMS)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  M().classInstallParams[{reinterpret_cast<std::uintptr_t>(set) - sim::kSetBase,
                          record->DevInst - 1}] = *reinterpret_cast<SP_PROPCHANGE_PARAMS*>(params);
  return Succeed();
}

// DIF_REMOVE without class install parameters removes the device from the
// system as a whole ("DIF_REMOVE"): the class installer runs first, then the
// default handler, SetupDiRemoveDevice's removal ("Using SetupAPI to
// uninstall devices and driver packages"). The Ports class installer gives
// a removed port's COM number back (see portsClassInstallerReleases).
//
// A property change with DICS_PROPCHANGE stops the device and starts it
// again, so that the change takes effect ("SP_PROPCHANGE_PARAMS"); a
// device that cannot be stopped, being in use, is left as it is, and the
// element's install parameters ask for the restart of Windows
// (DI_NEEDRESTART, "DIF_PROPERTYCHANGE"). A started port reads its PortName.
BOOL SetupDiCallClassInstaller(DI_FUNCTION function, HDEVINFO set, PSP_DEVINFO_DATA record) {
  if (const auto fault = Enter("SetupDiCallClassInstaller",
                               {sim::Number(function), sim::SetName(set), sim::Pointer(record)})) {
    return Fail(*fault);
  }
  sim::Device* device = sim::RecordDevice(set, record);
  if (!device) return FALSE;
  const auto params = M().classInstallParams.find(
      {reinterpret_cast<std::uintptr_t>(set) - sim::kSetBase, record->DevInst - 1});
  if (function == DIF_REMOVE) {
    if (params != M().classInstallParams.end()) return Fail(ERROR_INVALID_PARAMETER);
    const sim::RegValue* name =
        M().FindValue(sim::DeviceParametersKey(device->instanceId), "PortName");
    const std::string portName = name ? name->Text() : "";
    if (!sim::RemoveDevice(set, *device)) return FALSE;
    if (device->uninstalled && M().portsClassInstallerReleases &&
        sim::SameGuid(device->classGuid, sim::kPortsClass) && portName.size() > 3 &&
        sim::Lower(portName.substr(0, 3)) == "com") {
      M().claimedComNumbers.erase(
          static_cast<DWORD>(std::strtoul(portName.c_str() + 3, nullptr, 10)));
    }
    return Succeed();
  }
  if (function != DIF_PROPERTYCHANGE || params == M().classInstallParams.end() ||
      params->second.StateChange != DICS_PROPCHANGE ||
      (params->second.Scope != DICS_FLAG_GLOBAL &&
       params->second.Scope != DICS_FLAG_CONFIGSPECIFIC)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (!device->present) return Fail(ERROR_NO_SUCH_DEVINST);
  if (sim::InUse(*device)) {
    sim::InstallFlags(set, record) |= DI_NEEDRESTART;
    return Succeed();
  }
  ++device->restarts;
  const sim::RegValue* name =
      M().FindValue(sim::DeviceParametersKey(device->instanceId), "PortName");
  device->startedAs = name ? name->Text() : "";
  return Succeed();
}

// Pending installations end while the caller waits, unless they outlast
// any wait; a caller that does not wait (0) only learns whether any are.
DWORD CMP_WaitNoPendingInstallEvents(DWORD timeout) {
  using Pending = sim::Machine::Pending;
  if (const auto fault = Enter("CMP_WaitNoPendingInstallEvents", {sim::Number(timeout)})) {
    Fail(*fault);
    return WAIT_FAILED;
  }
  sim::Machine& m = M();
  if (m.pendingInstalls == Pending::OutlastAnyWait ||
      (m.pendingInstalls == Pending::EndWhileWaited && timeout == 0)) {
    return WAIT_TIMEOUT;
  }
  m.pendingInstalls = Pending::None;
  return WAIT_OBJECT_0;
}

// The status and problem code of a device that Windows lists as present
// ("CM_Get_DevNode_Status": DN_HAS_PROBLEM with the problem number), and
// CR_NO_SUCH_DEVINST for one that it keeps but that is not present, which
// has no device node, or CR_NO_SUCH_VALUE where the device says so
// (Device::absentStatus). The configuration manager gives its error as the
// result and leaves the last error alone.
CONFIGRET CM_Get_DevNode_Status(PULONG status, PULONG problem, DEVINST device, ULONG flags) {
  if (const auto fault = Enter(
          "CM_Get_DevNode_Status",
          {sim::Pointer(status), sim::Pointer(problem), sim::Number(device), sim::Number(flags)})) {
    return *fault;
  }
  sim::Machine& m = M();
  if (!status || !problem || flags != 0) return 0x1F;  // CR_INVALID_POINTER and the like
  if (device == 0 || device > m.devices.size()) return CR_NO_SUCH_DEVINST;
  if (!m.devices[device - 1].present) return m.devices[device - 1].absentStatus;
  *problem = m.devices[device - 1].problem;
  *status = *problem != 0 ? DN_HAS_PROBLEM : 0;
  return CR_SUCCESS;
}

// newdev

BOOL UpdateDriverForPlugAndPlayDevicesA(HWND parent, LPCSTR hardwareId, LPCSTR fullInfPath,
                                        DWORD installFlags, PBOOL rebootRequired) {
  if (const auto fault = Enter("UpdateDriverForPlugAndPlayDevicesA",
                               {sim::Pointer(parent), sim::Text(hardwareId), sim::Text(fullInfPath),
                                sim::Number(installFlags), sim::Pointer(rebootRequired)})) {
    return Fail(*fault);
  }
  if (!hardwareId || !fullInfPath) return Fail(ERROR_INVALID_PARAMETER);
  if (installFlags & ~(INSTALLFLAG_FORCE | INSTALLFLAG_READONLY | INSTALLFLAG_NONINTERACTIVE)) {
    return Fail(ERROR_INVALID_FLAGS);
  }
  const auto inf = M().infs.find(fullInfPath);
  if (inf == M().infs.end()) return Fail(ERROR_FILE_NOT_FOUND);
  if (!inf->second.readable) return Fail(ERROR_INVALID_DATA);
  // Unless forced, a driver that is no better than the one a device has
  // (the same, or a newer one) is not installed on it, and the answer is
  // ERROR_NO_MORE_ITEMS ("UpdateDriverForPlugAndPlayDevices"). The same
  // driver is an INF of the same name and DriverVer, wherever it lies. An
  // INF without a driver for this Windows has none better either: the
  // model gives it the same answer, which the installer must tell apart.
  const bool force = (installFlags & INSTALLFLAG_FORCE) != 0;
  const std::string name = sim::FileName(fullInfPath);
  bool matched = false;
  bool installed = false;
  for (sim::Device& device : M().devices) {
    if (!device.present || !sim::HasHardwareId(device, hardwareId)) continue;
    matched = true;
    const bool same = !device.driverInf.empty() && sim::FileName(device.driverInf) == name &&
                      device.driverVer == inf->second.driverVer;
    if (inf->second.noDriverForThisWindows || (!force && (device.newerDriver || same))) {
      continue;
    }
    // A package whose publisher is not trusted asks the user first. With
    // INSTALLFLAG_NONINTERACTIVE "the function returns FALSE when it
    // detects any attempt to display UI" (UpdateDriverForPlugAndPlayDevices).
    if (inf->second.untrustedPublisher) {
      if (installFlags & INSTALLFLAG_NONINTERACTIVE) {
        return Fail(ERROR_REQUIRES_INTERACTIVE_WINDOWSTATION);
      }
      ++M().driverDialogs;
    }
    device.driverInf = fullInfPath;
    device.driverFlags = installFlags;
    device.driverVer = inf->second.driverVer;
    device.storeInf = sim::Stage(fullInfPath, inf->second.driverVer);
    device.newerDriver = false;
    installed = true;
  }
  if (!matched) return Fail(ERROR_NO_SUCH_DEVINST);
  if (!installed) return Fail(ERROR_NO_MORE_ITEMS);
  const bool restart = M().restartIds.count(hardwareId) != 0;
  if (rebootRequired) {
    *rebootRequired = restart ? TRUE : FALSE;
  } else if (restart) {
    ++M().restartPromptsByNewdev;
  }
  return Succeed();
}

// advapi32: results are returned, the last error is left alone.

// As on Windows: a text is given with its terminator when it was stored
// with one; a buffer too small gets nothing and learns the size needed.
LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD dataSize) {
  if (const auto fault =
          Enter("RegQueryValueExA", {sim::KeyName(key), sim::Text(valueName),
                                     sim::Pointer(reserved), sim::Pointer(type), sim::Pointer(data),
                                     dataSize ? sim::Number(*dataSize) : "NULL"})) {
    return static_cast<LONG>(*fault);
  }
  const std::string* path = sim::OpenKeyPath(key);
  if (!path) return ERROR_INVALID_HANDLE;
  if (reserved || (data && !dataSize)) return ERROR_INVALID_PARAMETER;
  const sim::RegValue* value = M().FindValue(*path, valueName ? valueName : "");
  if (!value) return ERROR_FILE_NOT_FOUND;
  const std::string bytes = value->data + (value->nulAfter ? std::string(1, '\0') : "");
  if (type) *type = value->type;
  if (!dataSize) return ERROR_SUCCESS;
  const DWORD room = *dataSize;
  *dataSize = static_cast<DWORD>(bytes.size());
  if (!data) return ERROR_SUCCESS;
  if (bytes.size() > room) return ERROR_MORE_DATA;
  std::copy(bytes.begin(), bytes.end(), data);
  return ERROR_SUCCESS;
}

// Opens an existing key under HKEY_LOCAL_MACHINE ("RegOpenKeyExA": a key
// that does not exist gives ERROR_FILE_NOT_FOUND); a device's hardware key
// only for the rights its security grants ("Registry Key Security and
// Access Rights").
LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result) {
  if (const auto fault =
          Enter("RegOpenKeyExA", {sim::KeyName(key), sim::Text(subKey), sim::Number(options),
                                  sim::Hex(access), sim::Pointer(result)})) {
    return static_cast<LONG>(*fault);
  }
  if (key != HKEY_LOCAL_MACHINE) return ERROR_INVALID_HANDLE;
  if (!subKey || !result) return ERROR_INVALID_PARAMETER;
  if (!M().KeyExists(subKey)) return ERROR_FILE_NOT_FOUND;
  // A device's hardware key grants what its security grants.
  if (std::any_of(M().devices.begin(), M().devices.end(), [&](const sim::Device& device) {
        return sim::Lower(sim::DeviceParametersKey(device.instanceId)) == sim::Lower(subKey) &&
               (access & ~device.keyAccess) != 0;
      })) {
    return ERROR_ACCESS_DENIED;
  }
  *result = sim::OpenKey(subKey);
  return ERROR_SUCCESS;
}

// Opens a key under HKEY_LOCAL_MACHINE, making it and the keys above it
// where they are missing; REG_OPTION_VOLATILE makes those volatile, which
// Windows forgets when it restarts, and a volatile key can have no other
// kind below it ("RegCreateKeyExA": ERROR_CHILD_MUST_BE_VOLATILE).
LONG RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options,
                     REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY result,
                     LPDWORD disposition) {
  if (const auto fault =
          Enter("RegCreateKeyExA",
                {sim::KeyName(key), sim::Text(subKey), sim::Number(reserved),
                 sim::Pointer(keyClass), sim::Number(options), sim::Hex(access),
                 sim::Pointer(security), sim::Pointer(result), sim::Pointer(disposition)})) {
    return static_cast<LONG>(*fault);
  }
  if (key != HKEY_LOCAL_MACHINE) return ERROR_INVALID_HANDLE;
  if (!subKey || !result || reserved != 0 || (options & ~REG_OPTION_VOLATILE) != 0) {
    return ERROR_INVALID_PARAMETER;
  }
  sim::Machine& m = M();
  const std::string path = subKey;
  const bool existed = m.KeyExists(path);
  std::string parent;
  for (std::size_t end = 0; end != std::string::npos;) {
    end = path.find('\\', end + 1);
    const std::string part = path.substr(0, end);
    if (m.KeyExists(part)) {
      parent = part;
      continue;
    }
    if (m.volatileKeys.count(parent) != 0 && (options & REG_OPTION_VOLATILE) == 0) {
      return ERROR_CHILD_MUST_BE_VOLATILE;
    }
    m.registry[part];
    if ((options & REG_OPTION_VOLATILE) != 0) m.volatileKeys.insert(part);
    parent = part;
  }
  *result = sim::OpenKey(path);
  if (disposition) *disposition = existed ? 2 : 1;  // REG_OPENED_EXISTING_KEY, REG_CREATED_NEW_KEY
  return ERROR_SUCCESS;
}

// Deletes a value of an open key; one that is not there gives
// ERROR_FILE_NOT_FOUND ("RegDeleteValueA").
LONG RegDeleteValueA(HKEY key, LPCSTR valueName) {
  if (const auto fault = Enter("RegDeleteValueA", {sim::KeyName(key), sim::Text(valueName)}))
    return static_cast<LONG>(*fault);
  const std::string* path = sim::OpenKeyPath(key);
  if (!path) return ERROR_INVALID_HANDLE;
  if (!M().KeyExists(*path)) return ERROR_KEY_DELETED;
  return static_cast<LONG>(M().registry[*path].erase(valueName ? valueName : "") != 0
                               ? ERROR_SUCCESS
                               : ERROR_FILE_NOT_FOUND);
}

// Deletes a key below HKEY_LOCAL_MACHINE that has no subkeys
// ("RegDeleteKeyA": the key must not have subkeys).
LONG RegDeleteKeyA(HKEY key, LPCSTR subKey) {
  if (const auto fault = Enter("RegDeleteKeyA", {sim::KeyName(key), sim::Text(subKey)}))
    return static_cast<LONG>(*fault);
  if (key != HKEY_LOCAL_MACHINE) return ERROR_INVALID_HANDLE;
  if (!subKey) return ERROR_INVALID_PARAMETER;
  sim::Machine& m = M();
  const auto found = m.registry.find(subKey);
  if (found == m.registry.end()) return ERROR_FILE_NOT_FOUND;
  const std::string below = sim::Lower(subKey) + "\\";
  for (const auto& [path, values] : m.registry) {
    if (sim::Lower(path).rfind(below, 0) == 0) return ERROR_ACCESS_DENIED;
  }
  m.volatileKeys.erase(found->first);
  m.registry.erase(found);
  return ERROR_SUCCESS;
}

LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD dataSize) {
  const char* bytes = reinterpret_cast<const char*>(data);
  if (const auto fault =
          Enter("RegSetValueExA",
                {sim::KeyName(key), sim::Text(valueName), sim::Number(reserved), sim::Number(type),
                 data ? std::string(bytes, dataSize) : "NULL", sim::Number(dataSize)})) {
    return static_cast<LONG>(*fault);
  }
  const std::string* path = sim::OpenKeyPath(key);
  if (!path) return ERROR_INVALID_HANDLE;
  if (!M().KeyExists(*path)) return ERROR_KEY_DELETED;
  if (!data && dataSize) return ERROR_INVALID_PARAMETER;
  // As on NT, a REG_SZ text passed without its NUL, whose next byte is one,
  // reads back terminated.
  const bool unterminated = dataSize == 0 || bytes[dataSize - 1] != '\0';
  M().registry[*path][valueName ? valueName : ""] =
      sim::RegValue{type, std::string(bytes, dataSize),
                    type == REG_SZ && bytes && unterminated && bytes[dataSize] == '\0'};
  return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) {
  if (const auto fault = Enter("RegCloseKey", {sim::KeyName(key)}))
    return static_cast<LONG>(*fault);
  const auto handle = reinterpret_cast<std::uintptr_t>(key) - sim::kKeyBase;
  return static_cast<LONG>(M().openKeys.erase(handle) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE);
}

// Made from the SDDL text, which the simulation keeps; freed by LocalFree.
BOOL ConvertStringSecurityDescriptorToSecurityDescriptorA(LPCSTR text, DWORD revision,
                                                          PSECURITY_DESCRIPTOR* descriptor,
                                                          PULONG size) {
  if (const auto fault = Enter(
          "ConvertStringSecurityDescriptorToSecurityDescriptorA",
          {sim::Text(text), sim::Number(revision), sim::Pointer(descriptor), sim::Pointer(size)})) {
    return Fail(*fault);
  }
  if (!text || !descriptor || revision != SDDL_REVISION_1) return Fail(ERROR_INVALID_PARAMETER);
  sim::Machine& m = M();
  *descriptor = reinterpret_cast<PSECURITY_DESCRIPTOR>(sim::kDescriptorBase + m.nextHandle++);
  m.securityDescriptors[*descriptor] = text;
  if (size) *size = 20;
  return Succeed();
}

// msports: the COM port database, as Windows documents it. Results are
// returned, the last error is left alone.

LONG ComDBOpen(PHCOMDB database) {
  const auto fault = Enter("ComDBOpen", {sim::Pointer(database)});
  if (!database) return ERROR_INVALID_PARAMETER;
  *database = HCOMDB_INVALID_HANDLE_VALUE;
  if (fault) return static_cast<LONG>(*fault);
  const std::size_t handle = M().nextComDatabase++;
  M().openComDatabases.insert(handle);
  *database = reinterpret_cast<HCOMDB>(sim::kComDatabaseBase + handle);
  return ERROR_SUCCESS;
}

LONG ComDBClose(HCOMDB database) {
  if (const auto fault = Enter("ComDBClose", {sim::ComDatabaseName(database)}))
    return static_cast<LONG>(*fault);
  if (!sim::IsOpenComDatabase(database)) return ERROR_INVALID_PARAMETER;
  M().openComDatabases.erase(reinterpret_cast<std::uintptr_t>(database) - sim::kComDatabaseBase);
  return ERROR_SUCCESS;
}

// A number already in use stays so and says ERROR_SHARING_VIOLATION.
// ForceClaim and Forced are reserved for Windows' own use: ignored here.
LONG ComDBClaimPort(HCOMDB database, DWORD comNumber, BOOL forceClaim, PBOOL forced) {
  if (const auto fault = Enter(
          "ComDBClaimPort", {sim::ComDatabaseName(database), sim::Number(comNumber),
                             sim::Number(static_cast<DWORD>(forceClaim)), sim::Pointer(forced)})) {
    return static_cast<LONG>(*fault);
  }
  if (!sim::Arbitrates(database, comNumber)) return ERROR_INVALID_PARAMETER;
  if (!M().claimedComNumbers.insert(comNumber).second) return ERROR_SHARING_VIOLATION;
  return ERROR_SUCCESS;
}

// The numbers in use, a bit each from bit 0 of the first byte for COM1
// ("ComDBGetCurrentPortUsage"); MaxPortsReported says how many numbers the
// buffer tells of: the database's size, or what the buffer holds.
LONG ComDBGetCurrentPortUsage(HCOMDB database, PBYTE buffer, DWORD bufferSize, ULONG reportType,
                              LPDWORD maxPortsReported) {
  if (const auto fault =
          Enter("ComDBGetCurrentPortUsage",
                {sim::ComDatabaseName(database), sim::Pointer(buffer), sim::Number(bufferSize),
                 sim::Number(reportType), sim::Pointer(maxPortsReported)})) {
    return static_cast<LONG>(*fault);
  }
  if (!sim::IsOpenComDatabase(database) || (!buffer && !maxPortsReported) ||
      reportType != CDB_REPORT_BITS) {
    return ERROR_INVALID_PARAMETER;
  }
  const DWORD reported = std::min<DWORD>(COMDB_MAX_PORTS_ARBITRATED,
                                         buffer ? bufferSize * 8 : COMDB_MAX_PORTS_ARBITRATED);
  if (maxPortsReported) *maxPortsReported = reported;
  if (!buffer) return ERROR_SUCCESS;
  std::fill(buffer, buffer + bufferSize, BYTE{0});
  for (const DWORD number : M().claimedComNumbers) {
    if (number <= reported) buffer[(number - 1) / 8] |= static_cast<BYTE>(1U << ((number - 1) % 8));
  }
  return ERROR_SUCCESS;
}

LONG ComDBReleasePort(HCOMDB database, DWORD comNumber) {
  if (const auto fault =
          Enter("ComDBReleasePort", {sim::ComDatabaseName(database), sim::Number(comNumber)}))
    return static_cast<LONG>(*fault);
  if (!sim::Arbitrates(database, comNumber)) return ERROR_INVALID_PARAMETER;
  M().claimedComNumbers.erase(comNumber);
  return ERROR_SUCCESS;
}
