// qrvplanted.dll: what someone might leave beside qrvinst.exe on a USB stick
// or in a download folder, under the name of a system DLL. Loaded into a
// process, it leaves a marker beside itself, "<its own path>.loaded", and
// does nothing else. It exports what a program would import from newdev.dll
// and msports.dll, so that Windows would load it in their place.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  char path[MAX_PATH + sizeof ".loaded"];
  const DWORD length = GetModuleFileNameA(self, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return TRUE;
  lstrcpyA(path + length, ".loaded");
  const HANDLE marker =
      CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
  return TRUE;
}

// newdev: claims to have installed the driver, and installs nothing.
extern "C" __declspec(dllexport) BOOL WINAPI
    UpdateDriverForPlugAndPlayDevicesA(HWND, LPCSTR, LPCSTR, DWORD, PBOOL) {
  return TRUE;
}
extern "C" __declspec(dllexport) BOOL WINAPI
    UpdateDriverForPlugAndPlayDevicesW(HWND, LPCWSTR, LPCWSTR, DWORD, PBOOL) {
  return TRUE;
}

// msports: its COM name database functions are those of comdb.cpp, built as
// a database that cannot be opened.
