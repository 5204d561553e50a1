// qrvfixture: prepares and inspects the machine the end-to-end tests run
// qrvinst.exe on.
//
//   qrvfixture create <inf-path> <instance-id> <hardware-id> [--no-params]
//       Registers a device node of the INF's setup class with exactly that
//       instance ID and that one hardware ID, and its "Device Parameters"
//       key unless --no-params is given.
//   qrvfixture create-many <inf-path> <id-prefix> <hardware-id> <count> [--no-params]
//       The same for <count> devices at once, with the instance IDs
//       <id-prefix>0 to <id-prefix><count - 1>, stopping at the first failure.
//   qrvfixture install-class <inf-path>
//       Installs the INF's setup class, as the installation of a driver of
//       that class would: Windows then knows the class's name.
//   qrvfixture name-many <id-prefix> <count> <step> <first-number>
//       Gives every step-th of the devices <id-prefix>0 to
//       <id-prefix><count - 1>, from the first, the PortName COM<n>,
//       counting n up from first-number.
//   qrvfixture show <instance-id>...
//       One line per device, read straight from the registry (not through the
//       setup API), so that the tests check qrvinst.exe by a second path:
//         <id> | absent
//         <id> | present | driver|no driver | name "<text>"|no name | <port>
//       where <port> is one of
//         PortName <type> <bytes> "<text>"   (as RegQueryValueExA reports it)
//         no PortName                        (Device Parameters has none)
//         no Device Parameters               (the key is missing)
//       The name is shown as name <type> <bytes> "<text>" when it is not a
//       terminated REG_SZ. Texts drop one terminating NUL and are printed
//       raw; any other byte outside printable ASCII is shown as \xNN.
//   qrvfixture table
//       The devices under the ACPI, MF and PCI enumerators as a table.
//   qrvfixture run <program> [args...]
//       Runs a Windows program with this process's standard handles, waits
//       for it and takes its exit status for its own.
//   qrvfixture hold-mutex <name> <sddl> <release-file>
//       Creates and owns the named mutex with that security descriptor,
//       prints "holding", and releases it once the file exists (at most
//       60 s): another program's lock, made as it chose to make it.
//   qrvfixture desktop
//       Makes sure the desktop has its process, prints "ready" and then
//       holds the desktop until the process is ended (see Desktop below).
//
// Every command ends by writing "qrvfixture: exit status <n>" to stderr
// just before the process exits: the status as Windows gave it, in full
// and whatever the Unix side of Wine does afterwards.
#include <windows.h>
// The setup API's header needs the Windows types first.
#include <sddl.h>
#include <setupapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kEnumKey[] = "SYSTEM\\CurrentControlSet\\Enum";

int Fail(const std::string& what, DWORD error) {
  std::fprintf(stderr, "qrvfixture: %s failed (error %lu, 0x%08lX)\n", what.c_str(),
               static_cast<unsigned long>(error), static_cast<unsigned long>(error));
  return 1;
}

// ---- create ---------------------------------------------------------------

