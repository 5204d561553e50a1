// qrvprobe <inf-path> <walks>: only the setup-API calls with which qrvinst's
// reassign mode finds the card's ports, and nothing of the program: reads
// the INF's setup class, takes the snapshot of present devices of that
// class, then walks it <walks> times reading every device's instance ID.
// Prints how many devices the last walk saw (0 without a walk). The
// benchmark runs it beside qrvinst to tell Wine's cost from the program's.
#include <windows.h>
// The setup API's header needs the Windows types first.
#include <setupapi.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[]) {
  if (argc != 3) return 2;
  GUID classGuid;
  char className[MAX_CLASS_NAME];
  if (!SetupDiGetINFClassA(argv[1], &classGuid, className, sizeof className, nullptr)) return 1;
  HDEVINFO set = SetupDiGetClassDevsA(&classGuid, nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return 1;
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof device;
  char instanceId[200];  // the longest instance ID and its NUL
  DWORD count = 0;
  for (long walk = std::strtol(argv[2], nullptr, 10); walk > 0; --walk) {
    for (count = 0; SetupDiEnumDeviceInfo(set, count, &device); ++count) {
      SetupDiGetDeviceInstanceIdA(set, &device, instanceId, sizeof instanceId, nullptr);
    }
  }
  std::printf("%lu\n", static_cast<unsigned long>(count));
  return 0;
}
