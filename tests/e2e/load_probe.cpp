// qrvloadprobe: where a DLL named without a path comes from once the
// program's start-up has run, as setupapi names class installers,
// co-installers and signature checks inside qrvinst. Built with the
// program's own LoadSystemDlls (platform/windows/system_dlls.cpp), which it
// calls first; then loads each DLL named on its command line and prints one
// line for each:
//   <name>: System32                  loaded from the system folder
//   <name>: <path>                    loaded from anywhere else
//   <name>: not loaded, error <n>
#include <cstdio>

#include "platform/platform.h"

namespace {

// Whether a module's path is a file right in the system folder.
bool InSystemFolder(const char* path) {
  char folder[MAX_PATH];
  const UINT length = GetSystemDirectoryA(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  char head[MAX_PATH];
  lstrcpynA(head, path, static_cast<int>(length) + 1);
  if (lstrcmpiA(head, folder) != 0 || path[length] != '\\') return false;
  for (const char* rest = path + length + 1; *rest != '\0'; ++rest) {
    if (*rest == '\\') return false;
  }
  return true;
}

}  // namespace

int main(int argc, char* argv[]) {
  LoadSystemDlls();
  for (int i = 1; i < argc; ++i) {
    const HMODULE module = LoadLibraryA(argv[i]);
    char path[MAX_PATH] = "";
    if (module == nullptr) {
      std::printf("%s: not loaded, error %lu\n", argv[i], GetLastError());
    } else if (GetModuleFileNameA(module, path, MAX_PATH) != 0 && InSystemFolder(path)) {
      std::printf("%s: System32\n", argv[i]);
    } else {
      std::printf("%s: %s\n", argv[i], path);
    }
  }
  return 0;
}
