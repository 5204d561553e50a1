#!/usr/bin/python
"""Stand-in for ansible.windows.win_command on the Wine machine, with its
options and results. Like the real one it does not support check mode: the
result of a task skipped for it holds no rc. Of the ways to give the
command, argv is modelled."""
import datetime
import os
import subprocess

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.ansible.windows.plugins.module_utils.wine import host_path, run


def main():
    module = AnsibleModule(argument_spec=dict(
        _raw_params=dict(type="str"),
        cmd=dict(type="str"),
        argv=dict(type="list", elements="str"),
        chdir=dict(type="path"),
        creates=dict(type="path"),
        removes=dict(type="path"),
        stdin=dict(type="str"),
        output_encoding_override=dict(type="str"),
    ), mutually_exclusive=[["_raw_params", "cmd", "argv"]],
        required_one_of=[["_raw_params", "cmd", "argv"]], supports_check_mode=False)
    argv = module.params["argv"]
    if not argv or module.params["stdin"] or module.params["output_encoding_override"]:
        module.fail_json(msg="only argv, chdir, creates and removes are modelled here")
    command = subprocess.list2cmdline(argv)
    for option, skip_when in (("creates", True), ("removes", False)):
        path = module.params[option]
        if path and os.path.exists(host_path(path)) == skip_when:
            module.exit_json(msg="skipped, since %s %s" % (path, "exists" if skip_when else "does not exist"),
                             cmd=command, changed=False, skipped=True, rc=0)
    chdir = module.params["chdir"]
    start = datetime.datetime.now()
    rc, stdout, stderr = run(argv, cwd=host_path(chdir) if chdir else None)
    end = datetime.datetime.now()
    result = dict(cmd=command, rc=rc, stdout=stdout, stderr=stderr,
                  stdout_lines=stdout.splitlines(), stderr_lines=stderr.splitlines(),
                  start=str(start), end=str(end), delta=str(end - start), changed=True)
    if rc != 0:
        module.fail_json(msg="non-zero return code", **result)
    module.exit_json(**result)


if __name__ == "__main__":
    main()
