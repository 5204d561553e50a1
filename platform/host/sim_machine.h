// The simulated Windows machine behind the host stand-in: present devices,
// registry keys, INF files, the Windows directory and the COM port
// database. Tests set it up, run the program's code against it and inspect
// what it did. Every platform call is recorded with its arguments, and any
// call can be told to fail. It follows what Windows documents for each call.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/host/windows_api.h"

namespace sim {

// Registry paths and value names compare without regard to case.
struct NoCase {
  bool operator()(const std::string& a, const std::string& b) const;
};

struct RegValue {
  DWORD type = 0;
  std::string data;       // exactly the bytes passed
  bool nulAfter = false;  // a text passed without its NUL, whose buffer held one right after it
  // A REG_SZ value's text, without its terminator.
  std::string Text() const { return data.substr(0, data.find('\0')); }
  // Whether it was written with its terminator, as RegSetValueExA asks.
  bool Terminated() const { return !data.empty() && data.back() == '\0'; }
};

using RegKey = std::map<std::string, RegValue, NoCase>;

// The DriverVer of an INF unless a test gives another.
inline constexpr const char* kDefaultDriverVer = "01/01/2024,1.0.0.0";

struct Device {
  std::string instanceId;
  std::vector<std::string> hardwareIds;
  GUID classGuid{};
  bool present = true;
  std::string driverInf;  // the INF last installed on it, as given; empty when none
  DWORD driverFlags = 0;
  // The driver package it runs: its INF's DriverVer, and the name of the
  // copy in the driver store, oem<n>.inf (empty for a driver that was not
  // installed here).
  std::string driverVer = kDefaultDriverVer;
  std::string storeInf;
  // It has a driver newer than any INF offers (say from Windows Update):
  // only a forced update replaces it.
  bool newerDriver = false;
  // The access its hardware key's security grants an administrator.
  REGSAM keyAccess = KEY_ALL_ACCESS;
  // What a status read answers while it is not present: CR_NO_SUCH_DEVINST,
  // or CR_NO_SUCH_VALUE for a device that Windows keeps but whose node is
  // gone ("CM_Get_DevNode_Status").
  CONFIGRET absentStatus = CR_NO_SUCH_DEVINST;
  // Uninstalled: Windows has forgotten it, and no set lists it.
  bool uninstalled = false;
  // In use (a port held open by an application): it cannot be stopped, nor
  // can the device it hangs from, so the removal of either is left for the
  // restart.
  bool inUse = false;
  // Its problem code; CM_PROB_WILL_BE_REMOVED while a removal waits for the
  // restart, when Windows still lists it as present.
  DWORD problem = 0;
  // How often it was stopped and started again, and the PortName it read
  // when it last started: the name a port answers to. Empty until it was
  // restarted here; a port that never was answers to the name it had.
  int restarts = 0;
  std::string startedAs;
  // The device it was enumerated by, if any. Removing a parent takes its
  // children off the present list without uninstalling them: their keys
  // stay behind, and they can no longer be removed.
  std::string parent;
};

struct Call {
  std::string function;
  std::vector<std::string> args;  // rendered as text; "NULL" for a null pointer
};

// The registry key of a device, under HKEY_LOCAL_MACHINE.
std::string EnumKey(const std::string& instanceId);
std::string DeviceParametersKey(const std::string& instanceId);
std::string ToString(const GUID& guid);

class Machine {
 public:
  // The machine the platform calls act on. Reset() replaces it by a fresh,
  // empty one and returns it.
  static Machine& Current();
  static Machine& Reset();

  // Setting up.
  void AddInf(const std::string& path, const GUID& classGuid, const std::string& className);
  void AddUnreadableInf(const std::string& path);
  // Adds a present device with its Enum key and, unless told otherwise, its
  // "Device Parameters" key. Devices enumerate in the order they are added.
  Device& AddDevice(const std::string& instanceId, const std::string& hardwareId,
                    const GUID& classGuid, bool deviceParameters = true);
  // The given occurrence (1 for the first) of a call fails with error.
  void FailCall(const std::string& function, int occurrence, DWORD error);
  // Runs just before every platform call, given the call's name and its
  // occurrence: what another program does to the machine meanwhile.
  std::function<void(const std::string& function, int occurrence)> beforeCall;
  // A function that a system DLL lacks while the rest of it is there: every
  // call to it fails with 127, the loader's error.
  void MakeFunctionUnavailable(const std::string& function);
  // A system DLL ("setupapi.dll", "newdev.dll", "advapi32.dll" or
  // "msports.dll") that the program could not load from System32, or that
  // lacked one of its functions: every call into it fails with the
  // loader's error, 126 for a missing DLL and 127 for a missing function.
  void MakeDllUnavailable(const std::string& dll, DWORD error = ERROR_MOD_NOT_FOUND);

  // The process of the run ends right after its n-th platform call, as when
  // it is killed or the machine loses power: every later call does nothing
  // and fails. 0 for never.
  std::size_t endProcessAfter = 0;
  std::size_t callsMade = 0;
  // What dies with the process: its device information sets and their
  // install parameters, its open keys, its COM port database handles, its
  // mutex handles and the ownership of the mutex, its security descriptors.
  // The registry, the devices, their drivers and the database's claims
  // stay.
  void EndOfProcess();
  // Windows restarts: the process ends, volatile keys are gone ("RegCreateKeyExA":
  // REG_OPTION_VOLATILE keys are not preserved when the system is restarted),
  // removals left for the restart are done, nothing is in use any more, and
  // every port starts with the name it holds.
  void RestartWindows();

