#include "frontend/verdicts.h"

#include <cstring>

#include "engine/fixed_text.h"

namespace {

// Success with a restart already begun, success (ERROR_INSTALL_SUCCESS),
// and the generic installation failure.
constexpr int kRestartBegun = static_cast<int>(ERROR_SUCCESS_REBOOT_INITIATED);
constexpr int kInstallSuccess = 1707;
constexpr int kInstallFailure = static_cast<int>(ERROR_INSTALL_FAILURE);

// The status of a failed installation: the Windows error code, unless a
// deployment tool would read that code as success; such a failure gives
// 1603 instead. (No code at all never gets here: the installer reports a
// failure without one as 1.)
int InstallFailureStatus(int error) {
  switch (error) {
    case kRestartNeeded:
    case kRestartBegun:
    case kInstallSuccess:
      return kInstallFailure;
    default:
      return error;
  }
}

const char* Devices(DWORD count) { return count == 1 ? "device" : "devices"; }

// Windows refuses a driver package whose signature this machine does not
// trust with a code of the setup API's own ("setupapi.h"), or, where it
// would ask the user and may not, with ERROR_REQUIRES_INTERACTIVE_WINDOWSTATION.
bool IsSignatureRefusal(DWORD error) {
  switch (error) {
    case ERROR_NO_CATALOG_FOR_OEM_INF:
    case ERROR_NO_AUTHENTICODE_CATALOG:
    case ERROR_AUTHENTICODE_DISALLOWED:
    case ERROR_AUTHENTICODE_TRUST_NOT_ESTABLISHED:
    case ERROR_AUTHENTICODE_PUBLISHER_NOT_TRUSTED:
      return true;
    default:
      return false;
  }
}

// A strict run also tells when the COM port database is no longer true.
void NoteComDatabase(bool missed, Verdict& verdict) {
  if (missed) AppendTo(verdict.words, " The COM name database was not updated.");
}

// A strict install tells when Windows was still installing devices as it
// ended: the child ports may not all be there yet.
void NoteInstallations(bool settled, Verdict& verdict) {
  const std::size_t length = std::strlen(verdict.words);
  if (settled || length == 0 || verdict.words[length - 1] != '.') return;
  verdict.words[length - 1] = '\0';
  if (!AppendTo(verdict.words, "; Windows was still installing devices.")) {
    verdict.words[length - 1] = '.';
  }
}

}  // namespace

void Set(Verdict& verdict, int status, const char* words) {
  verdict.status = status;
  FormatInto(verdict.words, "%s", words);
}

void NameError(char (&text)[64], DWORD error) {
  if (error == ERROR_SUCCESS) {
    FormatInto(text, "%s", "Windows gave no error code");
  } else {
    FormatInto(text, (error & 0x80000000U) != 0 ? "Windows error 0x%08X" : "Windows error %u",
               static_cast<unsigned>(error));
  }
}

Verdict InstallVerdict(const InstallFacts& facts) {
  Verdict verdict{};
  Set(verdict, 0, "installed.");
  if (facts.result == 0 && facts.restartNeeded) {
    Set(verdict, kRestartNeeded, "installed; restart Windows to finish.");
  } else if (facts.result == 0 && facts.alreadyCurrent) {
    Set(verdict, 0, "installed; drivers already current.");
  } else if (facts.result != 0) {
    verdict.status = InstallFailureStatus(facts.result);
    char error[64];
    NameError(error, facts.fault == PortInstaller::InstallFault::NoErrorCode
                         ? ERROR_SUCCESS
                         : static_cast<DWORD>(facts.result));
    char why[sizeof verdict.words] = "";
    switch (facts.fault) {
      case PortInstaller::InstallFault::WindowsDirectoryLong:
        FormatInto(error, "%s", "the path of the Windows folder is too long");
        break;
      case PortInstaller::InstallFault::NoDriverInInf:
        FormatInto(why, "%s", "; an INF file has no driver for the card's device on this Windows");
        break;
      case PortInstaller::InstallFault::InfMissing:
        FormatInto(why, "; %s is not in %s%s", facts.missingInf, facts.infFolder,
                   facts.exeFolderTooLong ? ", where the INF files were read from as the path of "
                                            "the inf folder beside the exe is too long"
                                          : "");
        break;
      default:
        if (facts.result == static_cast<int>(ERROR_REQUIRES_INTERACTIVE_WINDOWSTATION)) {
          FormatInto(why, "%s",
                     "; the driver package needs a dialog, usually because its publisher is not "
                     "trusted on this machine");
        } else if (IsSignatureRefusal(static_cast<DWORD>(facts.result))) {
          FormatInto(why, "%s", "; the driver package's signature is not trusted on this machine");
        }
        break;
    }
    // The INF files beside the exe were passed over: the words say where
    // they were read from instead.
    if (facts.exeFolderTooLong && facts.infFolder[0] != '\0' &&
        facts.fault != PortInstaller::InstallFault::InfMissing) {
      char note[sizeof verdict.words];
      if (FormatInto(note,
                     "; the INF files were read from %s, as the path of the inf folder beside "
                     "the exe is too long",
                     facts.infFolder)) {
        AppendTo(why, note);
      }
    }
    FormatInto(verdict.words, "install failed, %s%s.", error, why);
  }
  NoteInstallations(facts.settled, verdict);
  return verdict;
}

