#!/usr/bin/env python3
"""Fails when the Intune or Configuration Manager recipe of docs/deploying.md
lacks what a terminal with nobody at it needs.

- Intune: 3010 maps to Hard reboot with a restart grace period; Soft reboot
  for 3010 appears only as the other choice, beside that one.
- Both: the install runs whether or not a user is logged on (Intune:
  Install behavior System; Configuration Manager: the Logon requirement
  "Whether or not a user is logged on").
- Both: the detection is a registry rule on the record's DisplayVersion.

Usage: check_recipes.py <deploying.md>
"""
import re
import sys


def section(text, title):
    found = re.search(r"^## %s\n(.*?)(?=^## |\Z)" % re.escape(title), text, re.M | re.S)
    return " ".join(found.group(1).split()) if found else ""


def main():
    text = open(sys.argv[1], encoding="utf-8").read()
    intune, configmgr = section(text, "Intune"), section(text, "Configuration Manager")
    faults = []
    if not re.search(r"3010 to Hard reboot", intune):
        faults.append("Intune: 3010 does not map to Hard reboot")
    if "Restart grace period Enabled" not in intune:
        faults.append("Intune: no restart grace period")
    if re.search(r"3010 (to|as) Soft reboot", intune) and "The other choice is to keep 3010" not in intune:
        faults.append("Intune: 3010 maps to Soft reboot, not as the other choice to Hard reboot")
    logon = {"Intune": ("Install behavior: System", "whether or not a user is logged on"),
             "Configuration Manager": ("Logon requirement Whether or not a user is logged on",)}
    detection = ("Registry", "Uninstall\\qrvinst", "DisplayVersion")
    for name, recipe in (("Intune", intune), ("Configuration Manager", configmgr)):
        if not recipe:
            faults.append(f"there is no section ## {name}")
        for words in logon[name]:
            if words not in recipe:
                faults.append(f"{name}: the logon requirement lacks '{words}'")
        if not all(words in recipe for words in detection):
            faults.append(f"{name}: no registry detection rule on the record's DisplayVersion")
    for fault in faults:
        print(f"{sys.argv[1]}: {fault}")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
