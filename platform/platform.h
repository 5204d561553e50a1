// The operating-system operations the program uses, under their Windows names.
// A Windows build gets them from the SDK headers and the system DLLs; any other
// host gets a simulated machine with the same names, types and values.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <setupapi.h>
#include <newdev.h>
#else
#include "platform/host/windows_api.h"
#endif