int Create(const char* infPath, const char* instanceId, const char* hardwareId, bool params) {
  GUID classGuid;
  char className[MAX_CLASS_NAME];
  if (!SetupDiGetINFClassA(infPath, &classGuid, className, sizeof className, nullptr)) {
    return Fail(std::string("reading the class of ") + infPath, GetLastError());
  }
  HDEVINFO set = SetupDiCreateDeviceInfoList(&classGuid, nullptr);
  if (set == INVALID_HANDLE_VALUE) return Fail("SetupDiCreateDeviceInfoList", GetLastError());

  int status = 0;
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof device;
  // The hardware ID as a one-entry list: the ID, its NUL and the list's NUL.
  std::string ids = std::string(hardwareId) + '\0' + '\0';
  HKEY paramsKey = nullptr;
  if (!SetupDiCreateDeviceInfoA(set, instanceId, &classGuid, nullptr, nullptr, 0, &device)) {
    status = Fail(std::string("creating ") + instanceId, GetLastError());
  } else if (!SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID,
                                                reinterpret_cast<const BYTE*>(ids.data()),
                                                static_cast<DWORD>(ids.size()))) {
    status = Fail(std::string("setting the hardware ID of ") + instanceId, GetLastError());
  } else if (!SetupDiRegisterDeviceInfo(set, &device, 0, nullptr, nullptr, nullptr)) {
    status = Fail(std::string("registering ") + instanceId, GetLastError());
  } else if (params) {
    paramsKey =
        SetupDiCreateDevRegKeyA(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
    if (paramsKey == INVALID_HANDLE_VALUE) {
      status = Fail(std::string("creating Device Parameters of ") + instanceId, GetLastError());
    } else {
      RegCloseKey(paramsKey);
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  return status;
}

int CreateMany(const char* infPath, const std::string& idPrefix, const char* hardwareId,
               unsigned long count, bool params) {
  for (unsigned long n = 0; n < count; ++n) {
    const int status = Create(infPath, (idPrefix + std::to_string(n)).c_str(), hardwareId, params);
    if (status != 0) return status;
  }
  return 0;
}

int InstallClass(const char* infPath) {
  if (!SetupDiInstallClassA(nullptr, infPath, 0, nullptr)) {
    return Fail(std::string("installing the class of ") + infPath, GetLastError());
  }
  return 0;
}

int NameMany(const std::string& idPrefix, unsigned long count, unsigned long step,
             unsigned long first) {
  for (unsigned long n = 0; n < count; n += step) {
    const std::string path =
        std::string(kEnumKey) + "\\" + idPrefix + std::to_string(n) + "\\Device Parameters";
    const std::string name = "COM" + std::to_string(first + n / step);
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
      return Fail("opening " + path, GetLastError());
    }
    const LONG result =
        RegSetValueExA(key, "PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(name.c_str()),
                       static_cast<DWORD>(name.size() + 1));
    RegCloseKey(key);
    if (result != ERROR_SUCCESS) return Fail("naming " + path, static_cast<DWORD>(result));
  }
  return 0;
}

// ---- reading the registry --------------------------------------------------

struct Value {
  bool found = false;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;  // exactly the bytes RegQueryValueExA reported
};

Value Read(HKEY key, const char* name) {
  Value value;
  DWORD size = 0;
  if (RegQueryValueExA(key, name, nullptr, &value.type, nullptr, &size) != ERROR_SUCCESS) {
    return value;
  }
  // One spare byte keeps the buffer from being empty for a zero-length value;
  // the length passed and read back is the one the registry reported.
  std::vector<BYTE> buffer(size + 1, 0);
  DWORD length = size;
  if (RegQueryValueExA(key, name, nullptr, &value.type, buffer.data(), &length) != ERROR_SUCCESS) {
    return value;
  }
  value.found = true;
  value.data.assign(buffer.begin(), buffer.begin() + length);
  return value;
}

std::string TypeName(DWORD type) {
  switch (type) {
    case REG_NONE:
      return "REG_NONE";
    case REG_SZ:
      return "REG_SZ";
    case REG_EXPAND_SZ:
      return "REG_EXPAND_SZ";
    case REG_BINARY:
      return "REG_BINARY";
    case REG_DWORD:
      return "REG_DWORD";
    case REG_MULTI_SZ:
      return "REG_MULTI_SZ";
    default:
      return "REG_TYPE_" + std::to_string(type);
  }
}

bool IsString(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

bool Terminated(const Value& value) {
  return IsString(value.type) && !value.data.empty() && value.data.back() == 0;
}

// The value's text: a string drops its terminating NUL; anything unusual is
// escaped, so that every byte stays visible.
std::string Text(const Value& value) {
  std::size_t length = value.data.size();
  if (Terminated(value)) --length;
  std::string text;
  for (std::size_t i = 0; i < length; ++i) {
    const BYTE b = value.data[i];
    if (b >= 0x20 && b < 0x7F && IsString(value.type)) {
      text += static_cast<char>(b);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", b);
      text += escaped;
    }
  }
  return text;
}

std::string Detailed(const char* label, const Value& value) {
  return std::string(label) + " " + TypeName(value.type) + " " + std::to_string(value.data.size()) +
         " \"" + Text(value) + "\"";
}

struct Device {
  bool present = false;
  bool driver = false;
  Value friendlyName;
  bool hasParams = false;
  Value portName;
};

Device Inspect(const std::string& instanceId) {
  Device device;
  HKEY key;
  const std::string path = std::string(kEnumKey) + "\\" + instanceId;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return device;
  }
  device.present = true;
  device.driver = Read(key, "Driver").found;
  device.friendlyName = Read(key, "FriendlyName");
  HKEY params;
  if (RegOpenKeyExA(key, "Device Parameters", 0, KEY_READ, &params) == ERROR_SUCCESS) {
    device.hasParams = true;
    device.portName = Read(params, "PortName");
    RegCloseKey(params);
  }
  RegCloseKey(key);
  return device;
}

// ---- show ----------------------------------------------------------------

std::string ShowLine(const std::string& instanceId) {
  const Device d = Inspect(instanceId);
  std::string line = instanceId;
  if (!d.present) return line + " | absent";
  line += " | present";
  line += d.driver ? " | driver" : " | no driver";
  if (!d.friendlyName.found) {
    line += " | no name";
  } else if (d.friendlyName.type == REG_SZ && Terminated(d.friendlyName)) {
    line += " | name \"" + Text(d.friendlyName) + "\"";
  } else {
    line += " | " + Detailed("name", d.friendlyName);
  }
  if (!d.hasParams) {
    line += " | no Device Parameters";
  } else if (!d.portName.found) {
    line += " | no PortName";
  } else {
    line += " | " + Detailed("PortName", d.portName);
  }
  return line;
}

// ---- table ---------------------------------------------------------------

std::vector<std::string> SubkeyNames(HKEY parent, const std::string& path) {
  std::vector<std::string> names;
  HKEY key;
  if (RegOpenKeyExA(parent, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return names;
  char name[256];
  for (DWORD i = 0;; ++i) {
    DWORD size = sizeof name;
    if (RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      break;
    }
    names.emplace_back(name, size);
  }
  RegCloseKey(key);
  return names;
}

int Table() {
  static const char* const kEnumerators[] = {"ACPI", "MF", "PCI"};
  std::vector<std::vector<std::string>> rows = {
      {"Instance ID", "Driver", "Friendly name", "PortName"}};
  for (const char* enumerator : kEnumerators) {
    const std::string base = std::string(kEnumKey) + "\\" + enumerator;
    for (const std::string& deviceName : SubkeyNames(HKEY_LOCAL_MACHINE, base)) {
      for (const std::string& instance :
           SubkeyNames(HKEY_LOCAL_MACHINE, base + "\\" + deviceName)) {
        const std::string id = std::string(enumerator) + "\\" + deviceName + "\\" + instance;
        const Device d = Inspect(id);
        rows.push_back({id, d.driver ? "yes" : "no",
                        d.friendlyName.found ? Text(d.friendlyName) : "-",
                        !d.hasParams       ? "(no Device Parameters)"
                        : d.portName.found ? Text(d.portName)
                                           : "-"});
      }
    }
  }
  std::size_t widths[4] = {};
  for (const auto& row : rows) {
    for (std::size_t c = 0; c < 4; ++c) widths[c] = std::max(widths[c], row[c].size());
  }
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t c = 0; c < 4; ++c) {
      line += row[c];
      if (c + 1 < 4) line += std::string(widths[c] - row[c].size() + 2, ' ');
    }
    std::printf("%s\n", line.c_str());
  }
  return 0;
}

// ---- run -----------------------------------------------------------------

// One argument as the C runtime splits a command line: quoted when it is
// empty or holds a blank or a quote; backslashes are doubled only before a
// quote.
std::string Quoted(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
  std::string quoted = "\"";
  std::size_t backslashes = 0;
  for (const char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(2 * backslashes, '\\');
  return quoted + '"';
}

int Run(int argc, char* argv[]) {
  std::string commandLine;
  for (int i = 0; i < argc; ++i) commandLine += (i ? " " : "") + Quoted(argv[i]);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &process)) {
    Fail("starting " + commandLine, GetLastError());
    return 255;
  }
  DWORD status = 255;
  if (WaitForSingleObject(process.hProcess, INFINITE) != WAIT_OBJECT_0 ||
      !GetExitCodeProcess(process.hProcess, &status)) {
    Fail("waiting for " + commandLine, GetLastError());
    status = 255;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(status);
}

// ---- hold-mutex ----------------------------------------------------------

int HoldMutex(const char* name, const char* sddl, const char* releaseFile) {
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, nullptr, FALSE};
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(
          sddl, SDDL_REVISION_1, &attributes.lpSecurityDescriptor, nullptr)) {
    return Fail(std::string("reading the security descriptor ") + sddl, GetLastError());
  }
  const HANDLE mutex = CreateMutexA(&attributes, TRUE, name);
  const DWORD error = GetLastError();
  LocalFree(attributes.lpSecurityDescriptor);
  if (mutex == nullptr || error == ERROR_ALREADY_EXISTS) {
    return Fail(std::string("creating the mutex ") + name, error);
  }
  std::printf("holding\n");
  std::fflush(stdout);
  for (int waited = 0; GetFileAttributesA(releaseFile) == INVALID_FILE_ATTRIBUTES; ++waited) {
    if (waited == 600) return Fail(std::string("waiting for ") + releaseFile, ERROR_TIMEOUT);
    Sleep(100);
  }
  ReleaseMutex(mutex);
  CloseHandle(mutex);
  return 0;
}

