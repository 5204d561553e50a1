#!/usr/bin/python
"""Stand-in for ansible.windows.win_reboot (an action plugin in the real
collection), with its options and results: the Wine machine restarts when
its Wine server ends, which drops the volatile registry keys as a restart
of Windows does. In check mode it reports a restart and does none, as the
real one does. Each restart adds a line to QRV_WINE_RUNS/reboots."""
import os
import subprocess
import time

from ansible.module_utils.basic import AnsibleModule


def main():
    module = AnsibleModule(argument_spec=dict(
        boot_time_command=dict(type="str"),
        connect_timeout=dict(type="float", aliases=["connect_timeout_sec"]),
        msg=dict(type="str"),
        post_reboot_delay=dict(type="float", aliases=["post_reboot_delay_sec"]),
        pre_reboot_delay=dict(type="float", aliases=["pre_reboot_delay_sec"]),
        reboot_timeout=dict(type="float", aliases=["reboot_timeout_sec"]),
        shutdown_timeout=dict(type="float", aliases=["shutdown_timeout_sec"]),
        test_command=dict(type="str"),
    ), supports_check_mode=True)
    if module.check_mode:
        module.exit_json(changed=True, elapsed=0, rebooted=True)
    start = time.time()
    server = os.environ["QRV_WINESERVER"]
    subprocess.run([server, "-k"], check=False, capture_output=True)
    subprocess.run([server, "-w"], check=False, capture_output=True, timeout=60)
    with open(os.path.join(os.environ["QRV_WINE_RUNS"], "reboots"), "a") as f:
        f.write("restarted\n")
    module.exit_json(changed=True, elapsed=int(time.time() - start), rebooted=True)


if __name__ == "__main__":
    main()
