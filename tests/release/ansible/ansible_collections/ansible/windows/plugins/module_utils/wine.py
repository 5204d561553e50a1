"""The test's Wine machine, as the stand-in modules of this collection see it.

The machine is the Wine prefix WINEPREFIX. QRV_WINE_LOADER is the Wine
loader and QRV_WINE_FIXTURE the test's qrvfixture.exe, whose run command
starts a Windows program and reports its whole exit status, as
tests/e2e/lib.sh runs every program; QRV_WINESERVER is the prefix's Wine
server. Each run is kept in the folder QRV_WINE_RUNS: <n>.cmd (the command,
one argument a line), <n>.stdout and <n>.stderr.
"""
import os
import re
import subprocess

STATUS = re.compile(rb"^qrvfixture: exit status (\d+)\r?\n", re.M)


def host_path(windows_path):
    """The file of the prefix that a path on drive C: names, letter case aside."""
    drive, _, rest = windows_path.replace("/", "\\").partition(":")
    if drive.upper() != "C":
        raise ValueError("%s is not on drive C:" % windows_path)
    path = os.path.join(os.environ["WINEPREFIX"], "drive_c")
    for part in [p for p in rest.split("\\") if p]:
        names = os.listdir(path) if os.path.isdir(path) else []
        path = os.path.join(path, next((n for n in names if n.lower() == part.lower()), part))
    return path


def run(argv, cwd=None):
    """Runs a Windows program; its exit status, stdout and stderr as text."""
    runs = os.environ["QRV_WINE_RUNS"]
    os.makedirs(runs, exist_ok=True)
    n = len([f for f in os.listdir(runs) if f.endswith(".cmd")]) + 1
    with open(os.path.join(runs, "%d.cmd" % n), "w") as f:
        f.write("\n".join(argv) + "\n")
    done = subprocess.run(["setarch", "-R", os.environ["QRV_WINE_LOADER"],
                           os.environ["QRV_WINE_FIXTURE"], "run"] + list(argv),
                          capture_output=True, cwd=cwd, timeout=120, check=False)
    for name, data in (("stdout", done.stdout), ("stderr", done.stderr)):
        with open(os.path.join(runs, "%d.%s" % (n, name)), "wb") as f:
            f.write(data)
    status = STATUS.findall(done.stderr)
    if not status:
        raise RuntimeError("qrvfixture reported no exit status for %s" % argv)
    stderr = STATUS.sub(b"", done.stderr)
    return int(status[-1]), done.stdout.decode(errors="replace"), stderr.decode(errors="replace")