  // Inspecting.
  std::vector<Call> Calls(const std::string& function) const;
  const Device* FindDevice(const std::string& instanceId) const;
  const RegValue* FindValue(const std::string& keyPath, const std::string& name) const;
  bool KeyExists(const std::string& keyPath) const { return registry.count(keyPath) != 0; }
  std::size_t OpenKeyCount() const { return openKeys.size(); }
  std::size_t OpenComDatabaseCount() const { return openComDatabases.size(); }

  // The state, open to tests as it is to the platform calls.
  std::string windowsDirectory = "C:\\Windows";
  // The running exe, as Windows started it: here from the root of a USB
  // stick. Files are the INF files added, and these.
  std::string exePath = "E:\\qrvinst.exe";
  std::set<std::string, NoCase> files;
  // The driver packages Windows staged in its driver store, in order: the
  // copy of the n-th is %WINDIR%\inf\oem<n>.inf.
  struct StagedPackage {
    std::string source;  // the INF it was installed from
    std::string driverVer;
  };
  std::vector<StagedPackage> driverStore;
  bool wow64 = false;  // a 32-bit program on 64-bit Windows
  // The Ports class installer gives the COM number of a port it removes
  // back to the COM name database ("COM Ports Are Not Released When You
  // Remove a Multi-Port Serial Controller", KB 271523: a removal through
  // Device Manager unregisters the ports' numbers).
  bool portsClassInstallerReleases = true;
  // The run's process has ended (see endProcessAfter).
  bool processEnded = false;
  std::vector<Device> devices;
  std::map<std::string, RegKey, NoCase> registry;
  // The keys that go when Windows restarts.
  std::set<std::string, NoCase> volatileKeys;
  std::vector<Call> journal;
  DWORD lastError = ERROR_SUCCESS;
  // Driver updates for these hardware IDs work but need a restart, which
  // they report when the caller asks; otherwise Windows asks the user to
  // restart, each time (counted here).
  std::set<std::string, NoCase> restartIds;
  int restartPromptsByNewdev = 0;
  // The COM port database: the claimed numbers, 1 to 4096.
  std::set<DWORD> claimedComNumbers;
  // Device installations the Plug and Play manager has pending: none, some
  // that end while a caller waits for them, or some that outlast any wait.
  enum class Pending { None, EndWhileWaited, OutlastAnyWait };
  Pending pendingInstalls = Pending::None;
  // Another run of the program, as the named mutex shows it: none, one that
  // ends while a caller waits for it, one that outlasts any wait, or one
  // that ended without releasing the mutex (abandoned).
  enum class OtherRun { None, EndsWhileWaited, OutlastsAnyWait, Crashed };
  OtherRun otherRun = OtherRun::None;
  // Whose security the mutex of that other run carries, and so what this
  // process, an administrator's, may open it for: the program's own (full
  // access for SYSTEM and Administrators), the default one of a process
  // running as SYSTEM (administrators may wait on it, nothing more), or one
  // that grants this process nothing.
  enum class MutexSecurity { Ours, SystemDefault, NoAccess };
  MutexSecurity otherRunSecurity = MutexSecurity::Ours;
  // The security descriptor, as SDDL, of the mutex this process created;
  // empty while it created none.
  std::string createdMutexSecurity;
  // The named mutexes this process has open, by handle number, with the
  // access each handle has, and whether it owns the one of that name.
  struct OpenMutex {
    std::string name;
    DWORD access;
  };
  std::map<std::size_t, OpenMutex> openMutexes;
  bool mutexOwned = false;
  // Security descriptors made from SDDL and not yet freed, by address.
  std::map<const void*, std::string> securityDescriptors;

  // Bookkeeping of the platform calls.
  struct Inf {
    bool readable = true;
    GUID classGuid{};
    std::string className;
    // Its models have no section for this Windows: it matches the devices'
    // hardware IDs but has no driver to give them.
    bool noDriverForThisWindows = false;
    // Its driver package's publisher is not trusted on this machine, so
    // installing it puts up a dialog ("Windows can't verify the publisher
    // of this driver software") that the user must answer.
    bool untrustedPublisher = false;
    // Its DriverVer: a driver is the same as another when its INF has the
    // same name and DriverVer, wherever it lies.
    std::string driverVer = kDefaultDriverVer;
  };
  struct Fault {
    std::string function;
    int occurrence;
    DWORD error;
  };
  std::map<std::string, Inf, NoCase> infs;
  // The names of the setup classes, by GUID as ToString writes it.
  std::map<std::string, std::string> classNames;
  std::vector<std::vector<std::size_t>> sets;  // device indices per set
  // The install parameters' flags of a set's elements, by set and device,
  // and those of each set itself.
  std::map<std::pair<std::size_t, std::size_t>, DWORD> installFlags;
  std::map<std::size_t, DWORD> setInstallFlags;
  // The class install parameters of a set's elements, by set and device.
  std::map<std::pair<std::size_t, std::size_t>, SP_PROPCHANGE_PARAMS> classInstallParams;
  // The dialogs a driver installation put up and the user answered.
  int driverDialogs = 0;
  std::map<std::size_t, std::string> openKeys;  // handle number -> key path
  std::size_t nextKey = 1;
  std::set<std::size_t> openComDatabases;  // handle numbers
  std::size_t nextComDatabase = 1;
  std::vector<Fault> faults;
  std::map<std::string, DWORD, NoCase> unavailableDlls;  // DLL -> loader error
  std::set<std::string> unavailableFunctions;
  std::size_t nextHandle = 1;
  std::map<std::string, int> callCounts;
};

}  // namespace sim
