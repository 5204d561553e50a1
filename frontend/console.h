// The console side of qrvinst: the banner, the choice of mode and the
// sequence of each mode.
#pragma once

class PortInstaller;

enum class Mode { Install, Reassign, Uninstall };

// Only the first argument counts, and only the exact keys "u" and "r" choose
// another mode than installing.
Mode SelectMode(int argc, const char* const argv[]);

void RunInstallSequence(PortInstaller& installer);
// Names the four child ports COM3 to COM6, one line each, then pauses.
void RunReassignSequence(PortInstaller& installer);
// Removes the child ports, then the card's two functions; reports OK always.
void RunUninstallSequence(PortInstaller& installer);

// The whole run: set-up, banner, one sequence, teardown. 0, except for the
// 32-bit program on 64-bit Windows, which refuses to run and gives 1.
int RunProgram(int argc, const char* const argv[]);