// ---- desktop -------------------------------------------------------------

// On Windows the desktop's process runs all the time. Wine starts it
// (explorer.exe /desktop) for the first program that asks for the desktop
// window, handing it that program's standard handles, and ends it about a
// second after the last other thread on the desktop has left. Asking for
// the window here has Wine start that process, with this program's handles,
// for the desktop the later programs open; this thread then stays on that
// desktop, so that the process lives as long as this one.
int Desktop() {
  if (!GetDesktopWindow()) return Fail("GetDesktopWindow", GetLastError());
  std::printf("ready\n");
  std::fflush(stdout);
  Sleep(INFINITE);
  return 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: qrvfixture create <inf-path> <instance-id> <hardware-id> [--no-params]\n"
               "       qrvfixture create-many <inf-path> <id-prefix> <hardware-id> <count> "
               "[--no-params]\n"
               "       qrvfixture install-class <inf-path>\n"
               "       qrvfixture name-many <id-prefix> <count> <step> <first-number>\n"
               "       qrvfixture show <instance-id>...\n"
               "       qrvfixture table\n"
               "       qrvfixture run <program> [args...]\n"
               "       qrvfixture hold-mutex <name> <sddl> <release-file>\n"
               "       qrvfixture desktop\n");
  return 2;
}

int Dispatch(int argc, char* argv[]) {
  if (argc < 2) return Usage();
  const std::string command = argv[1];
  const bool creates = command == "create" || command == "create-many";
  // Both create commands take --no-params last.
  const bool params = !(creates && std::strcmp(argv[argc - 1], "--no-params") == 0);
  if (!params) --argc;
  if (command == "create" && argc == 5) return Create(argv[2], argv[3], argv[4], params);
  if (command == "create-many" && argc == 6) {
    char* end = nullptr;
    const unsigned long count = std::strtoul(argv[5], &end, 10);
    if (argv[5][0] < '0' || argv[5][0] > '9' || *end != '\0') return Usage();
    return CreateMany(argv[2], argv[3], argv[4], count, params);
  }
  if (command == "install-class" && argc == 3) return InstallClass(argv[2]);
  if (command == "name-many" && argc == 6) {
    unsigned long numbers[3];
    for (int i = 0; i < 3; ++i) {
      char* end = nullptr;
      numbers[i] = std::strtoul(argv[3 + i], &end, 10);
      if (argv[3 + i][0] < '0' || argv[3 + i][0] > '9' || *end != '\0') return Usage();
    }
    if (numbers[1] == 0) return Usage();
    return NameMany(argv[2], numbers[0], numbers[1], numbers[2]);
  }
  if (command == "show" && argc >= 3) {
    for (int i = 2; i < argc; ++i) std::printf("%s\n", ShowLine(argv[i]).c_str());
    return 0;
  }
  if (command == "table" && argc == 2) return Table();
  if (command == "run" && argc >= 3) return Run(argc - 2, argv + 2);
  if (command == "hold-mutex" && argc == 5) return HoldMutex(argv[2], argv[3], argv[4]);
  if (command == "desktop" && argc == 2) return Desktop();
  return Usage();
}

}  // namespace

int main(int argc, char* argv[]) {
  const int status = Dispatch(argc, argv);
  std::fflush(stdout);
  std::fprintf(stderr, "qrvfixture: exit status %lu\n",
               static_cast<unsigned long>(static_cast<DWORD>(status)));
  std::fflush(stderr);
  return status;
}
