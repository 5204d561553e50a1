#include "frontend/console.h"
#include "platform/platform.h"

int main(int argc, char* argv[]) {
  // Before anything else can load a DLL: the exe's own folder and the
  // current one are not to be trusted.
  LoadSystemDlls();
  return RunProgram(argc, argv);
}
