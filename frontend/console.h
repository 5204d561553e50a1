// The console side of qrvinst: the banner, the choice of mode and the
// sequence of each mode.
#pragma once

#include "frontend/verdicts.h"

enum class Mode { Install, Reassign, Uninstall, Check };

// "/check", in any letter case and anywhere, chooses a check. Otherwise
// only the first argument counts, and only the exact keys "u" and "r"
// choose another mode than installing.
Mode SelectMode(int argc, const char* const argv[]);

// Whether any argument is "/strict", in any letter case. A strict run prints
// what a plain run prints, then a line giving its exit status in words, and
// exits with that status; see RunProgram.
bool IsStrictRun(int argc, const char* const argv[]);

// Each sequence prints its lines and tells how a strict run of it ends.
// Each needs to know whether the run is strict: a strict install or
// reassign takes over the restart from Windows, and a strict uninstall
// counts the card's devices before and after. Install also
// learns whether Windows had finished installing devices when the run
// began, and waits for it to finish what the install set off.
Verdict RunInstallSequence(PortInstaller& installer, bool strict, bool settled);
// Names the four child ports COM3 to COM6, one line each, then pauses. A
// port that is not present counts as done on its line, but as not named in
// the status. A renamed port that answers to its new name only after
// Windows restarts makes a plain run let Windows ask for the restart, and
// a strict one say so in its status.
Verdict RunReassignSequence(PortInstaller& installer, bool strict);
// Removes the child ports, then the card's two functions; reports OK always.
Verdict RunUninstallSequence(PortInstaller& installer, bool strict);
// Looks at the card's two functions and four ports, one line each, and
// changes nothing: no driver update, no write, no removal, no restart, no
// COM name database change and no prompt.
Verdict RunCheckSequence(PortInstaller& installer);

// The whole run: banner, one run at a time, Windows' pending device
// installations, set-up, one sequence, teardown. A plain run exits with 0,
// except for the 32-bit program on 64-bit Windows, which refuses to run, and
// a run that another one kept waiting too long, or that could not take the
// lock that keeps runs apart, which changes nothing: these give 1. A strict run exits with a status
// that deployment tools read:
//   install     0 installed; 3010 installed, restart needed; otherwise the
//               Windows error code of the failed function, with 1603 in
//               place of a code that would read as success
//   reassign    0 all four ports named, and answering to their names;
//               3010 named, but some answer to them only after a restart
//               of Windows; otherwise one bit per port that was not named,
//               failed or not present: MSR 1, VFD 2, Touch Screen 4,
//               Serial Port C 8
//   uninstall   0 none of the card's devices left (or none there); 3010
//               when those left go at the restart; else 1
//   WOW64       1633, Windows Installer's "not supported by this processor
//               type" (1 in a plain run)
//   another run 1618, Windows Installer's "another installation is in
//               progress"; also when the lock that keeps runs apart could
//               not be had at all
int RunProgram(int argc, const char* const argv[]);