void ListRow(char (&list)[64], const char* name) {
  if (list[0] != '\0') AppendTo(list, ", ");
  AppendTo(list, name);
}

Verdict ReassignVerdict(const ReassignFacts& facts) {
  Verdict verdict{};
  verdict.status = facts.notNamed;
  // A port named by an earlier run that has still not restarted under its
  // name counts too.
  if (facts.notNamed == 0 && facts.notRestarted != 0) {
    Set(verdict, kRestartNeeded,
        "ports named; restart Windows so that they answer to their new names.");
  } else if (facts.notNamed == 0 && facts.renamed == 0) {
    Set(verdict, 0, "all four ports already had their names.");
  } else if (facts.notNamed == 0) {
    Set(verdict, 0, "all four ports reassigned.");
  } else if (facts.failed[0] == '\0' && facts.notNamed == (1 << ChildPortCount) - 1) {
    Set(verdict, facts.notNamed, "no port of the card is present; nothing was named.");
  } else if (facts.failed[0] != '\0' && facts.absent[0] != '\0') {
    FormatInto(verdict.words, "reassign failed for %s; %s not present%s.", facts.failed,
               facts.absent, facts.holders);
  } else if (facts.failed[0] != '\0') {
    FormatInto(verdict.words, "reassign failed for %s%s.", facts.failed, facts.holders);
  } else {
    FormatInto(verdict.words, "reassign failed: %s not present.", facts.absent);
  }
  NoteComDatabase(facts.comDatabaseMissed, verdict);
  return verdict;
}

Verdict UninstallVerdict(const UninstallFacts& facts) {
  Verdict verdict{};
  Set(verdict, 1, "uninstall not confirmed; could not look for the card (INF files missing?).");
  // A device whose removal waits for the restart is still listed until
  // then, and goes at the restart.
  const DWORD left = facts.after - facts.pending;
  if (facts.counted) {
    if (left != 0) {
      FormatInto(verdict.words, "uninstall incomplete; %lu %s of the card still present.",
                 static_cast<unsigned long>(left), Devices(left));
    } else if (facts.before == 0) {
      Set(verdict, 0, "no card found; nothing to uninstall.");
    } else if (facts.pending != 0 || facts.removalNeedsRestart) {
      Set(verdict, kRestartNeeded, "uninstalled; restart Windows to finish.");
    } else {
      verdict.status = 0;
      FormatInto(verdict.words, "uninstalled; %lu %s of the card removed.",
                 static_cast<unsigned long>(facts.before), Devices(facts.before));
    }
  }
  NoteComDatabase(facts.comDatabaseMissed, verdict);
  return verdict;
}

Verdict CheckVerdict(const CheckFacts& facts) {
  Verdict verdict{};
  Set(verdict, 0, "the card is set up.");
  if (facts.notSetUp != 0) {
    verdict.status = facts.notSetUp;
    FormatInto(verdict.words, "the card is not set up: %s.", facts.reasons);
  }
  return verdict;
}
