// qrvstaticimport: imports newdev.dll the ordinary way, as qrvinst.exe once
// did. Started from a folder that holds a planted newdev.dll, it loads that
// one before main: the planting test runs it to show that it would see
// such a load.
#include <windows.h>
// The driver-update header needs the Windows types first.
#include <newdev.h>

int main() {
  // Taken, so that the import stays in the exe; never called.
  const auto volatile update = &UpdateDriverForPlugAndPlayDevicesA;
  return update != nullptr ? 0 : 1;
}
